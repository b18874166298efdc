// A small host for the serial engine: opens one end of a virtual null-modem pair through
// the port object, changes line settings, drives DTR/RTS, reads the modem lines, lists the
// present ports, and prints every notification it receives. The far end echoes.
#include "tools/testbed/client/null_modem.h"  // winsock2.h before windows.h

#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

#include "engine/port_discovery.h"
#include "engine/serial_port.h"

namespace {

const char* KindName(int kind)
{
    switch (kind) {
    case EVT_DISCONNECT: return "EVT_DISCONNECT";
    case EVT_DATA: return "EVT_DATA";
    case EVT_SERIALEVENT: return "EVT_SERIALEVENT";
    case EVT_CONNECT: return "EVT_CONNECT";
    default: return "?";
    }
}

class CDemoPort : public CSerialPort {
public:
    CDemoPort() { InitPortState(); }
    ~CDemoPort() override { DestroyPortState(); }
    void SetModified() override {}
    void FireCommEvent(int16_t kind, VARIANT& data) override
    {
        ++events;
        if (kind == EVT_DATA && V_VT(&data) == (VT_ARRAY | VT_UI1)) {
            SAFEARRAY* sa = V_ARRAY(&data);
            std::string text(static_cast<const char*>(sa->pvData), sa->rgsabound[0].cElements);
            printf("CommEvent %s (%u bytes): \"%s\"\n", KindName(kind), static_cast<unsigned>(text.size()), text.c_str());
        } else if (kind == EVT_SERIALEVENT) {
            printf("CommEvent %s mask 0x%lX\n", KindName(kind), static_cast<unsigned long>(V_I4(&data)));
        } else {
            printf("CommEvent %s\n", KindName(kind));
        }
        fflush(stdout);
    }
    bool ConvertReceived(VARIANT* out, BYTE* bytes, DWORD count, int32_t, int16_t) override
    {
        VariantClear(out);
        SAFEARRAYBOUND bound{count, 0};
        SAFEARRAY* sa = SafeArrayCreate(VT_UI1, 1, &bound);
        if (!sa) return false;
        memcpy(sa->pvData, bytes, count);
        V_VT(out) = VT_ARRAY | VT_UI1;
        V_ARRAY(out) = sa;
        return true;
    }
    int events = 0;
};

void Pump(DWORD ms)
{
    const DWORD start = GetTickCount();
    for (DWORD now = start; now - start < ms; now = GetTickCount()) {
        MsgWaitForMultipleObjects(0, nullptr, FALSE, ms - (now - start), QS_ALLINPUT);
        MSG msg;
        while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageA(&msg);
    }
}

// The peer: echoes what it receives until told to stop.
struct Echo {
    int port;
    volatile bool stop = false;
    static DWORD WINAPI Run(void* p)
    {
        auto* e = static_cast<Echo*>(p);
        char name[32];
        snprintf(name, sizeof name, "\\\\.\\COM%d", e->port);
        HANDLE h = CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        if (h == INVALID_HANDLE_VALUE) return 1;
        COMMTIMEOUTS t{};
        t.ReadIntervalTimeout = 10;
        t.ReadTotalTimeoutConstant = 50;
        SetCommTimeouts(h, &t);
        EscapeCommFunction(h, SETDTR);
        while (!e->stop) {
            char buf[256];
            DWORD n = 0, w = 0;
            if (ReadFile(h, buf, sizeof buf, &n, nullptr) && n) WriteFile(h, buf, n, &w, nullptr);
        }
        CloseHandle(h);
        return 0;
    }
};

}  // namespace

int main()
{
    printf("Tarvel serial engine demo (%s)\n", TARVEL_ARCH_LABEL);
    CNullModemPair pair;
    if (!pair.Lease()) {
        fprintf(stderr, "no virtual null-modem pair: run through tools/wine/wine-run.sh\n");
        return 1;
    }
    printf("virtual pair: COM%d <-> COM%d\n", pair.PortA(), pair.PortB());
    printf("PortsAvailable: %s\n", PortsAvailableText().c_str());

    Echo echo{pair.PortB()};
    HANDLE peer = CreateThread(nullptr, 0, Echo::Run, &echo, 0, nullptr);
    Sleep(200);

    CDemoPort port;
    port.PutPort(pair.PortA());
    port.PutBaudRate(115200);
    port.PutConnected(true);
    printf("Connected=%d Error=%d\n", port.GetConnected(), port.settings.Error);
    Pump(200);

    port.PutDataBits(7);
    port.PutParity(EVENPARITY);
    printf("line settings 115200 7E1: Error=%d\n", port.settings.Error);
    port.PutDTR(1);
    port.PutRTS(1);
    printf("DSR=%d CTS=%d RI=%d\n", port.ReadModemStatus(MS_DSR_ON), port.ReadModemStatus(MS_CTS_ON),
           port.ReadModemStatus(MS_RING_ON));

    const char hello[] = "hello, echo";
    port.Worker().txQueue.Append(reinterpret_cast<const BYTE*>(hello), sizeof hello - 1);
    SetEvent(port.Worker().txReadyEvent.Get());
    Pump(1000);

    port.PutConnected(false);
    Pump(300);
    echo.stop = true;
    WaitForSingleObject(peer, INFINITE);
    CloseHandle(peer);
    printf("done: %d notifications\n", port.events);
    return port.events >= 3 ? 0 : 1;
}
