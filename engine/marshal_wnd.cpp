#include "marshal_wnd.h"

#include <dbt.h>
#include <initguid.h>
#include <devguid.h>

#include <cstddef>
#include <cstdio>
#include <cstring>
#include <string>

#include "../common/win_raii.h"
#include "assert_report.h"
#include "port_names.h"
#include "serial_port.h"
#include "serial_worker.h"

namespace {

// The module that holds this code (a DLL when the engine is inside the control's module).
HINSTANCE CodeModule()
{
    HMODULE module = nullptr;
    GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                           GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                       reinterpret_cast<LPCSTR>(&CodeModule), &module);
    return module;
}

// The window class's name carries the module's address: a class a DLL registered stays
// behind when the DLL is unloaded, and a reloaded copy at another address must not pick up a
// window procedure that no longer exists.
const char* MarshalWindowClassName()
{
    static const std::string name = [] {
        char text[64];
        snprintf(text, sizeof text, "TarvelMarshalWnd:%p", static_cast<void*>(CodeModule()));
        return std::string(text);
    }();
    return name.c_str();
}

// Registers the window class unless the module has it already. Asked on every creation, not
// once per module: a registration that failed is tried again by the next window instead of
// failing every later one. Controls may live on several user-interface threads; when two
// register at once, the loser's "already exists" leaves the same class in place.
bool RegisterMarshalWindowClass(WNDPROC proc)
{
    const HINSTANCE module = CodeModule();
    WNDCLASSA wc{};
    if (GetClassInfoA(module, MarshalWindowClassName(), &wc)) return true;
    wc = WNDCLASSA{};
    wc.style = CS_HREDRAW | CS_VREDRAW;
    wc.lpfnWndProc = proc;
    wc.hInstance = module;
    wc.lpszClassName = MarshalWindowClassName();
    return RegisterClassA(&wc) != 0 || GetLastError() == ERROR_CLASS_ALREADY_EXISTS;
}

// The object whose window is being created on this thread, from Create until the window
// procedure binds it.
thread_local CMarshalWnd* t_creating = nullptr;

// The notification filter as the system documents it: the header and class GUID, 32 bytes.
constexpr DWORD kInterfaceFilterSize = 32;

// The device interface every COM port driver registers (GUID_DEVINTERFACE_COMPORT). Most USB
// serial adapters expose only this one, not the serial bus enumerator's interface that the
// Ports class identifier names.
constexpr GUID kComPortInterface = {0x86e0d1e0, 0x8089, 0x11d0, {0x9c, 0xe4, 0x08, 0x00, 0x3e, 0x30, 0x1f, 0x73}};

// An arrival whose open fails while the device settles (busy, or an I/O error) is tried again
// this often, this many times: about two seconds in all.
constexpr UINT_PTR kReopenTimer = 1;
constexpr UINT kReopenIntervalMs = 250;
constexpr int kReopenTries = 8;

bool IsSettlingError(int32_t error)
{
    return error == ERR_ACCESS_DENIED || error == ERR_IO;
}

HDEVNOTIFY RegisterInterfaceNotification(HWND window, const GUID& interfaceClass)
{
    DEV_BROADCAST_DEVICEINTERFACE_A filter;
    memset(&filter, 0, sizeof filter);
    filter.dbcc_size = kInterfaceFilterSize;
    filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
    filter.dbcc_reserved = 0;
    filter.dbcc_classguid = interfaceClass;
    return RegisterDeviceNotificationA(window, &filter, DEVICE_NOTIFY_WINDOW_HANDLE);
}

}  // namespace

CMarshalWnd::~CMarshalWnd()
{
    if (!hwnd) return;
    live = false;
    KillTimer(hwnd, kReopenTimer);
    DestroyWindow(hwnd);
}

