#include "serial_port.h"

#include <cstdio>
#include <cstring>

#include "assert_report.h"
#include "marshal_wnd.h"

namespace {

HINSTANCE g_resourceModule = nullptr;

int32_t OpenErrorCode(DWORD lastError)
{
    switch (lastError) {
    case ERROR_FILE_NOT_FOUND:
        return ERR_UNKNOWN_PORT;
    case ERROR_ACCESS_DENIED:
        return ERR_ACCESS_DENIED;
    default:
        return ERR_IO;
    }
}

// A device control block read from the driver; zeroed first so that nothing of an earlier
// block survives in members the driver leaves alone.
bool ReadDcb(HANDLE port, DCB& dcb)
{
    memset(&dcb, 0, sizeof dcb);
    dcb.DCBlength = sizeof dcb;
    return GetCommState(port, &dcb) != FALSE;
}

// Drivers refuse a whole block whose XON/XOFF limits exceed their receive queue or whose XON
// and XOFF characters are equal, even with XON/XOFF off, and keep the old settings. Such
// values come from the driver or from the last program: a refused block is tried once more
// with those members made valid (they change nothing while XON/XOFF is off); the read-back
// then decides as for any other block.
void WriteCommState(HANDLE port, DCB& dcb)
{
    if (SetCommState(port, &dcb)) return;
    COMMPROP properties{};
    const uint32_t queue = GetCommProperties(port, &properties) ? properties.dwCurrentRxQueue : 0;
    FlowControlMembers flow{dcb.XonLim, dcb.XoffLim, dcb.XonChar, dcb.XoffChar};
    if (!MakeFlowControlMembersValid(flow, queue)) return;
    dcb.XonLim = static_cast<WORD>(flow.xonLim);
    dcb.XoffLim = static_cast<WORD>(flow.xoffLim);
    dcb.XonChar = flow.xonChar;
    dcb.XoffChar = flow.xoffChar;
    SetCommState(port, &dcb);
}

// Wine's serial driver waits for line events on a thread of its own, which ends without
// leaving the loader's list of threads; the next module with thread-local storage loaded
// into the process then faults in the loader. Hosts unload an unused control module and load
// it again for the next form, so under Wine a module that opened a port stays loaded. Windows
// is left to unload it as usual.
void KeepModuleLoadedUnderWine()
{
    const HMODULE ntdll = GetModuleHandleA("ntdll.dll");
    if (!ntdll || !GetProcAddress(ntdll, "wine_get_version")) return;
    HMODULE self = nullptr;
    GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN,
                       reinterpret_cast<LPCSTR>(&KeepModuleLoadedUnderWine), &self);
}

}  // namespace

void CSerialPort::SetResourceModule(HINSTANCE module)
{
    g_resourceModule = module;
}

CSerialPort::CSerialPort() = default;

CSerialPort::~CSerialPort()
{
    // The owner normally ran DestroyPortState already; this only guards against a worker
    // outliving the object it reads from.
    worker.Stop();
}

void CSerialPort::InitPortState()
{
    portHandle.Reset();
    settings = PortSettings{};
    worker.FreeSlot();
    marshalWnd = std::make_unique<CMarshalWnd>();
    // A window that cannot be had now is asked for again by every open, which fails while
    // there is none: without it no CommEvent could ever reach the host.
    marshalWnd->Create();
    marshalWnd->SetOwner(this);
}

void CSerialPort::DestroyPortState()
{
    ClosePort();
    marshalWnd.reset();
    queuedDisconnects.clear();
    queuedConnects = 0;
}

HWND CSerialPort::NotifyWindow() const
{
    return marshalWnd ? marshalWnd->Handle() : nullptr;
}

// ---------------------------------------------------------------------------------------
// Port operations

void CSerialPort::OpenPort()
{
    ClosePort();
    if (!marshalWnd || !marshalWnd->Create()) throw tx_encoding{ERR_IO};

    char name[32];
    snprintf(name, sizeof name, "\\\\.\\COM%d", static_cast<int>(settings.Port));
    portHandle.Reset(CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                 FILE_FLAG_OVERLAPPED, nullptr));
    if (!portHandle.IsValid()) throw tx_encoding{OpenErrorCode(GetLastError())};

    KeepModuleLoadedUnderWine();
    settings.PortOpen = 1;
    ApplyLineSettings();
    ApplyTimeouts();
    SetupComm(portHandle.Get(), kRequestedQueueSize, kRequestedQueueSize);
    StartWorker();
}

void CSerialPort::StartWorker()
{
    worker.pCtrl = this;
    // An open port without its worker would read true in Connected and never move a byte.
    if (!worker.Start()) throw tx_encoding{ERR_IO};
    // This run's EVT_DISCONNECT will be posted after everything queued so far.
    queuedDisconnects.push_back(connectionGeneration);
}

