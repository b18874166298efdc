// Client side of the virtual null-modem test bed, for Windows test programs run under Wine
// by tools/wine/wine-run.sh.
//
// The runner maps a pool of virtual ports into every test prefix: COM10..COM49, pair k has
// end A on COM(10+2k) and end B on COM(11+2k), and for pairs 20..39 (handed out only while
// more than 20 are leased) the same from COM110 to COM149. A test leases a free pair from the test-bed
// daemon, opens one or both ends with the ordinary Win32 comm calls and drives the "cable"
// (ring, carrier, breaks, line errors, refused settings, unplug, hang-up) through this class.
// The lease ends with the object (or with the process): the pair is reset for the next test.
//
// Ports that never exist in a test prefix: COM1..COM9, COM50..COM109 and COM150 and above
// (kFirstMissingCom, kMissingComAbovePool); opening them fails with ERROR_FILE_NOT_FOUND.
//
// What the far end sees (both directions):
//   DTR of one end  -> DSR and DCD (RLSD) of the other (DCD can be forced per end)
//   RTS of one end  -> CTS of the other
//   RI              -> set per end by the test
//   closing an end drops its DTR and RTS; bytes sent to a closed end are lost.
#pragma once

#include <winsock2.h>
#include <windows.h>

#include <cstddef>
#include <string>

constexpr int kFirstPoolCom = 10;
constexpr int kLastPoolCom = 49;
constexpr int kFirstSecondPoolCom = 110;
constexpr int kLastSecondPoolCom = 149;
constexpr int kFirstMissingCom = 1;      // COM1..COM9 are never mapped
constexpr int kMissingComAbovePool = 50; // nor COM50..COM109, nor anything from COM150 up

inline bool IsPoolCom(long com)
{
    return (com >= kFirstPoolCom && com <= kLastPoolCom) || (com >= kFirstSecondPoolCom && com <= kLastSecondPoolCom);
}

class CNullModemPair {
public:
    enum End { A = 0, B = 1 };
    enum class LineError { Frame, Overrun, Parity };
    // Ways in which the "driver" of one end departs from a perfect UART; combine with |.
    enum Personality : unsigned {
        PerfectUart = 0,
        // Modem-control requests fail as on a plain pty: EscapeCommFunction(SETDTR...) and
        // GetCommModemStatus fail, GetCommState reports fDtrControl/fRtsControl ENABLE whatever
        // was written, WaitCommEvent with modem events fails at once with ERROR_NOT_SUPPORTED.
        // The end drives no lines, so its peer sees DSR, CTS and DCD off.
        NoModemLines = 1u << 0,
        // A line-event wait left pending for about 20 ms without an event is cancelled: one of
        // Wine's polls of the modem lines fails, and Wine completes the wait with
        // ERROR_OPERATION_ABORTED (995), as some USB CDC drivers do when a transfer ends.
        WaitAborts = 1u << 1,
        // Every read the driver serves completes at once with a time-out (ERROR_SEM_TIMEOUT,
        // 121) and no byte; what arrived stays queued and is read once the personality is
        // cleared.
        EmptyReads = 1u << 2,
        // The wire stops taking the end's output (a device that stopped reading): writes stay
        // pending, or end with the write time-outs set on the handle, taking nothing.
        StalledWrites = 1u << 3,
        // Abort-on-error: after a line error (InjectError) every read and write fails until
        // the application calls ClearCommError. Real drivers fail them with
        // ERROR_OPERATION_ABORTED (995); under Wine they fail with ERROR_SEM_TIMEOUT (121),
        // the nearest code a Linux tty can produce.
        AbortOnError = 1u << 4,
    };

    CNullModemPair() = default;
    ~CNullModemPair();
    CNullModemPair(const CNullModemPair &) = delete;
    CNullModemPair &operator=(const CNullModemPair &) = delete;

    // Leases a free pair. False when the program does not run on the test bed (no daemon
    // address in the environment, daemon unreachable) or every pair is taken.
    bool Lease();
    void Release();
    bool IsLeased() const { return sock != INVALID_SOCKET; }

    int PortA() const { return comA; }
    int PortB() const { return comB; }
    int Port(End end) const { return end == A ? comA : comB; }
    std::string DeviceName(End end) const; // "\\.\COMn"

