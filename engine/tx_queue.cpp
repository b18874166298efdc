#include "tx_queue.h"

#include <cstring>
#include <new>

bool TxQueue::Append(const BYTE* bytes, DWORD length)
{
    // A zero-length record is still one (empty) write, so it keeps a block of its own.
    std::unique_ptr<BYTE[]> block(new (std::nothrow) BYTE[length ? length : 1]);
    if (!block) return false;
    if (length) memcpy(block.get(), bytes, length);
    return Append(std::move(block), length);
}

bool TxQueue::Append(std::unique_ptr<BYTE[]> block, DWORD length)
{
    if (!block) return false;
    std::unique_ptr<TxRecord> record(new (std::nothrow) TxRecord);
    if (!record) return false;
    record->data = std::move(block);
    record->length = length;
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
