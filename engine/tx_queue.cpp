#include "tx_queue.h"

#include <cstring>
#include <new>
#include <utility>

bool TxQueue::Append(const BYTE* bytes, DWORD length)
{
    TxBlock block = TakeBlock(length);
    if (!block.data) return false;
    if (length) memcpy(block.data.get(), bytes, length);
    return Append(std::move(block), length);
}

TxBlock TxQueue::TakeBlock(DWORD length)
{
    TxBlock block;
    {
        // The spare serves a record that fills more than half of it, so that a small record
        // does not hold a large block while a large one needs fresh memory.
        CLockGuard lock(txLock);
        if (spare.data && length <= spare.capacity && length > spare.capacity / 2) block = std::move(spare);
    }
    if (block.data) return block;
    // A zero-length record is still one (empty) write, so it keeps a block of its own.
    block.capacity = length ? length : 1;
    block.data.reset(new (std::nothrow) BYTE[block.capacity]);
    if (!block.data) block.capacity = 0;
    return block;
}

bool TxQueue::Append(TxBlock block, DWORD length)
{
    if (!block.data || length > block.capacity) return false;
    std::unique_ptr<TxRecord> record(new (std::nothrow) TxRecord);
    if (!record) return false;
    record->data = std::move(block.data);
    record->length = length;
    record->capacity = block.capacity;
    Link(std::move(record));
    return true;
}

void TxQueue::Link(std::unique_ptr<TxRecord> record)
{
    CLockGuard lock(txLock);
    TxRecord* raw = record.release();
    if (txHead)
        txTail->next = raw;
    else
        txHead = raw;
    txTail = raw;
}

std::unique_ptr<TxRecord> TxQueue::TakeHead()
{
    CLockGuard lock(txLock);
    std::unique_ptr<TxRecord> head(txHead);
    if (head) {
        txHead = head->next;
        head->next = nullptr;
    }
    return head;
}

void TxQueue::Recycle(std::unique_ptr<TxRecord> record)
{
    if (!record || record->capacity < kMinSpareBytes || record->capacity > kMaxSpareBytes) return;
    TxBlock block;
    block.data = std::move(record->data);
    block.capacity = record->capacity;
    // The newest block replaces the spare; the one it replaces is freed when `block` goes out
    // of scope, after the lock.
    CLockGuard lock(txLock);
    std::swap(spare, block);
}

void TxQueue::DiscardAll()
{
    TxRecord* chain;
    {
        CLockGuard lock(txLock);
        chain = txHead;
        txHead = nullptr;
    }
    while (chain) {
        std::unique_ptr<TxRecord> record(chain);
        chain = record->next;
    }
}

bool TxQueue::IsEmpty()
{
    CLockGuard lock(txLock);
    return txHead == nullptr;
}
