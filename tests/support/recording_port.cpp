#include "recording_port.h"

#include <cstring>

void CRecordingPort::FireCommEvent(int16_t kind, VARIANT& data)
{
    RecordedEvent e{kind, V_VT(&data), {}, 0};
    if (V_VT(&data) == (VT_ARRAY | VT_UI1)) {
        SAFEARRAY* sa = V_ARRAY(&data);
        BYTE* p = nullptr;
        if (SUCCEEDED(SafeArrayAccessData(sa, reinterpret_cast<void**>(&p)))) {
            e.bytes.assign(p, p + sa->rgsabound[0].cElements);
            SafeArrayUnaccessData(sa);
        }
    } else if (V_VT(&data) == VT_I4) {
        e.mask = V_I4(&data);
    }
    events.push_back(e);
    if (onEvent) onEvent(events.back());
}

bool CRecordingPort::ConvertReceived(VARIANT* out, BYTE* bytes, DWORD count, int32_t, int16_t)
{
    ++convertCalls;
    VariantClear(out);
    if (failConversions) return false;
    SAFEARRAYBOUND bound{count, 0};
    SAFEARRAY* sa = SafeArrayCreate(VT_UI1, 1, &bound);
    if (!sa) return false;
    memcpy(sa->pvData, bytes, count);
    V_VT(out) = VT_ARRAY | VT_UI1;
    V_ARRAY(out) = sa;
    return true;
}

int CRecordingPort::Count(int16_t kind) const
{
    int n = 0;
    for (const auto& e : events) n += e.kind == kind;
    return n;
}

std::vector<BYTE> CRecordingPort::ReceivedBytes() const
{
    std::vector<BYTE> all;
    for (const auto& e : events)
        if (e.kind == EVT_DATA) all.insert(all.end(), e.bytes.begin(), e.bytes.end());
    return all;
}

bool PumpUntil(const std::function<bool()>& pred, DWORD timeoutMs)
{
    const DWORD start = GetTickCount();
    while (!pred()) {
        const DWORD elapsed = GetTickCount() - start;
        if (elapsed >= timeoutMs) return pred();
        MsgWaitForMultipleObjects(0, nullptr, FALSE, timeoutMs - elapsed, QS_ALLINPUT);
        MSG msg;
        while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&msg);
            DispatchMessageA(&msg);
        }
    }
    return true;
}

void PumpFor(DWORD ms)
{
    PumpUntil([] { return false; }, ms);
}
