#include "tx_queue.h"

#include <cstring>
#include <new>

bool TxQueue::Append(const BYTE* bytes, DWORD length)
{
    std::unique_ptr<TxRecord> record(new (std::nothrow) TxRecord);
    if (!record) return false;
    // A zero-length record is still one (empty) write, so it keeps a block of its own.
    record->data.reset(new (std::nothrow) BYTE[length ? length : 1]);
    if (!record->data) return false;
    if (length) memcpy(record->data.get(), bytes, length);
    record->length = length;

    CLockGuard lock(txLock);
    TxRecord* raw = record.release();
    if (txHead)
        txTail->next = raw;
    else
        txHead = raw;
    txTail = raw;
    return true;
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
