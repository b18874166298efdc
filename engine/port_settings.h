// The control's settings record, its enumerations, error codes and write rules.
// Pure: no platform headers, so it also builds natively for sanitizer runs.
#pragma once
#include <cstdint>

// Values of the type library's enumerations. PARITY, STOPBITS and SerialEvent share their
// numbers with the platform's DCB and event-mask codes, whose names <windows.h> already
// defines as macros; the kind of a CommEvent and the data modes are ours alone.
enum Event : int32_t {
    EVT_DISCONNECT = 0,
    EVT_DATA = 1,
    EVT_SERIALEVENT = 2,
    EVT_CONNECT = 3,
};

enum DataMode : int32_t {
    BINARY = 0,
    TEXT = 1,
    BINARYJS = 2,
};

// Codes stored in Error; they are also the numbers of their messages in the string table.
enum PortError : int32_t {
    ERR_NONE = 0,
    ERR_UNKNOWN_PORT = 219,
    ERR_ACCESS_DENIED = 220,
    ERR_IO = 221,
    ERR_BAD_SETTING = 222,
};

// The events the worker asks the driver for: TXEMPTY, CTS, DSR, BREAK, ERR, RING.
constexpr uint32_t kWatchedLineEvents = 0x1DC;

struct PortSettings {
    int32_t Error = ERR_NONE;
    int32_t Port = 1;
    int32_t BaudRate = 9600;
    int32_t DataBits = 8;
    int32_t Parity = 0;    // NOPARITY
    int32_t StopBits = 0;  // ONESTOPBIT
    int32_t PortOpen = 0;
    int32_t ConnectWanted = 0;
    int32_t DataMode = BINARY;
    int16_t NullSubst = 32;
    int16_t RecvIntervalTimeout = 30;
    int32_t DTR = 0;
    int32_t RTS = 0;
    int32_t RecvSizeThreshold = 1000;
};

// Accepted ranges of property writes; anything else is ignored silently.
inline bool AcceptsPort(int32_t v) { return v > 0; }
inline bool AcceptsBaudRate(int32_t v) { return v >= 2; }
inline bool AcceptsDataBits(int32_t v) { return v >= 5 && v <= 8; }
inline bool AcceptsParity(int32_t v) { return v >= 0 && v <= 4; }
inline bool AcceptsStopBits(int32_t v) { return v >= 0 && v <= 2; }
inline bool AcceptsDataMode(int32_t v) { return v >= 0 && v <= 2; }
inline bool AcceptsNullSubst(int32_t v) { return v >= 0 && v <= 255; }
inline bool AcceptsRecvIntervalTimeout(int32_t v) { return v >= 1 && v <= 1000; }
inline bool AcceptsRecvSizeThreshold(int32_t v) { return v >= 1 && v <= 100000; }

// The four members of the driver's device control block that the line-setting properties map
// onto. Drivers rebuild the rest of the block in their own way (a device without modem lines
// reports its DTR/RTS control modes as enabled, USB adapters report the line coding the
// device achieved, some report fixed XON/XOFF limits), so only these judge a setting.
struct LineSettings {
    uint32_t baudRate;
    uint8_t byteSize;
    uint8_t parity;
    uint8_t stopBits;
};

inline bool KeepsLineSettings(const LineSettings& asked, const LineSettings& kept) {
    return asked.baudRate == kept.baudRate && asked.byteSize == kept.byteSize && asked.parity == kept.parity
        && asked.stopBits == kept.stopBits;
}

// What a driver kept instead of the host's settings goes back into the record, so that the
// next open asks for that; a value no property write would accept (a driver reporting rate
// 0, say) is not taken, since the next open would send it again: the host's value stays.
inline void TakeDriverLineSettings(PortSettings& s, const LineSettings& kept) {
    const int32_t rate = kept.baudRate <= 0x7FFFFFFFu ? static_cast<int32_t>(kept.baudRate) : -1;
    if (AcceptsBaudRate(rate)) s.BaudRate = rate;
    if (AcceptsDataBits(kept.byteSize)) s.DataBits = kept.byteSize;
    if (AcceptsParity(kept.parity)) s.Parity = kept.parity;
    if (AcceptsStopBits(kept.stopBits)) s.StopBits = kept.stopBits;
}

// Stored property sets are not range-checked, so the worker clamps the read size it uses:
// below 1 a read would ask for nothing and spin, above the setter's limit the buffer
// (twice the threshold) could not be had.
inline uint32_t EffectiveRecvSizeThreshold(int32_t v) {
    if (v < 1) return 1;
    if (v > 100000) return 100000;
    return static_cast<uint32_t>(v);
}

// The same for the interval time-out given to the driver: with -1 (MAXDWORD once widened)
// and both totals 0 every read completes at once and the worker spins without delivering;
// with 0 a read waits until its whole size has arrived.
inline uint32_t EffectiveRecvIntervalTimeout(int32_t v) {
    if (v < 1) return 1;
    if (v > 1000) return 1000;
    return static_cast<uint32_t>(v);
}

// The input and output queue sizes the control asks the driver for.
constexpr uint32_t kRequestedQueueSize = 3000;

// Members of the device control block that only XON/XOFF flow control uses. The control
// never turns that on, but drivers check them anyway and refuse the whole block when the
// limits exceed the receive queue or the two characters are equal, and such values can be
// inherited from the driver's defaults or from the last program that had the port.
struct FlowControlMembers {
    uint32_t xonLim;
    uint32_t xoffLim;
    char xonChar;
    char xoffChar;
};

// Makes those members acceptable to a driver whose receive queue holds `queueSize` bytes
// (0: not reported, the queue the control asks for is assumed): limits within the queue,
// together too, and the standard characters when they are equal. True when anything changed.
inline bool MakeFlowControlMembersValid(FlowControlMembers& m, uint32_t queueSize)
{
    const uint32_t queue = queueSize ? queueSize : kRequestedQueueSize;
    bool changed = false;
    if (m.xonLim > queue || m.xoffLim > queue || m.xonLim + m.xoffLim > queue) {
        m.xonLim = queue / 4;
        m.xoffLim = queue / 4;
        changed = true;
    }
    if (m.xonChar == m.xoffChar) {
        m.xonChar = 0x11;   // DC1
        m.xoffChar = 0x13;  // DC3
        changed = true;
    }
    return changed;
}

// Thrown by port operations inside the engine; never leaves the control.
struct tx_encoding {
    int32_t code;
};
