// The hidden window that belongs to the control's thread: it receives the port's
// notifications (WM_PORT_NOTIFY) and the system's device-change broadcasts, closing the port
// when its device goes away and reopening it when the device returns.
// A small self-contained Win32 window: the engine depends on no window framework.
#pragma once
#include <windows.h>

#include <cstdint>

class CSerialPort;

class CMarshalWnd {
public:
    CMarshalWnd() = default;
    ~CMarshalWnd();
    CMarshalWnd(const CMarshalWnd&) = delete;
    CMarshalWnd& operator=(const CMarshalWnd&) = delete;

    // Creates the window on the calling thread and registers it for port device
    // notifications; nothing to do when it exists. False when the window cannot be created
    // (a later call tries again, class registration included).
    bool Create();
    HWND Handle() const { return hwnd; }
    // The port object served; not owned. Set once, right after Create.
    void SetOwner(CSerialPort* port) { owner = port; }

    static constexpr const char* kTitle = "Tarvel event marshaling window";

private:
    static LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    LRESULT HandleMessage(UINT message, WPARAM wParam, LPARAM lParam);
    LRESULT OnDeviceChange(WPARAM eventCode, LPARAM data);
    void OnPortBroadcast(WPARAM eventCode, const char* name);
    void OnInterfaceBroadcast(WPARAM eventCode, const char* path);
    bool WantsReopen() const;
    void ReopenAfterArrival();
    void OnReopenTimer();
    void StopReopening();

    HWND hwnd = nullptr;
    CSerialPort* owner = nullptr;
    // From a successful Create until the destructor ends the window: a WM_NCDESTROY seen
    // meanwhile is a copy from elsewhere.
    bool live = false;
    // Arrival reopens that failed while the device settles, tried again from a timer.
    int reopenTriesLeft = 0;
    int32_t reopenPort = 0;
};

// True when the registry names the device instance of a device-interface path as COM port
// `port` (its "PortName" value is exactly "COM<port>"). Any malformed path is no match.
bool DevicePathMatchesPort(const char* path, int32_t port);