void CSerialPort::ClosePort()
{
    const bool hadThread = worker.HasThread();
    worker.Stop();
    if (hadThread && !worker.LastDisconnectPosted() && !queuedDisconnects.empty()) {
        // The run's final notification never reached the queue; forget it so that the
        // ones behind it keep their connections.
        queuedDisconnects.pop_back();
    }
    portHandle.Reset();
    settings.PortOpen = 0;
    linesWrittenWhileOpen = false;
}

namespace {

LineSettings LineSettingsOf(const DCB& dcb)
{
    return {dcb.BaudRate, dcb.ByteSize, dcb.Parity, dcb.StopBits};
}

}  // namespace

void CSerialPort::ApplyLineSettings()
{
    if (!portHandle.IsValid()) return;
    DCB wanted;
    if (!ReadDcb(portHandle.Get(), wanted)) throw tx_encoding{ERR_IO};

    wanted.BaudRate = static_cast<DWORD>(settings.BaudRate);
    wanted.ByteSize = static_cast<BYTE>(settings.DataBits);
    wanted.Parity = static_cast<BYTE>(settings.Parity);
    wanted.StopBits = static_cast<BYTE>(settings.StopBits);
    // DTR and RTS follow only explicit requests; no XON/XOFF in either direction.
    wanted.fDtrControl = DTR_CONTROL_DISABLE;
    wanted.fRtsControl = RTS_CONTROL_DISABLE;
    wanted.fOutX = 0;
    wanted.fInX = 0;
    WriteCommState(portHandle.Get(), wanted);
    // Some drivers (Wine's among them) apply the DISABLE modes as "lines off" on every
    // write; lines the host set in this connection are put back as it set them.
    if (linesWrittenWhileOpen) ApplyModemLines();

    DCB kept;
    if (!ReadDcb(portHandle.Get(), kept)) throw tx_encoding{ERR_IO};
    if (KeepsLineSettings(LineSettingsOf(wanted), LineSettingsOf(kept))) return;

    // The driver kept something else: take its values so that the next open tries those.
    TakeDriverLineSettings(settings, LineSettingsOf(kept));
    throw tx_encoding{ERR_BAD_SETTING};
}

void CSerialPort::ApplyTimeouts()
{
    if (!portHandle.IsValid()) return;
    COMMTIMEOUTS timeouts{};
    GetCommTimeouts(portHandle.Get(), &timeouts);
    timeouts.ReadIntervalTimeout = EffectiveRecvIntervalTimeout(settings.RecvIntervalTimeout);
    timeouts.ReadTotalTimeoutMultiplier = 0;
    timeouts.ReadTotalTimeoutConstant = 0;
    SetCommTimeouts(portHandle.Get(), &timeouts);
}

void CSerialPort::ApplyModemLines()
{
    if (!portHandle.IsValid()) return;
    EscapeCommFunction(portHandle.Get(), settings.DTR ? SETDTR : CLRDTR);
    EscapeCommFunction(portHandle.Get(), settings.RTS ? SETRTS : CLRRTS);
}

bool CSerialPort::ReadModemStatus(DWORD bit) const
{
    DWORD status = 0;
    GetCommModemStatus(portHandle.Get(), &status);
    return (status & bit) != 0;
}

void CSerialPort::SetPortAndReconnect(int32_t port)
{
    if (!SetPortAndTryOpen(port)) ReportFailedOpen();
}

bool CSerialPort::SetPortAndTryOpen(int32_t port)
{
    if (port <= 0) return true;
    settings.Port = port;
    SetModified();
    if (!settings.ConnectWanted) return true;

    ++connectionGeneration;
    try {
        OpenPort();
        settings.Error = ERR_NONE;
    } catch (const tx_encoding& failure) {
        settings.Error = failure.code;
        ClosePort();
        return false;
    }
    PostNotify(EVT_CONNECT);
    return true;
}

void CSerialPort::ReportFailedOpen()
{
    queuedDisconnects.push_back(connectionGeneration);
    PostNotify(EVT_DISCONNECT);
}

void CSerialPort::PostNotify(int32_t kind)
{
    // Without a window a post would become a message of this thread that reaches nobody.
    const HWND window = NotifyWindow();
    if (kind != EVT_DISCONNECT) {
        if (window && PostMessageA(window, WM_PORT_NOTIFY, static_cast<WPARAM>(kind), 0)) ++queuedConnects;
        return;
    }
    if ((!window || !worker.PostDisconnectNotice(window)) && !queuedDisconnects.empty()) queuedDisconnects.pop_back();
}

// ---------------------------------------------------------------------------------------
// Property writes

void CSerialPort::PutPort(int32_t v)
{
    SetPortAndReconnect(v);
}

void CSerialPort::PutBaudRate(int32_t v)
{
    if (!AcceptsBaudRate(v)) return;
    settings.BaudRate = v;
    SetModified();
    try {
        ApplyLineSettings();
    } catch (const tx_encoding& failure) {
        settings.Error = failure.code;
    }
}

