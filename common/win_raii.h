// Owners for Win32 kernel objects. One owner per resource; moves transfer it.
#pragma once
#include <windows.h>
#include <utility>

// Handles whose empty value is NULL: events, threads, mutexes, registry-free kernel objects.
class CUniqueHandle {
public:
    CUniqueHandle() = default;
    explicit CUniqueHandle(HANDLE h) : h_(h) {}
    CUniqueHandle(CUniqueHandle&& o) noexcept : h_(o.Release()) {}
    CUniqueHandle& operator=(CUniqueHandle&& o) noexcept { Reset(o.Release()); return *this; }
    CUniqueHandle(const CUniqueHandle&) = delete;
    CUniqueHandle& operator=(const CUniqueHandle&) = delete;
    ~CUniqueHandle() { Reset(); }

    HANDLE Get() const { return h_; }
    explicit operator bool() const { return h_ != nullptr; }
    HANDLE Release() { return std::exchange(h_, nullptr); }
    void Reset(HANDLE h = nullptr) {
        if (h_) CloseHandle(h_);
        h_ = h;
    }

private:
    HANDLE h_ = nullptr;
};

// Handles whose empty value is INVALID_HANDLE_VALUE: files and devices from CreateFile.
class CUniqueFileHandle {
public:
    CUniqueFileHandle() = default;
    explicit CUniqueFileHandle(HANDLE h) : h_(h) {}
    CUniqueFileHandle(CUniqueFileHandle&& o) noexcept : h_(o.Release()) {}
    CUniqueFileHandle& operator=(CUniqueFileHandle&& o) noexcept { Reset(o.Release()); return *this; }
    CUniqueFileHandle(const CUniqueFileHandle&) = delete;
    CUniqueFileHandle& operator=(const CUniqueFileHandle&) = delete;
    ~CUniqueFileHandle() { Reset(); }

    HANDLE Get() const { return h_; }
    bool IsValid() const { return h_ != INVALID_HANDLE_VALUE; }
    HANDLE Release() { return std::exchange(h_, INVALID_HANDLE_VALUE); }
    void Reset(HANDLE h = INVALID_HANDLE_VALUE) {
        if (h_ != INVALID_HANDLE_VALUE) CloseHandle(h_);
        h_ = h;
    }

private:
    HANDLE h_ = INVALID_HANDLE_VALUE;
};

// An unnamed auto-reset event, created non-signalled.
inline CUniqueHandle CreateAutoResetEvent() { return CUniqueHandle(CreateEventA(nullptr, FALSE, FALSE, nullptr)); }

class CCriticalSection {
public:
    CCriticalSection() { InitializeCriticalSection(&cs_); }
    ~CCriticalSection() { DeleteCriticalSection(&cs_); }
    CCriticalSection(const CCriticalSection&) = delete;
    CCriticalSection& operator=(const CCriticalSection&) = delete;
    void Enter() { EnterCriticalSection(&cs_); }
    void Leave() { LeaveCriticalSection(&cs_); }

private:
    CRITICAL_SECTION cs_;
};

class CLockGuard {
public:
    explicit CLockGuard(CCriticalSection& cs) : cs_(cs) { cs_.Enter(); }
    ~CLockGuard() { cs_.Leave(); }
    CLockGuard(const CLockGuard&) = delete;
    CLockGuard& operator=(const CLockGuard&) = delete;

private:
    CCriticalSection& cs_;
};

// A registry key opened or created by this process.
class CRegKey {
public:
    CRegKey() = default;
    CRegKey(const CRegKey&) = delete;
    CRegKey& operator=(const CRegKey&) = delete;
    ~CRegKey() { Reset(); }
    HKEY Get() const { return h_; }
    HKEY* Put() { Reset(); return &h_; }
    void Reset() {
        if (h_) RegCloseKey(h_);
        h_ = nullptr;
    }

private:
    HKEY h_ = nullptr;
};
