// A port object whose control hooks record what the engine asks of them, plus a message
// pump for waiting on notifications the way a host's thread would receive them.
#pragma once
#include <windows.h>
#include <oleauto.h>

#include <cstdint>
#include <functional>
#include <vector>

#include "engine/serial_port.h"

struct RecordedEvent {
    int16_t kind;
    VARTYPE type;
    std::vector<BYTE> bytes;  // EVT_DATA in binary mode
    LONG mask = 0;            // EVT_SERIALEVENT
};

class CRecordingPort : public CSerialPort {
public:
    CRecordingPort() { InitPortState(); }
    ~CRecordingPort() override { DestroyPortState(); }

    void SetModified() override { ++modifiedCount; }
    void FireCommEvent(int16_t kind, VARIANT& data) override;
    bool ConvertReceived(VARIANT* out, BYTE* bytes, DWORD count, int32_t mode, int16_t nullSubst) override;

    // Runs inside FireCommEvent after the event was recorded (a host's handler).
    std::function<void(const RecordedEvent&)> onEvent;

    std::vector<RecordedEvent> events;
    int modifiedCount = 0;
    int convertCalls = 0;
    // Makes ConvertReceived fail as if memory could not be had (read on the worker thread).
    volatile bool failConversions = false;

    int Count(int16_t kind) const;
    std::vector<BYTE> ReceivedBytes() const;
};

// Dispatches this thread's messages until pred() holds or timeoutMs passes; returns pred().
bool PumpUntil(const std::function<bool()>& pred, DWORD timeoutMs = 5000);
// Dispatches messages for a while (to show that nothing more arrives).
void PumpFor(DWORD ms);
