// The transmit queue: byte records appended by Send on the control's thread and taken
// one at a time by the worker, which writes each with one request.
#pragma once
#include <windows.h>
#include <memory>

#include "../common/win_raii.h"

// A block of memory for one record's bytes, and how many it can hold.
struct TxBlock {
    std::unique_ptr<BYTE[]> data;
    DWORD capacity = 0;
};

struct TxRecord {
    std::unique_ptr<BYTE[]> data;
    DWORD length = 0;
    DWORD capacity = 0;        // bytes the block can hold (at least length)
    TxRecord* next = nullptr;  // newer record; owned by the queue while linked
};

class TxQueue {
public:
    // Blocks from this size up are kept after their record was written (one at a time), and
    // none larger than the other bound, so that what is kept stays small beside what was sent.
    static constexpr DWORD kMinSpareBytes = 64u * 1024;
    static constexpr DWORD kMaxSpareBytes = 4u * 1024 * 1024;

    TxQueue() = default;
    TxQueue(const TxQueue&) = delete;
    TxQueue& operator=(const TxQueue&) = delete;
    ~TxQueue() { DiscardAll(); }

    // Copies the bytes into a new record at the tail. False when memory cannot be had;
    // the queue is then unchanged.
    bool Append(const BYTE* bytes, DWORD length);
    // A block for a record of `length` bytes that the caller fills and hands to Append; empty
    // when memory cannot be had.
    TxBlock TakeBlock(DWORD length);
    // Queues a block the caller has already filled with `length` bytes, without copying it
    // again. False when memory cannot be had; the block is freed and the queue unchanged.
    bool Append(TxBlock block, DWORD length);
    // Unlinks the oldest record, or returns null when the queue is empty.
    std::unique_ptr<TxRecord> TakeHead();
    // Takes back a record that has been written. A large block is kept for a later record of
    // about its size: under Wine, touching a fresh megabyte costs more than copying into one
    // already in use, and Send copies on the host's thread.
    void Recycle(std::unique_ptr<TxRecord> record);
    // Frees every queued record.
    void DiscardAll();
    bool IsEmpty();

private:
    void Link(std::unique_ptr<TxRecord> record);

    TxRecord* txHead = nullptr;
    TxRecord* txTail = nullptr;  // meaningful only while txHead is set
    TxBlock spare;               // a written record's block, kept for reuse
    CCriticalSection txLock;
};
