// The transmit queue: byte records appended by Send on the control's thread and taken
// one at a time by the worker, which writes each with one request.
#pragma once
#include <windows.h>
#include <memory>

#include "../common/win_raii.h"

struct TxRecord {
    std::unique_ptr<BYTE[]> data;
    DWORD length = 0;
    TxRecord* next = nullptr;  // newer record; owned by the queue while linked
};

class TxQueue {
public:
    TxQueue() = default;
    TxQueue(const TxQueue&) = delete;
    TxQueue& operator=(const TxQueue&) = delete;
    ~TxQueue() { DiscardAll(); }

    // Copies the bytes into a new record at the tail. False when memory cannot be had;
    // the queue is then unchanged.
    bool Append(const BYTE* bytes, DWORD length);
    // Queues a block the caller has already filled with `length` bytes, without copying it
    // again. False when memory cannot be had; the block is freed and the queue unchanged.
    bool Append(std::unique_ptr<BYTE[]> block, DWORD length);
    // Unlinks the oldest record, or returns null when the queue is empty.
    std::unique_ptr<TxRecord> TakeHead();
    // Frees every queued record.
    void DiscardAll();
    bool IsEmpty();

private:
    void Link(std::unique_ptr<TxRecord> record);

    TxRecord* txHead = nullptr;
    TxRecord* txTail = nullptr;  // meaningful only while txHead is set
    CCriticalSection txLock;
};
