// Client of the test-bed daemon: a line protocol over a loopback TCP connection whose
// address the Wine runner puts into TARVEL_TESTBED_ADDR ("127.0.0.1:port").
#include "null_modem.h"

#include <winternl.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

bool ParseAddress(const char *text, sockaddr_in &addr)
{
    if (!text) return false;
    const char *colon = std::strrchr(text, ':');
    if (!colon) return false;
    int port = std::atoi(colon + 1);
    if (port <= 0 || port > 65535) return false;
    std::memset(&addr, 0, sizeof(addr));
    addr.sin_family = AF_INET;
    addr.sin_port = htons(u_short(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return true;
}

std::string ComName(int com)
{
    return "COM" + std::to_string(com);
}

// mountmgr names the device of COMn "\Device\Serial(n-1)".
std::string SerialDeviceOf(int com)
{
    return "\\Device\\Serial" + std::to_string(com - 1);
}

// The DOS names of COM ports are symbolic links in the object directory \DosDevices, made
// permanent by mountmgr. DefineDosDevice would do, but Wine 8's copy overflows its name buffer
// for names longer than four characters ("COM10" removes the wrong link), so the links are
// handled here with the native calls it uses.
using NtOpenSymbolicLinkObjectFn = LONG(WINAPI *)(HANDLE *, ACCESS_MASK, OBJECT_ATTRIBUTES *);
using NtCreateSymbolicLinkObjectFn = LONG(WINAPI *)(HANDLE *, ACCESS_MASK, OBJECT_ATTRIBUTES *, UNICODE_STRING *);
using NtMakeTemporaryObjectFn = LONG(WINAPI *)(HANDLE);
using NtCloseFn = LONG(WINAPI *)(HANDLE);

template <class F>
F NtFunction(const char *name)
{
    return reinterpret_cast<F>(reinterpret_cast<void *>(GetProcAddress(GetModuleHandleA("ntdll.dll"), name)));
}

std::wstring Widen(const std::string &s)
{
    return std::wstring(s.begin(), s.end());
}

UNICODE_STRING Counted(std::wstring &text)
{
    UNICODE_STRING u;
    u.Length = USHORT(text.size() * sizeof(wchar_t));
    u.MaximumLength = u.Length;
    u.Buffer = &text[0];
    return u;
}

bool RemoveDosName(int com)
{
    auto openLink = NtFunction<NtOpenSymbolicLinkObjectFn>("NtOpenSymbolicLinkObject");
    auto makeTemporary = NtFunction<NtMakeTemporaryObjectFn>("NtMakeTemporaryObject");
    auto closeHandle = NtFunction<NtCloseFn>("NtClose");
    if (!openLink || !makeTemporary || !closeHandle) return false;
    std::wstring name = Widen("\\DosDevices\\" + ComName(com));
    UNICODE_STRING uname = Counted(name);
    OBJECT_ATTRIBUTES attr;
    InitializeObjectAttributes(&attr, &uname, OBJ_CASE_INSENSITIVE, nullptr, nullptr);
    HANDLE link = nullptr;
    if (openLink(&link, DELETE, &attr) < 0) return false;
    LONG status = makeTemporary(link); // the link goes away with its last handle
    closeHandle(link);
    return status >= 0;
}

bool AddDosName(int com)
{
    if (IsComPortListed(com)) return true;
    auto createLink = NtFunction<NtCreateSymbolicLinkObjectFn>("NtCreateSymbolicLinkObject");
    auto closeHandle = NtFunction<NtCloseFn>("NtClose");
    if (!createLink || !closeHandle) return false;
    std::wstring name = Widen("\\DosDevices\\" + ComName(com));
    std::wstring target = Widen(SerialDeviceOf(com));
    UNICODE_STRING uname = Counted(name);
    UNICODE_STRING utarget = Counted(target);
    OBJECT_ATTRIBUTES attr;
    InitializeObjectAttributes(&attr, &uname, OBJ_CASE_INSENSITIVE | OBJ_PERMANENT, nullptr, nullptr);
    HANDLE link = nullptr;
    if (createLink(&link, STANDARD_RIGHTS_REQUIRED | 0x0001 /* SYMBOLIC_LINK_QUERY */, &attr, &utarget) < 0) return false;
    closeHandle(link);
    return true;
}

} // namespace

CNullModemPair::~CNullModemPair()
{
    Release();
}

bool CNullModemPair::Lease()
{
    Release();
    sockaddr_in addr;
    if (!ParseAddress(std::getenv("TARVEL_TESTBED_ADDR"), addr)) return false;
    WSADATA data;
    if (WSAStartup(MAKEWORD(2, 2), &data) != 0) return false;
    winsockStarted = true;
    sock = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (sock == INVALID_SOCKET || connect(sock, reinterpret_cast<sockaddr *>(&addr), sizeof(addr)) != 0) {
        Release();
        return false;
    }
    BOOL noDelay = TRUE;
    setsockopt(sock, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char *>(&noDelay), sizeof(noDelay));
    std::string reply;
    int index = 0;
    if (!Command("LEASE", &reply) || std::sscanf(reply.c_str(), "OK %d %d %d", &index, &comA, &comB) != 3) {
        Release();
        return false;
    }
    // A test that died while an end was unplugged leaves its DOS name removed: put it back.
    AddDosName(comA);
    AddDosName(comB);
    return true;
}

void CNullModemPair::Release()
{
    if (sock != INVALID_SOCKET) {
        RestoreDosNames();
        closesocket(sock); // the daemon resets the pair when the connection ends
        sock = INVALID_SOCKET;
    }
    if (winsockStarted) {
        WSACleanup();
        winsockStarted = false;
    }
    comA = comB = 0;
}

void CNullModemPair::RestoreDosNames()
{
    for (int e = 0; e < 2; ++e) {
        if (!unplugged[e]) continue;
        AddDosName(e == 0 ? comA : comB);
        unplugged[e] = false;
    }
}

std::string CNullModemPair::DeviceName(End end) const
{
    return "\\\\.\\COM" + std::to_string(Port(end));
}

bool CNullModemPair::Command(const std::string &command, std::string *reply)
{
    if (sock == INVALID_SOCKET) return false;
    std::string line = command + "\n";
    if (send(sock, line.data(), int(line.size()), 0) != int(line.size())) return false;
    std::string answer;
    char c;
    for (;;) {
        int n = recv(sock, &c, 1, 0);
        if (n != 1) return false;
        if (c == '\n') break;
        answer.push_back(c);
    }
    bool ok = answer.compare(0, 2, "OK") == 0;
    if (reply) *reply = answer;
    return ok;
}

bool CNullModemPair::EndCommand(const char *verb, End end, const std::string &args)
{
    std::string command = std::string(verb) + " " + EndLetter(end);
    if (!args.empty()) command += " " + args;
    return Command(command);
}

bool CNullModemPair::SetRing(End end, bool on) { return EndCommand("RING", end, on ? "1" : "0"); }
bool CNullModemPair::SetDcd(End end, bool on) { return EndCommand("DCD", end, on ? "1" : "0"); }
bool CNullModemPair::FollowDcd(End end) { return EndCommand("DCD", end, "-1"); }

bool CNullModemPair::SetOutputLines(End end, bool dtr, bool rts)
{
    return EndCommand("SETLINES", end, std::string(dtr ? "1" : "0") + " " + (rts ? "1" : "0"));
}

bool CNullModemPair::InjectBreak(End end) { return EndCommand("BREAK", end); }

bool CNullModemPair::InjectError(End end, LineError kind)
{
    const char *name = kind == LineError::Frame ? "frame" : kind == LineError::Overrun ? "overrun" : "parity";
    return EndCommand("ERROR", end, name);
}

bool CNullModemPair::RefuseBaud(End end, DWORD rate, DWORD substitute)
{
    return EndCommand("REFUSEBAUD", end, std::to_string(rate) + " " + std::to_string(substitute));
}

bool CNullModemPair::RefuseByteSize(End end, int size)
{
    return EndCommand("REFUSESIZE", end, std::to_string(size));
}

bool CNullModemPair::AllowAllSettings(End end) { return EndCommand("ALLOW", end); }

bool CNullModemPair::SetPersonality(End end, unsigned personalities)
{
    // The names of the daemon's table (tools/testbed/nullmodemd.cpp).
    static const struct {
        Personality bit;
        const char *name;
    } names[] = {
        {NoModemLines, "no-modem-lines"},
        {WaitAborts, "wait-aborts"},
        {EmptyReads, "empty-reads"},
        {StalledWrites, "stalled-writes"},
        {AbortOnError, "abort-on-error"},
    };
    std::string args = "none";
    for (auto &n : names) {
        if (!(personalities & n.bit)) continue;
        args += std::string(" ") + n.name;
        personalities &= ~unsigned(n.bit);
    }
    if (personalities != 0) return false; // a bit this client has no name for
    return EndCommand("PERSONALITY", end, args);
}

bool CNullModemPair::Unplug(End end)
{
    if (!EndCommand("UNPLUG", end)) return false;
    int i = int(end);
    if (!unplugged[i]) {
        RemoveDosName(Port(end));
        unplugged[i] = true;
    }
    return true;
}

bool CNullModemPair::Replug(End end)
{
    int i = int(end);
    if (unplugged[i]) {
        AddDosName(Port(end));
        unplugged[i] = false;
    }
    return EndCommand("REPLUG", end);
}

bool CNullModemPair::HangUp(End end) { return EndCommand("HANGUP", end); }

bool CNullModemPair::SetPacing(bool on) { return Command(on ? "PACING 1" : "PACING 0"); }

bool CNullModemPair::BytesOnWire(unsigned long long &aToB, unsigned long long &bToA)
{
    std::string reply;
    return Command("WIRE", &reply) && std::sscanf(reply.c_str(), "OK %llu %llu", &aToB, &bToA) == 2;
}

bool CNullModemPair::BytesCrossing(unsigned long long &aToB, unsigned long long &bToA)
{
    std::string reply;
    unsigned long long takenAToB = 0, takenBToA = 0;
    return Command("WIRE", &reply) &&
           std::sscanf(reply.c_str(), "OK %llu %llu %llu %llu", &takenAToB, &takenBToA, &aToB, &bToA) == 4;
}

bool CNullModemPair::ReadRequests(End end, unsigned long &count)
{
    std::string reply;
    if (!Command(std::string("STATE ") + EndLetter(end), &reply)) return false;
    const size_t at = reply.find(" reads=");
    return at != std::string::npos && std::sscanf(reply.c_str() + at, " reads=%lu", &count) == 1;
}

bool CNullModemPair::IsEndOpen(End end, bool &open)
{
    std::string reply;
    int value = 0;
    if (!Command(std::string("STATE ") + EndLetter(end), &reply) || std::sscanf(reply.c_str(), "OK open=%d", &value) != 1)
        return false;
    open = value != 0;
    return true;
}

// ---- CComPort ----

bool CComPort::Open(int com, bool overlapped)
{
    Close();
    std::string name = "\\\\.\\COM" + std::to_string(com);
    handle = CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                         overlapped ? FILE_FLAG_OVERLAPPED : 0, nullptr);
    lastError = handle == INVALID_HANDLE_VALUE ? GetLastError() : 0;
    return IsOpen();
}