bool CMarshalWnd::Create()
{
    if (hwnd) return true;
    if (!RegisterMarshalWindowClass(&CMarshalWnd::WindowProc)) return false;
    // The window procedure binds the new window to the object named here, never to a pointer
    // in a creation message's parameters: anyone can send WM_NCCREATE with any of them.
    t_creating = this;
    const HWND made =
        CreateWindowExA(0, MarshalWindowClassName(), kTitle, 0, 0, 0, 100, 100, nullptr, nullptr, CodeModule(), nullptr);
    t_creating = nullptr;
    if (!made) {
        hwnd = nullptr;
        return false;
    }
    hwnd = made;
    live = true;

    // The registrations end with the window; their handles are not needed. The second one
    // only adds notifications: the port broadcasts still arrive without it.
    HDEVNOTIFY nfy = RegisterInterfaceNotification(hwnd, GUID_DEVCLASS_PORTS);
    TARVEL_VERIFY(nfy);
    RegisterInterfaceNotification(hwnd, kComPortInterface);
    return true;
}

LRESULT CALLBACK CMarshalWnd::WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    auto* self = reinterpret_cast<CMarshalWnd*>(GetWindowLongPtrA(window, GWLP_USERDATA));
    if (message == WM_NCCREATE) {
        // Only the creation Create started binds, and only a window bound to nothing yet; a
        // copy of the message sent later to a live window is not passed on either, since the
        // default handling reads the creation record it points to.
        if (self || !t_creating) return 0;
        self = t_creating;
        t_creating = nullptr;
        SetWindowLongPtrA(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(self));
        self->hwnd = window;
        return DefWindowProcA(window, message, wParam, lParam);
    }
    if (!self) return DefWindowProcA(window, message, wParam, lParam);
    if (message == WM_NCDESTROY) {
        // A copy from elsewhere would leave a live window serving nobody, and the default
        // handling would free what the window still holds: only the object ends the window.
        if (self->live) return 0;
        SetWindowLongPtrA(window, GWLP_USERDATA, 0);
        self->hwnd = nullptr;
        return DefWindowProcA(window, message, wParam, lParam);
    }
    return self->HandleMessage(message, wParam, lParam);
}

LRESULT CMarshalWnd::HandleMessage(UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_CREATE:
        return DefWindowProcA(hwnd, message, wParam, lParam) == -1 ? -1 : 0;
    case WM_PORT_NOTIFY:
        // Queued before the owner was set (nothing posts then) or for an owner gone: drop.
        if (!owner) return 0;
        return owner->DispatchPortEvent(wParam, lParam) ? 1 : 0;
    case WM_DEVICECHANGE:
        return OnDeviceChange(wParam, lParam);
    case WM_TIMER:
        if (wParam != kReopenTimer) return DefWindowProcA(hwnd, message, wParam, lParam);
        OnReopenTimer();
        return 0;
    case WM_CLOSE:
        // Any program can ask a top-level window to close. Only the port object ends this
        // one (DestroyPortState): without it the control would never hear from its port again.
        return 0;
    default:
        return DefWindowProcA(hwnd, message, wParam, lParam);
    }
}

LRESULT CMarshalWnd::OnDeviceChange(WPARAM eventCode, LPARAM data)
{
    const CSerialPort* ctl = owner;
    TARVEL_VERIFY(ctl);
    if (eventCode != DBT_DEVICEARRIVAL && eventCode != DBT_DEVICEREMOVECOMPLETE) return 0;
    // Any program can send this message, with any record. Only the record's size is believed:
    // nothing is read beyond it, and a name must end within it.
    const auto* header = reinterpret_cast<const DEV_BROADCAST_HDR*>(data);
    if (!header) return 0;
    const DWORD size = header->dbch_size;
    if (size < sizeof(DEV_BROADCAST_HDR)) return 0;

    switch (header->dbch_devicetype) {
    case DBT_DEVTYP_PORT:
        if (const char* name = DeviceChangeRecordName(header, size, offsetof(DEV_BROADCAST_PORT_A, dbcp_name)))
            OnPortBroadcast(eventCode, name);
        break;
    case DBT_DEVTYP_DEVICEINTERFACE:
        if (const char* path =
                DeviceChangeRecordName(header, size, offsetof(DEV_BROADCAST_DEVICEINTERFACE_A, dbcc_name)))
            OnInterfaceBroadcast(eventCode, path);
        break;
    default:
        break;
    }
    return 0;
}