// DataBits, Parity and StopBits: a successful apply clears Error, unlike BaudRate.
void CSerialPort::RunLineSetter(int32_t(PortSettings::*field), int32_t value)
{
    settings.*field = value;
    SetModified();
    try {
        ApplyLineSettings();
        settings.Error = ERR_NONE;
    } catch (const tx_encoding& failure) {
        settings.Error = failure.code;
    }
}

void CSerialPort::PutDataBits(int32_t v)
{
    if (AcceptsDataBits(v)) RunLineSetter(&PortSettings::DataBits, v);
}

void CSerialPort::PutParity(int32_t v)
{
    if (AcceptsParity(v)) RunLineSetter(&PortSettings::Parity, v);
}

void CSerialPort::PutStopBits(int32_t v)
{
    if (AcceptsStopBits(v)) RunLineSetter(&PortSettings::StopBits, v);
}

void CSerialPort::PutError(int32_t)
{
    settings.Error = ERR_NONE;
}

void CSerialPort::PutConnected(bool v)
{
    if (v) {
        SetModified();
        settings.ConnectWanted = 1;
        SetPortAndReconnect(settings.Port);
        return;
    }
    settings.ConnectWanted = 0;
    SetModified();
    if (settings.PortOpen) ClosePort();
}

void CSerialPort::PutDataMode(int32_t v)
{
    if (!AcceptsDataMode(v)) return;
    settings.DataMode = v;
    SetModified();
}

void CSerialPort::PutNullSubst(int32_t v)
{
    if (AcceptsNullSubst(v)) settings.NullSubst = static_cast<int16_t>(v & 0xFF);
}

void CSerialPort::PutRecvIntervalTimeout(int32_t v)
{
    if (!AcceptsRecvIntervalTimeout(v)) return;
    settings.RecvIntervalTimeout = static_cast<int16_t>(v);
    ApplyTimeouts();
}

void CSerialPort::PutDTR(int32_t v)
{
    settings.DTR = v;
    NoteLinesWritten();
    ApplyModemLines();
}

void CSerialPort::PutRTS(int32_t v)
{
    settings.RTS = v;
    NoteLinesWritten();
    ApplyModemLines();
}

void CSerialPort::NoteLinesWritten()
{
    if (portHandle.IsValid()) linesWrittenWhileOpen = true;
}

void CSerialPort::PutRecvSizeThreshold(int32_t v)
{
    if (!AcceptsRecvSizeThreshold(v)) return;
    settings.RecvSizeThreshold = v;
    SetModified();
}

std::wstring CSerialPort::GetErrorDescription() const
{
    if (settings.Error == ERR_NONE) return std::wstring();
    HINSTANCE module = g_resourceModule ? g_resourceModule : GetModuleHandleW(nullptr);
    const wchar_t* text = nullptr;
    // With a zero buffer size LoadStringW hands out the resource's own read-only text.
    const int length = LoadStringW(module, static_cast<UINT>(settings.Error),
                                   reinterpret_cast<LPWSTR>(&text), 0);
    if (length <= 0 || !text) return std::wstring();
    return std::wstring(text, static_cast<size_t>(length));
}

// ---------------------------------------------------------------------------------------
// The control thread's side of the hand-off

bool CSerialPort::DispatchPortEvent(WPARAM kind, LPARAM)
{
    VARIANT empty;
    VariantInit(&empty);
    switch (kind) {
    case EVT_CONNECT:
        // Like a disconnect, raised only for a notification this object posted.
        if (queuedConnects == 0) break;
        --queuedConnects;
        FireCommEvent(EVT_CONNECT, empty);
        break;
    case EVT_DISCONNECT: {
        // Only a disconnect really posted counts; any other message with this number
        // (another program can post to the window) changes nothing.
        if (queuedDisconnects.empty() || !worker.TakeDisconnectNotice()) break;
        const uint32_t generation = queuedDisconnects.front();
        queuedDisconnects.pop_front();
        // Only the current connection's end closes the port; a replaced one's is news.
        if (generation == connectionGeneration) ClosePort();
        SetModified();
        FireCommEvent(EVT_DISCONNECT, empty);
        break;
    }
    case EVT_DATA:
    case EVT_SERIALEVENT: {
        // The slot is ours only with the worker's own message: a copy from elsewhere would
        // raise or free what the worker may be filling.
        if (!worker.TakeSlotNotice(static_cast<int32_t>(kind))) break;
        if (kind == EVT_SERIALEVENT || portHandle.IsValid())
            FireCommEvent(static_cast<int16_t>(kind), worker.eventData);
        HRESULT rc = VariantClear(&worker.eventData);
        TARVEL_VERIFY(rc==S_OK);
        worker.FreeSlot();
        break;
    }
    default:
        break;
    }
    return true;
}