    // Lines as seen by `end` (its inputs).
    bool SetRing(End end, bool on);
    bool SetDcd(End end, bool on); // forces DCD; FollowDcd() returns it to the peer's DTR
    bool FollowDcd(End end);
    // Drives DTR/RTS of an end that no Win32 handle has open (a far end without a program).
    bool SetOutputLines(End end, bool dtr, bool rts);

    // Events received by `end`: a break condition, or a line error (EV_BREAK / EV_ERR).
    bool InjectBreak(End end);
    bool InjectError(End end, LineError kind);

    // Makes the "driver" of `end` refuse a baud rate: with substitute 0 the setting fails and
    // the previous rate stays; otherwise the rate is replaced by `substitute` (a rate with a
    // termios constant, e.g. 9600), so that GetCommState reads back something else.
    bool RefuseBaud(End end, DWORD rate, DWORD substitute = 0);
    bool RefuseByteSize(End end, int size); // the setting fails, the old size stays
    bool AllowAllSettings(End end);

    // Gives `end` exactly these personalities (PerfectUart clears them); takes effect on the
    // next request of a handle already open. Every lease starts with perfect UARTs.
    bool SetPersonality(End end, unsigned personalities);
    // read() calls the "driver" of `end` has served since the lease (each read request that
    // reached the device at least once).
    bool ReadRequests(End end, unsigned long &count);

    // Unplug: open handles on `end` see a hang-up (a pending read fails), the port leaves
    // QueryDosDevice's list and opening it fails with ERROR_FILE_NOT_FOUND until Replug.
    bool Unplug(End end);
    bool Replug(End end);
    // Hang-up only: handles open on `end` fail their reads; the port can be opened again at once.
    bool HangUp(End end);

    // Pacing: bytes cross at the sender's configured baud rate instead of at once.
    bool SetPacing(bool on);
    // Bytes taken off the wire so far in each direction since the lease.
    bool BytesOnWire(unsigned long long &aToB, unsigned long long &bToA);
    // Bytes one end wrote that have not reached the other end's port yet, per direction.
    bool BytesCrossing(unsigned long long &aToB, unsigned long long &bToA);
    // Whether the daemon sees `end` held open by some process.
    bool IsEndOpen(End end, bool &open);

    // One raw protocol command for the leased pair (see tools/testbed/README.md).
    bool Command(const std::string &command, std::string *reply = nullptr);

private:
    static char EndLetter(End end) { return end == A ? 'A' : 'B'; }
    bool EndCommand(const char *verb, End end, const std::string &args = std::string());
    void RestoreDosNames();

    SOCKET sock = INVALID_SOCKET;
    bool winsockStarted = false;
    int comA = 0;
    int comB = 0;
    bool unplugged[2] = {false, false};
};

// Owning handle of a COM port opened with plain Win32 calls: the "far end" of a test, or a
// quick probe. Non-overlapped unless asked; reads use comm time-outs.
class CComPort {
public:
    CComPort() = default;
    ~CComPort() { Close(); }
    CComPort(const CComPort &) = delete;
    CComPort &operator=(const CComPort &) = delete;

    // Opens "\\.\COMn" exclusively; on failure IsOpen() is false and LastError() tells why.
    bool Open(int com, bool overlapped = false);
    void Close();
    bool IsOpen() const { return handle != INVALID_HANDLE_VALUE; }
    HANDLE Get() const { return handle; }
    DWORD LastError() const { return lastError; }

    bool Write(const void *data, DWORD size);
    bool Write(const std::string &text) { return Write(text.data(), DWORD(text.size())); }
    // Reads until `count` bytes arrived or `timeoutMs` passed; returns what arrived.
    std::string Read(size_t count, DWORD timeoutMs);
    bool SetLine(DWORD escapeFunction) { return EscapeCommFunction(handle, escapeFunction) != FALSE; }
    DWORD ModemStatus();

private:
    HANDLE handle = INVALID_HANDLE_VALUE;
    DWORD lastError = 0;
};

// Device names under which QueryDosDeviceA lists COM ports right now, e.g. {"COM10", ...}.
std::string ListedComPorts();
bool IsComPortListed(int com);