void CMarshalWnd::OnPortBroadcast(WPARAM eventCode, const char* name)
{
    PortSettings& s = owner->settings;
    int32_t number = 0;
    if (!ParseBroadcastPortName(name, number) || number != s.Port) return;
    if (eventCode == DBT_DEVICEARRIVAL) {
        if (WantsReopen()) ReopenAfterArrival();
    } else {
        StopReopening();
        owner->ClosePort();
    }
}

void CMarshalWnd::OnInterfaceBroadcast(WPARAM eventCode, const char* path)
{
    PortSettings& s = owner->settings;
    if (eventCode == DBT_DEVICEARRIVAL) {
        // The flags first: the registry is read only when a reopen would follow.
        if (WantsReopen() && DevicePathMatchesPort(path, s.Port)) ReopenAfterArrival();
    } else if (DevicePathMatchesPort(path, s.Port)) {
        StopReopening();
        owner->ClosePort();
    }
}

// The host wants the port and it is closed, or it still reads open although its run has
// already ended by itself (the adapter went away and came back before the run's
// EVT_DISCONNECT was processed): that connection is dead and would never be reopened.
bool CMarshalWnd::WantsReopen() const
{
    const PortSettings& s = owner->settings;
    return s.ConnectWanted == 1 && (s.PortOpen == 0 || owner->RunEndedByItself());
}

// A device that has just arrived may still be busy or failing for a moment. The host hears
// of the reopen once: EVT_CONNECT when a try succeeds, one EVT_DISCONNECT when the last failed.
void CMarshalWnd::ReopenAfterArrival()
{
    StopReopening();
    const int32_t port = owner->settings.Port;
    if (owner->SetPortAndTryOpen(port)) return;
    if (IsSettlingError(owner->settings.Error) && SetTimer(hwnd, kReopenTimer, kReopenIntervalMs, nullptr)) {
        reopenPort = port;
        reopenTriesLeft = kReopenTries;
        return;
    }
    owner->ReportFailedOpen();
}

void CMarshalWnd::OnReopenTimer()
{
    const PortSettings& s = owner->settings;
    // The host reconnected, changed Port or let go of the port meanwhile: whatever it did
    // reported itself.
    if (reopenTriesLeft <= 0 || s.ConnectWanted != 1 || s.PortOpen || s.Port != reopenPort) {
        StopReopening();
        return;
    }
    --reopenTriesLeft;
    const bool opened = owner->SetPortAndTryOpen(reopenPort);
    if (!opened && IsSettlingError(s.Error) && reopenTriesLeft > 0) return;
    StopReopening();
    if (!opened) owner->ReportFailedOpen();
}

void CMarshalWnd::StopReopening()
{
    if (hwnd) KillTimer(hwnd, kReopenTimer);
    reopenTriesLeft = 0;
}

bool DevicePathMatchesPort(const char* path, int32_t port)
{
    const std::string keyPath = DeviceParametersKey(path);
    if (keyPath.empty()) return false;

    CRegKey key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, keyPath.c_str(), 0, KEY_READ, key.Put()) != ERROR_SUCCESS)
        return false;

    // The value's type is not examined; one byte beyond the read keeps it terminated even
    // when the stored string carries no terminator. A longer value fails the read.
    char value[kPortNameValueSize + 1] = {};
    DWORD size = kPortNameValueSize;
    if (RegQueryValueExA(key.Get(), "PortName", nullptr, nullptr, reinterpret_cast<BYTE*>(value),
                         &size) != ERROR_SUCCESS)
        return false;
    value[size < kPortNameValueSize ? size : kPortNameValueSize] = '\0';
    return ComPortName(port) == value;
}