void CComPort::Close()
{
    if (handle != INVALID_HANDLE_VALUE) CloseHandle(handle);
    handle = INVALID_HANDLE_VALUE;
}

bool CComPort::Write(const void *data, DWORD size)
{
    DWORD written = 0;
    return WriteFile(handle, data, size, &written, nullptr) && written == size;
}

std::string CComPort::Read(size_t count, DWORD timeoutMs)
{
    std::string out;
    DWORD start = GetTickCount();
    while (out.size() < count) {
        DWORD elapsed = GetTickCount() - start;
        if (elapsed >= timeoutMs) break;
        COMMTIMEOUTS t = {};
        t.ReadIntervalTimeout = MAXDWORD; // return what is there, or wait up to the constant
        t.ReadTotalTimeoutMultiplier = MAXDWORD;
        t.ReadTotalTimeoutConstant = timeoutMs - elapsed;
        if (!SetCommTimeouts(handle, &t)) break;
        std::vector<char> buf(count - out.size());
        DWORD got = 0;
        if (!ReadFile(handle, buf.data(), DWORD(buf.size()), &got, nullptr)) break;
        out.append(buf.data(), got);
    }
    return out;
}

DWORD CComPort::ModemStatus()
{
    DWORD status = 0;
    GetCommModemStatus(handle, &status);
    return status;
}

std::string ListedComPorts()
{
    std::vector<char> buf(1 << 16);
    DWORD n = QueryDosDeviceA(nullptr, buf.data(), DWORD(buf.size()));
    std::string out;
    for (DWORD i = 0; i < n && buf[i];) {
        const char *name = &buf[i];
        if (std::strncmp(name, "COM", 3) == 0) {
            if (!out.empty()) out += ' ';
            out += name;
        }
        i += DWORD(std::strlen(name) + 1);
    }
    return out;
}

bool IsComPortListed(int com)
{
    char target[512];
    return QueryDosDeviceA(("COM" + std::to_string(com)).c_str(), target, sizeof(target)) != 0;
}
