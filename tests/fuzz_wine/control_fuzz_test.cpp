// Random and hostile input to the control object inside Wine: Send with random automation
// values, loads of random and damaged streams, storages and property bags, and foreign
// messages to the hidden window from another thread. Each group checks that nothing crashes
// or hangs, that handles and private memory end where they started, and that the control
// still opens, sends and receives on a virtual pair afterwards.
//
// Seeded: every group prints its seed; TARVEL_FUZZ_SEED=<n> replays it. The short form runs
// in ctest; TARVEL_FUZZ_LONG=1 runs the long one (see the README's testing notes).
#include "tools/testbed/client/null_modem.h"  // winsock2.h before windows.h

#include <gtest/gtest.h>

#include <windows.h>
#include <dbt.h>
#include <ocidl.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "common/tarvel_ids.h"
#include "control/send_convert.h"
#include "control/tarvel_ctrl.h"
#include "control/version_text.h"
#include "engine/serial_worker.h"
#include "framework/fw_module.h"
#include "framework/prop_blob.h"
#include "res/dispids.h"
#include "tests/control/convert/convert_test_util.h"
#include "tests/framework/test_com.h"
#include "tests/support/far_end.h"
#include "tests/support/recording_port.h"
#include "tests/support/control_environment.h"

namespace {

// How much each group does: bounded for ctest, large for a run by hand.
struct FuzzPlan {
    uint32_t seed;
    bool longForm;
    unsigned long sends;
    unsigned long loads;
    unsigned long messages;
};

const FuzzPlan& Plan()
{
    static const FuzzPlan plan = [] {
        FuzzPlan p{};
        const char* seed = getenv("TARVEL_FUZZ_SEED");
        p.seed = seed && *seed ? static_cast<uint32_t>(strtoul(seed, nullptr, 0))
                               : static_cast<uint32_t>(GetTickCount() ^ (GetCurrentProcessId() << 16));
        const char* longForm = getenv("TARVEL_FUZZ_LONG");
        p.longForm = longForm && *longForm && strcmp(longForm, "0") != 0;
        p.sends = p.longForm ? 1000000 : 10000;
        p.loads = p.longForm ? 100000 : 500;
        p.messages = p.longForm ? 200000 : 3000;
        if (const char* sends = getenv("TARVEL_FUZZ_SENDS")) p.sends = strtoul(sends, nullptr, 0);
        return p;
    }();
    return plan;
}

// Prints the seed a group runs with (also in the XML report) and returns its generator.
std::mt19937 SeededGenerator(const char* group)
{
    const FuzzPlan& plan = Plan();
    printf("[ seed     ] %s: TARVEL_FUZZ_SEED=%lu%s\n", group, static_cast<unsigned long>(plan.seed),
           plan.longForm ? " TARVEL_FUZZ_LONG=1" : "");
    fflush(stdout);
    ::testing::Test::RecordProperty("seed", std::to_string(plan.seed));
    return std::mt19937(plan.seed);
}

uint32_t Below(std::mt19937& rng, uint32_t n)
{
    return n <= 1 ? 0 : std::uniform_int_distribution<uint32_t>(0, n - 1)(rng);
}
bool OneIn(std::mt19937& rng, uint32_t n) { return Below(rng, n) == 0; }

// ---------------------------------------------------------------------------------------
// What the process holds

struct Usage {
    DWORD handles = 0;
    SIZE_T privateBytes = 0;
    SIZE_T heapBytes = 0;
};

// Committed private memory, summed over the address space: what "private bytes" counts.
// (Wine's process memory counters leave that figure at zero.)
SIZE_T CommittedPrivateBytes()
{
    SIZE_T total = 0;
    MEMORY_BASIC_INFORMATION region;
    for (const BYTE* at = nullptr; VirtualQuery(at, &region, sizeof region) == sizeof region;) {
        if (region.State == MEM_COMMIT && region.Type == MEM_PRIVATE) total += region.RegionSize;
        const BYTE* next = static_cast<const BYTE*>(region.BaseAddress) + region.RegionSize;
        if (next <= at) break;
        at = next;
    }
    return total;
}

// Bytes in blocks allocated on the process's heaps: a leak shows here exactly, while private
// bytes also keep what the heaps hold for reuse.
SIZE_T HeapBusyBytes()
{
    HANDLE heaps[64];
    const DWORD count = std::min<DWORD>(GetProcessHeaps(64, heaps), 64);
    SIZE_T total = 0;
    for (DWORD h = 0; h < count; ++h) {
        if (!HeapLock(heaps[h])) continue;
        PROCESS_HEAP_ENTRY entry{};
        while (HeapWalk(heaps[h], &entry))
            if (entry.wFlags & PROCESS_HEAP_ENTRY_BUSY) total += entry.cbData;
        HeapUnlock(heaps[h]);
    }
    return total;
}

// The handles this process holds, from the system's handle table (Wine's process handle count
// is always zero); the process handle count where that table cannot be read.
DWORD OpenHandleCount()
{
    struct HandleEntry {
        ULONG ownerPid;
        BYTE objectType;
        BYTE flags;
        USHORT value;
        void* object;
        ULONG access;
    };
    using QuerySystemInformation = LONG(WINAPI*)(ULONG, void*, ULONG, ULONG*);
    constexpr ULONG kSystemHandleInformation = 16;
    const auto query = reinterpret_cast<QuerySystemInformation>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("ntdll.dll"), "NtQuerySystemInformation")));
    std::vector<BYTE> buffer(1 << 20);
    for (int attempt = 0; query && attempt < 6; ++attempt, buffer.resize(buffer.size() * 2)) {
        ULONG needed = 0;
        if (query(kSystemHandleInformation, buffer.data(), static_cast<ULONG>(buffer.size()), &needed) != 0) continue;
        ULONG count = 0;
        memcpy(&count, buffer.data(), sizeof count);
        const auto* entries = reinterpret_cast<const HandleEntry*>(buffer.data() + sizeof(void*));
        DWORD mine = 0;
        for (ULONG i = 0; i < count; ++i) mine += entries[i].ownerPid == GetCurrentProcessId();
        return mine;
    }
    DWORD handles = 0;
    GetProcessHandleCount(GetCurrentProcess(), &handles);
    return handles;
}

Usage MeasureUsage()
{
    return {OpenHandleCount(), CommittedPrivateBytes(), HeapBusyBytes()};
}

// A leak of a few bytes per round shows over a long run; heap growth that a warm-up does
// not reach (fragmentation, caches of the system's libraries) stays below the slack.
void ExpectNoLeak(const Usage& before, const Usage& after, unsigned long rounds)
{
    constexpr DWORD kHandleSlack = 16;
    constexpr SIZE_T kHeapSlack = 4u << 20;
    constexpr SIZE_T kPrivateSlack = 32u << 20;
    EXPECT_GT(after.handles, 0u) << "the handle count cannot be read";
    EXPECT_GT(after.privateBytes, 0u) << "private bytes cannot be read";
    EXPECT_GT(after.heapBytes, 0u) << "the heaps cannot be walked";
    EXPECT_LE(after.handles, before.handles + kHandleSlack) << "handles after " << rounds << " rounds";
    EXPECT_LE(after.heapBytes, before.heapBytes + kHeapSlack) << "heap bytes after " << rounds << " rounds";
    EXPECT_LE(after.privateBytes, before.privateBytes + kPrivateSlack) << "private bytes after " << rounds << " rounds";
    printf("[ usage    ] %lu rounds: handles %lu -> %lu, heap bytes %lu -> %lu, private bytes %lu -> %lu\n", rounds,
           static_cast<unsigned long>(before.handles), static_cast<unsigned long>(after.handles),
           static_cast<unsigned long>(before.heapBytes), static_cast<unsigned long>(after.heapBytes),
           static_cast<unsigned long>(before.privateBytes), static_cast<unsigned long>(after.privateBytes));
}

// ---------------------------------------------------------------------------------------
// The control as a host holds it

class CHostedControl {
public:
    CHostedControl()
    {
        ctl = new CTarvelCtrl;
        ctl->QueryInterface(IID_IDispatch, reinterpret_cast<void**>(&disp));
        IConnectionPointContainer* cpc = nullptr;
        ctl->QueryInterface(IID_IConnectionPointContainer, reinterpret_cast<void**>(&cpc));
        cpc->FindConnectionPoint(DIID__DTarvelEvents, &cp);
        cpc->Release();
        sink = new CTestEventSink(DIID__DTarvelEvents);
        cp->Advise(static_cast<IDispatch*>(sink), &cookie);
    }
    ~CHostedControl()
    {
        cp->Unadvise(cookie);
        cp->Release();
        sink->Release();
        disp->Release();
        ctl->Release();
    }
    CHostedControl(const CHostedControl&) = delete;
    CHostedControl& operator=(const CHostedControl&) = delete;

    HRESULT Put(DISPID id, CVariant value)
    {
        DISPID named = DISPID_PROPERTYPUT;
        DISPPARAMS params{&value, &named, 1, 1};
        return disp->Invoke(id, IID_NULL, 0, DISPATCH_PROPERTYPUT, &params, nullptr, nullptr, nullptr);
    }
    // Send through automation, as a host calls it; the result code, or -1 when the call failed.
    long Send(VARIANT* arg)
    {
        DISPPARAMS args{arg, nullptr, 1, 0};
        CVariant result;
        const HRESULT hr =
            disp->Invoke(DISPID_TARVEL_SEND, IID_NULL, 0, DISPATCH_METHOD, &args, &result, nullptr, nullptr);
        return SUCCEEDED(hr) && V_VT(&result) == VT_I4 ? V_I4(&result) : -1;
    }
    // Takes what Send queued while no port is open (nothing drains it then).
    size_t DrainQueue()
    {
        size_t bytes = 0;
        while (auto record = ctl->Worker().txQueue.TakeHead()) bytes += record->length;
        return bytes;
    }
    int CountEvents(int kind) const
    {
        int n = 0;
        for (const auto& c : sink->calls) n += c.args.size() == 2 && V_I2(&c.args[0]) == kind;
        return n;
    }
    std::string ReceivedBytes() const
    {
        std::string all;
        for (const auto& c : sink->calls) {
            if (c.args.size() != 2 || V_I2(&c.args[0]) != EVT_DATA || V_VT(&c.args[1]) != (VT_ARRAY | VT_UI1)) continue;
            CSafeArrayLock data(V_ARRAY(&c.args[1]));
            LONG lower = 0, upper = -1;
            SafeArrayGetLBound(V_ARRAY(&c.args[1]), 1, &lower);
            SafeArrayGetUBound(V_ARRAY(&c.args[1]), 1, &upper);
            if (data.Ok()) all.append(data.As<char>(), static_cast<size_t>(upper - lower + 1));
        }
        return all;
    }

    CTarvelCtrl* ctl = nullptr;
    IDispatch* disp = nullptr;
    IConnectionPoint* cp = nullptr;
    CTestEventSink* sink = nullptr;
    DWORD cookie = 0;
};

// A real round on a virtual pair: open, a peer's bytes arrive as EVT_DATA, Send's bytes reach
// the peer, close.
void ExpectStillWorks(CHostedControl& host)
{
    CNullModemPair pair;
    ASSERT_TRUE(pair.Lease()) << "the virtual null-modem test bed is not running";
    CFarEnd peer(pair.PortB());
    ASSERT_TRUE(peer.IsOpen());
    host.Put(DISPID_TARVEL_CONNECTED, CVariant(false));
    // Fresh settings, as a host starts a new control: whatever was loaded before may be line
    // settings the driver refuses.
    CComRef<IPersistStreamInit> persist;
    ASSERT_EQ(host.ctl->QueryInterface(IID_IPersistStreamInit, persist.PutVoid()), S_OK);
    ASSERT_EQ(persist->InitNew(), S_OK);
    PumpFor(20);
    host.DrainQueue();
    host.sink->calls.clear();
    host.Put(DISPID_TARVEL_DATAMODE, CVariant(0L));
    host.Put(DISPID_TARVEL_RECVSIZETHRESHOLD, CVariant(1L));
    host.Put(DISPID_TARVEL_PORT, CVariant(static_cast<long>(pair.PortA())));
    host.Put(DISPID_TARVEL_CONNECTED, CVariant(true));
    ASSERT_TRUE(host.ctl->GetConnectedProp()) << "Error " << host.ctl->settings.Error;
    ASSERT_TRUE(PumpUntil([&] { return host.CountEvents(EVT_CONNECT) == 1; }));

    ASSERT_TRUE(peer.Write("ping"));
    EXPECT_TRUE(PumpUntil([&] { return host.ReceivedBytes().size() >= 4; }));
    EXPECT_EQ(host.ReceivedBytes(), "ping");
    CVariant pong(L"pong");
    EXPECT_EQ(host.Send(&pong), 0);
    const std::vector<BYTE> echoed = peer.Read(4);
    EXPECT_EQ(std::string(echoed.begin(), echoed.end()), "pong");
    host.Put(DISPID_TARVEL_CONNECTED, CVariant(false));
    EXPECT_TRUE(PumpUntil([&] { return host.CountEvents(EVT_DISCONNECT) == 1; }));
}

// ---------------------------------------------------------------------------------------
// Random automation values for Send

// Types whose value holds no pointer: any bit pattern is a valid value.
bool IsPlainValueType(VARTYPE vt)
{
    switch (vt) {
    case VT_I1: case VT_UI1: case VT_I2: case VT_UI2: case VT_I4: case VT_UI4: case VT_I8: case VT_UI8:
    case VT_INT: case VT_UINT: case VT_R4: case VT_R8: case VT_CY: case VT_DATE: case VT_BOOL:
    case VT_ERROR: case VT_HRESULT:
        return true;
    default:
        return false;
    }
}

// Makes one random argument at a time and owns everything it refers to until Reset. Values
// put into arrays and script arrays own what they hold; shared parts, cycles and hand-made
// array descriptors are reached only through by-reference forms or through descriptors
// nobody destroys, so that every part is freed exactly once.
class CTreeMaker {
public:
    explicit CTreeMaker(std::mt19937& rng) : rng_(rng) { VariantInit(&top_); }
    ~CTreeMaker() { Reset(); }
    CTreeMaker(const CTreeMaker&) = delete;
    CTreeMaker& operator=(const CTreeMaker&) = delete;

    // A random argument, valid until Reset; the caller must not clear it.
    VARIANT* Make()
    {
        Reset();
        budget_ = OneIn(100) ? 3000 : 1 + Below(60);
        if (OneIn(30)) {
            NestedChain(Below(kMaxDepth + 8));
            topOwned_ = true;
        } else if (OneIn(12)) {
            top_ = OddArray(0)->raw;  // a hand-made descriptor passed by value
            topOwned_ = false;
        } else if (OneIn(5000)) {
            // Shared all the way down only now and then: that one costs Send its whole budget.
            SharedChain(OneIn(20) ? kSendMaxDepth - 1 : static_cast<int>(Below(16)));
            topOwned_ = false;
        } else {
            Fill(top_, 0);
            topOwned_ = true;
        }
        return &top_;
    }

    void Reset()
    {
        if (topOwned_) VariantClear(&top_);
        VariantInit(&top_);
        topOwned_ = false;
        for (auto& script : scripts_) script->Clear();  // members may refer to their own array
        scripts_.clear();
        held_.clear();
        cells_.clear();
        odd_.clear();
    }

private:
    static constexpr int kMaxDepth = 36;  // a little beyond what Send follows

    struct Cell {
        alignas(16) BYTE bytes[32];
    };
    // A descriptor built by hand: the 16 bytes before it are readable, as in the system's own
    // (where the element type or interface is kept), and room for three dimensions.
    struct CHandMadeArray {
        alignas(16) BYTE prefix[16];
        SAFEARRAY sa;
        SAFEARRAYBOUND more[2];
        std::vector<VARIANT> variants;  // elements when they are VARIANTs (never cleared)
        std::vector<BYTE> bytes;        // other elements
        SAFEARRAY* slot = nullptr;      // for VT_BYREF|VT_ARRAY
        VARIANT raw;                    // VT_ARRAY by value; never cleared
    };

    uint32_t Below(uint32_t n) { return ::Below(rng_, n); }
    bool OneIn(uint32_t n) { return ::OneIn(rng_, n); }
    uint64_t Bits() { return (static_cast<uint64_t>(rng_()) << 32) | rng_(); }

    VARTYPE AnyType()
    {
        if (OneIn(20)) return static_cast<VARTYPE>(Below(0x1000));  // mostly not a type at all
        static const VARTYPE common[] = {VT_UI1, VT_I2, VT_I4, VT_BSTR, VT_DISPATCH, VT_VARIANT, VT_R8, VT_BOOL};
        if (OneIn(2)) return common[Below(sizeof common / sizeof common[0])];
        return static_cast<VARTYPE>(Below(VT_VERSIONED_STREAM + 1));
    }

    BSTR RandomString()
    {
        // Long ones in a few lengths only: the system keeps a few freed strings of each size
        // for reuse, and strings of every length would fill that store with tens of megabytes
        // that look like a leak.
        static const UINT kLong[] = {255, 4096, 20000};
        const UINT length = OneIn(50) ? kLong[Below(3)] : Below(40);
        std::wstring text(length, L' ');
        const uint32_t kind = Below(4);
        for (auto& c : text) {
            if (kind == 0) c = static_cast<wchar_t>(0x20 + Below(0x5F));
            else if (kind == 1) c = static_cast<wchar_t>(Below(0x10000));  // lone surrogates too
            else if (kind == 2) c = static_cast<wchar_t>(Below(0x100));
            else c = static_cast<wchar_t>(OneIn(4) ? 0 : 0x400 + Below(0x100));
        }
        return SysAllocStringLen(text.data(), length);
    }

    CTestArray* Script(int depth)
    {
        auto script = CTestArray::Create();
        CTestArray* raw = script.Get();
        scripts_.push_back(script);
        const uint32_t count = OneIn(30) ? Below(3000) : Below(6);
        for (uint32_t i = 0; i < count; ++i) {
            if (OneIn(10) && !scripts_.empty()) {  // itself, or another one made before
                raw->AddObject(scripts_[Below(static_cast<uint32_t>(scripts_.size()))].Get());
            } else if (depth + 1 < kMaxDepth && OneIn(i < 64 ? 2 : 50)) {
                CVariant member;
                Fill(member, depth + 1);
                raw->Add(member);
            } else {
                raw->AddInt(static_cast<long>(Bits()));
            }
        }
        if (count && OneIn(15)) raw->FailFetchOf(Below(count));
        return raw;
    }

    // An owned value: VariantClear frees exactly what it holds.
    void Fill(VARIANT& v, int depth)
    {
        VariantInit(&v);
        // Compound values only while the budget lasts: each holds several more on average,
        // and without a bound the trees would grow without end.
        const bool compound = depth < kMaxDepth && budget_ > 0;
        if (compound) --budget_;
        const uint32_t pick = compound ? Below(10) : 0;
        if (pick <= 3) Scalar(v, depth);
        else if (pick <= 6) Array(v, depth);
        else if (pick <= 8) ByRef(v, depth);
        else {
            V_VT(&v) = VT_DISPATCH;
            V_DISPATCH(&v) = Script(depth);
            V_DISPATCH(&v)->AddRef();
        }
    }

    void Scalar(VARIANT& v, int depth)
    {
        VARTYPE vt = AnyType();
        if (vt == VT_RECORD) vt = VT_EMPTY;  // a record value needs its record information
        if (vt == VT_DECIMAL) {
            const uint64_t low = Bits(), high = Bits();
            memcpy(&V_DECIMAL(&v), &low, sizeof low);
            memcpy(reinterpret_cast<BYTE*>(&V_DECIMAL(&v)) + 8, &high, sizeof high);
            V_VT(&v) = VT_DECIMAL;
            return;
        }
        V_VT(&v) = vt;
        if (IsPlainValueType(vt)) {
            V_UI8(&v) = Bits();
        } else if (vt == VT_BSTR) {
            V_BSTR(&v) = OneIn(20) ? nullptr : RandomString();
        } else if (vt == VT_DISPATCH || vt == VT_UNKNOWN) {
            IDispatch* object = OneIn(5) ? nullptr : OneIn(4) ? static_cast<IDispatch*>(&plain_) : Script(depth);
            if (object) object->AddRef();
            V_DISPATCH(&v) = object;
        }
        // Every other type keeps a zero value: nothing to free, nothing to follow.
    }

    // A fresh value kept by the maker, for by-reference forms to point at.
    VARIANT& Held(int depth)
    {
        VARIANT& value = held_.emplace_back();
        if (depth < kMaxDepth) Fill(value, depth + 1);
        return value;
    }

    void ByRef(VARIANT& v, int depth)
    {
        VARTYPE base = AnyType() & VT_TYPEMASK;
        if (OneIn(3)) base = VT_VARIANT;
        else if (OneIn(4)) base = VT_ARRAY | (OneIn(2) ? VT_UI1 : OneIn(2) ? VT_VARIANT : VT_I1);
        V_VT(&v) = static_cast<VARTYPE>(VT_BYREF | base);
        if (OneIn(25)) {
            V_BYREF(&v) = nullptr;
            return;
        }
        if (base == VT_VARIANT) {
            // Something made before (perhaps an array holding this very value) or a new value.
            if (!held_.empty() && OneIn(3)) V_VARIANTREF(&v) = &held_[Below(static_cast<uint32_t>(held_.size()))];
            else if (!odd_.empty() && OneIn(4)) V_VARIANTREF(&v) = &odd_[Below(static_cast<uint32_t>(odd_.size()))].raw;
            else V_VARIANTREF(&v) = &Held(depth);
        } else if (base & VT_ARRAY) {
            if (OneIn(2)) {
                V_ARRAYREF(&v) = &OddArray(depth)->slot;
            } else {
                VARIANT& array = held_.emplace_back();
                Array(array, depth + 1);
                V_ARRAYREF(&v) = V_ISARRAY(&array) ? &V_ARRAY(&array) : nullptr;
            }
        } else if (base == VT_BSTR) {
            VARIANT& text = held_.emplace_back();
            V_VT(&text) = VT_BSTR;
            V_BSTR(&text) = RandomString();
            V_BSTRREF(&v) = &V_BSTR(&text);
        } else if (base == VT_DISPATCH || base == VT_UNKNOWN) {
            VARIANT& object = held_.emplace_back();
            V_VT(&object) = VT_DISPATCH;
            V_DISPATCH(&object) = Script(depth);
            V_DISPATCH(&object)->AddRef();
            V_DISPATCHREF(&v) = &V_DISPATCH(&object);
        } else {
            cells_.emplace_back();
            const uint64_t a = Bits(), b = Bits();
            memcpy(cells_.back().bytes, &a, 8);
            memcpy(cells_.back().bytes + 8, &b, 8);
            memset(cells_.back().bytes + 16, 0, 16);
            V_BYREF(&v) = cells_.back().bytes;
        }
    }

    // A system-made array, owned by v; the type v claims may differ from the array's own.
    void Array(VARIANT& v, int depth)
    {
        static const VARTYPE types[] = {VT_UI1, VT_UI1, VT_VARIANT, VT_VARIANT, VT_I1, VT_I2, VT_I4,
                                        VT_R8, VT_BSTR, VT_DISPATCH, VT_UNKNOWN, VT_BOOL, VT_DECIMAL,
                                        VT_CY, VT_I8, VT_ERROR};
        const VARTYPE own = types[Below(sizeof types / sizeof types[0])];
        const UINT dims = OneIn(8) ? 2 + Below(2) : 1;
        SAFEARRAYBOUND bounds[3];
        ULONG total = 1;
        for (UINT d = 0; d < dims; ++d) {
            ULONG count = OneIn(6) ? 0 : OneIn(20) ? Below(own == VT_UI1 ? 70000 : 3000) : Below(8);
            if (total * static_cast<unsigned long long>(count) > 100000) count = 1;
            total *= count;
            bounds[d].cElements = count;
            const uint32_t lower = Below(6);
            bounds[d].lLbound = lower == 0 ? 0 : lower == 1 ? 1 : lower == 2 ? -static_cast<LONG>(Below(100))
                              : lower == 3 ? LONG_MAX - static_cast<LONG>(Below(100)) : lower == 4 ? LONG_MIN
                                                                                    : static_cast<LONG>(rng_());
        }
        SAFEARRAY* sa = SafeArrayCreate(own, dims, bounds);
        if (!sa) return;  // leaves v empty
        void* data = nullptr;
        if (total && SUCCEEDED(SafeArrayAccessData(sa, &data))) {
            if (own == VT_VARIANT) {
                auto* elements = static_cast<VARIANT*>(data);
                for (ULONG i = 0; i < total; ++i) {
                    if (i < 48 || OneIn(64)) Fill(elements[i], depth + 1);
                    else {
                        V_VT(&elements[i]) = VT_I4;
                        V_I4(&elements[i]) = static_cast<LONG>(rng_());
                    }
                }
            } else if (own == VT_BSTR) {
                for (ULONG i = 0; i < total && i < 64; ++i) static_cast<BSTR*>(data)[i] = RandomString();
            } else if (own == VT_DISPATCH || own == VT_UNKNOWN) {
                for (ULONG i = 0; i < total && i < 16; ++i) {
                    IDispatch* object = OneIn(3) ? nullptr : Script(depth + 1);
                    if (object) object->AddRef();
                    static_cast<IDispatch**>(data)[i] = object;
                }
            } else {
                auto* bytes = static_cast<BYTE*>(data);
                const size_t size = static_cast<size_t>(total) * SafeArrayGetElemsize(sa);
                for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<BYTE>(rng_());
            }
            SafeArrayUnaccessData(sa);
        }
        VARTYPE claimed = own;
        // A claim that differs from the array: other sizes, and 16-byte numbers (random bits)
        // under a VARIANT label.
        if (OneIn(8)) claimed = OneIn(2) ? VT_UI1 : OneIn(2) ? VT_I1 : VT_I4;
        else if (OneIn(20)) claimed = VT_VARIANT;
        V_VT(&v) = static_cast<VARTYPE>(VT_ARRAY | claimed);
        V_ARRAY(&v) = sa;
    }

    // A descriptor with odd fields: no data behind non-zero bounds, dimensions 0 to 3, any
    // features, locks at their limit, bounds that overflow, element sizes that fit no type.
    // Never destroyed by the system; elements never own anything.
    CHandMadeArray* OddArray(int depth)
    {
        odd_.emplace_back();
        CHandMadeArray& a = odd_.back();
        const uint64_t prefix[2] = {Bits(), Bits()};
        memcpy(a.prefix, prefix, sizeof prefix);
        SAFEARRAY& sa = a.sa;
        memset(&sa, 0, sizeof sa);
        memset(a.more, 0, sizeof a.more);
        const bool variants = OneIn(2);
        sa.cDims = static_cast<USHORT>(OneIn(10) ? Below(4) : 1);
        sa.fFeatures = static_cast<USHORT>(OneIn(4) ? rng_() : variants ? FADF_VARIANT | FADF_HAVEVARTYPE : FADF_HAVEVARTYPE);
        // FADF_RECORD and FADF_HAVEIID say what the prefix holds; nothing here ever follows it.
        sa.cbElements = variants ? sizeof(VARIANT) : OneIn(5) ? Below(40) : 1;
        if (variants && !OneIn(8)) {  // the element type where FADF_HAVEVARTYPE says it is
            const DWORD type = VT_VARIANT;
            memcpy(a.prefix + 12, &type, sizeof type);
        }
        sa.cLocks = OneIn(8) ? 0xFFFF : OneIn(8) ? Below(0x10000) : 0;
        SAFEARRAYBOUND* bounds = sa.rgsabound;  // reversed order, as the system keeps them
        unsigned long long total = sa.cDims ? 1 : 0;
        for (USHORT d = 0; d < sa.cDims; ++d) {
            bounds[d].cElements = OneIn(10) ? rng_() : Below(40);
            bounds[d].lLbound = OneIn(3) ? static_cast<LONG>(rng_()) : static_cast<LONG>(Below(3));
            const unsigned long long count = bounds[d].cElements, limit = 1ull << 40;
            total = count && total > limit / count ? limit : total * count;
        }
        const bool withData = total * sa.cbElements <= 64 * 1024 && !OneIn(6);
        if (withData && sa.cbElements == sizeof(VARIANT)) {
            a.variants.resize(static_cast<size_t>(total));
            for (auto& element : a.variants) {
                VariantInit(&element);
                const uint32_t pick = Below(6);
                if (pick == 0) {  // the array itself, by value
                    V_VT(&element) = VT_ARRAY | VT_VARIANT;
                    V_ARRAY(&element) = &a.sa;
                } else if (pick == 1 && !held_.empty()) {
                    V_VT(&element) = VT_BYREF | VT_VARIANT;
                    V_VARIANTREF(&element) = &held_[Below(static_cast<uint32_t>(held_.size()))];
                } else if (pick == 2 && depth < kMaxDepth) {
                    V_VT(&element) = VT_BYREF | VT_VARIANT;
                    V_VARIANTREF(&element) = &Held(depth);
                } else {
                    const auto vt = static_cast<VARTYPE>(pick + 1);
                    V_VT(&element) = IsPlainValueType(vt) ? vt : static_cast<VARTYPE>(VT_UI1);
                    V_UI8(&element) = Bits();
                }
            }
            sa.pvData = a.variants.data();
        } else if (withData) {
            a.bytes.resize(static_cast<size_t>(total * sa.cbElements));
            for (auto& b : a.bytes) b = static_cast<BYTE>(rng_());
            sa.pvData = a.bytes.empty() ? nullptr : a.bytes.data();
        }
        a.slot = &a.sa;
        VariantInit(&a.raw);
        V_VT(&a.raw) = static_cast<VARTYPE>(VT_ARRAY | (variants ? VT_VARIANT : OneIn(2) ? VT_UI1 : VT_I1));
        V_ARRAY(&a.raw) = &a.sa;
        return &a;
    }

    // [[[...[x]...]]] levels deep, by value: script arrays or arrays of VARIANT.
    void NestedChain(int levels)
    {
        CVariant value;
        Scalar(value, kMaxDepth);
        for (int level = 0; level < levels; ++level) {
            CVariant outer;
            if (OneIn(2)) {
                auto script = CTestArray::Create();
                script->Add(value);
                scripts_.push_back(script);
                V_VT(&outer) = VT_DISPATCH;
                V_DISPATCH(&outer) = script.Get();
                script->AddRef();
            } else {
                SAFEARRAY* sa = SafeArrayCreateVector(VT_VARIANT, OneIn(2) ? 0 : -3, 1);
                if (!sa) break;
                value.Detach(static_cast<VARIANT*>(sa->pvData));
                V_VT(&outer) = VT_ARRAY | VT_VARIANT;
                V_ARRAY(&outer) = sa;
            }
            value = std::move(outer);
        }
        value.Detach(&top_);
    }

    // a[0] = [a[1], a[1]], a[1] = [a[2], a[2]], ...: 2^levels visits unless Send bounds them.
    void SharedChain(int levels)
    {
        held_.emplace_back();
        V_VT(&held_.back()) = VT_I4;
        for (int level = 0; level < levels; ++level) {
            VARIANT* below = &held_.back();
            SAFEARRAY* sa = SafeArrayCreateVector(VT_VARIANT, 0, 2);
            if (!sa) return;
            auto* elements = static_cast<VARIANT*>(sa->pvData);
            for (int i = 0; i < 2; ++i) {
                V_VT(&elements[i]) = VT_BYREF | VT_VARIANT;
                V_VARIANTREF(&elements[i]) = below;
            }
            held_.emplace_back();
            V_VT(&held_.back()) = VT_ARRAY | VT_VARIANT;
            V_ARRAY(&held_.back()) = sa;
        }
        top_ = held_.back();
    }

    std::mt19937& rng_;
    VARIANT top_;
    bool topOwned_ = false;
    int budget_ = 0;
    CPlainDispatch plain_;
    std::vector<CComRef<CTestArray>> scripts_;
    std::deque<CVariant> held_;
    std::deque<Cell> cells_;
    std::deque<CHandMadeArray> odd_;
};

TEST(ControlFuzz, SendTakesRandomValues)
{
    std::mt19937 rng = SeededGenerator("Send");
    CHostedControl host;
    unsigned long results[4] = {};
    unsigned long long bytes = 0;
    Usage before;
    const unsigned long warmUp = std::min(Plan().sends / 10, 2000ul);
    const DWORD start = GetTickCount();
    {
        CTreeMaker maker(rng);
        for (unsigned long round = 0; round < Plan().sends; ++round) {
            if (round == warmUp) before = MeasureUsage();
            const long result = host.Send(maker.Make());
            ASSERT_TRUE(result == 0 || result == 2 || result == 3) << "round " << round << ": " << result;
            const size_t queued = host.DrainQueue();
            if (result == 3) {
                ASSERT_EQ(queued, 0u) << "round " << round << ": a refused array went out in part";
            }
            ++results[result];
            bytes += queued;
        }
    }
    ExpectNoLeak(before, MeasureUsage(), Plan().sends - warmUp);
    printf("[ counts   ] %lu Send calls in %lu ms: %lu accepted, %lu refused, %lu multi-dimensional; %llu bytes\n",
           Plan().sends, GetTickCount() - start, results[0], results[2], results[3], bytes);
    ExpectStillWorks(host);
}

// ---------------------------------------------------------------------------------------
// Loads

struct SettingsView {
    int32_t values[12];
    bool operator==(const SettingsView& o) const { return memcmp(values, o.values, sizeof values) == 0; }
};

SettingsView ViewOf(const PortSettings& s)
{
    return {{s.Port, s.BaudRate, s.DataBits, s.Parity, s.StopBits, s.ConnectWanted, s.PortOpen, s.DataMode,
             s.NullSubst, s.RecvIntervalTimeout, s.RecvSizeThreshold, s.Error}};
}

const char16_t* const kStoredNames[] = {u"_Version", u"_ExtentX", u"_ExtentY", u"Port", u"DataRate", u"DataBits",
                                        u"Parity", u"StopBits", u"Connected", u"DataMode", u"NullSubst",
                                        u"RecvIntervalTimeout", u"RecvSizeThreshold", u"DTR", u"RTS"};
constexpr uint32_t kStoredNameCount = sizeof kStoredNames / sizeof kStoredNames[0];

std::vector<uint8_t> Mutated(std::mt19937& rng, std::vector<uint8_t> bytes)
{
    const uint32_t edits = 1 + Below(rng, 6);
    for (uint32_t e = 0; e < edits; ++e) {
        const size_t size = bytes.size();
        switch (Below(rng, 6)) {
        case 0:
            if (size) bytes[Below(rng, static_cast<uint32_t>(size))] ^= static_cast<uint8_t>(1u << Below(rng, 8));
            break;
        case 1:
            if (size) bytes[Below(rng, static_cast<uint32_t>(size))] = static_cast<uint8_t>(rng());
            break;
        case 2:
            bytes.resize(Below(rng, static_cast<uint32_t>(size) + 1));
            break;
        case 3:
            for (uint32_t i = Below(rng, 64); i > 0; --i) bytes.insert(bytes.begin() + Below(rng, static_cast<uint32_t>(bytes.size()) + 1), static_cast<uint8_t>(rng()));
            break;
        case 4:
            if (size >= 4) {  // a length or count field set to an extreme
                const uint32_t at = Below(rng, static_cast<uint32_t>(size - 3));
                const uint32_t extreme[] = {0, 1, 0x7FFFFFFF, 0xFFFFFFFF, 0x10000, static_cast<uint32_t>(size)};
                memcpy(&bytes[at], &extreme[Below(rng, 6)], 4);
            }
            break;
        default:
            if (size > 8) {  // a stretch repeated
                const uint32_t from = Below(rng, static_cast<uint32_t>(size));
                const uint32_t length = Below(rng, static_cast<uint32_t>(size - from) + 1);
                std::vector<uint8_t> part(bytes.begin() + from, bytes.begin() + from + length);
                bytes.insert(bytes.begin() + Below(rng, static_cast<uint32_t>(size) + 1), part.begin(), part.end());
            }
            break;
        }
    }
    return bytes;
}

std::u16string RandomName(std::mt19937& rng)
{
    if (!OneIn(rng, 4)) return kStoredNames[Below(rng, kStoredNameCount)];
    std::u16string name(Below(rng, 300), u'a');
    for (auto& c : name) c = static_cast<char16_t>(OneIn(rng, 2) ? 0x20 + Below(rng, 0x5F) : Below(rng, 0x10000));
    return name;
}

// A well-formed blob with random entries: names mostly the control's own, values of any
// stored type with any content.
std::vector<uint8_t> RandomBlob(std::mt19937& rng)
{
    fwpersist::CPropertyBlob blob;
    if (!OneIn(rng, 5)) blob.Set(u"_Version", fwpersist::Value::UInt32(OneIn(rng, 2) ? kTarvelPropVersion : rng()));
    for (uint32_t i = Below(rng, 20); i > 0; --i) {
        const std::u16string name = RandomName(rng);
        const int32_t number = OneIn(rng, 2) ? static_cast<int32_t>(Below(rng, 300)) - 20 : static_cast<int32_t>(rng());
        switch (Below(rng, 5)) {
        case 0: blob.Set(name, fwpersist::Value::Int16(static_cast<int16_t>(number))); break;
        case 1: blob.Set(name, fwpersist::Value::Int32(number)); break;
        case 2: blob.Set(name, fwpersist::Value::UInt32(static_cast<uint32_t>(number))); break;
        case 3: blob.Set(name, fwpersist::Value::Bool(OneIn(rng, 2))); break;
        default: blob.Set(name, fwpersist::Value::String(RandomName(rng))); break;
        }
    }
    return blob.Serialise();
}

// The test bed's pool belongs to tests that may run beside this one: a load must not open
// one of its ports.
bool IsTestBedPort(long port) { return IsPoolCom(port); }

// Whether the control, loading these bytes, would connect to a test-bed port. Read as the
// control reads: the header, then exactly the payload it announces.
bool WouldOpenATestBedPort(const std::vector<uint8_t>& bytes)
{
    uint32_t length = 0;
    uint16_t count = 0;
    if (fwpersist::CPropertyBlob::ParseHeader(bytes.data(), bytes.size(), length, count) != fwpersist::ParseStatus::Ok ||
        bytes.size() - fwpersist::kHeaderSize < length)
        return false;
    fwpersist::CPropertyBlob blob;
    if (blob.ParsePayload(bytes.data() + fwpersist::kHeaderSize, length, count) != fwpersist::ParseStatus::Ok)
        return false;
    const fwpersist::Value* connected = blob.Find(u"Connected");
    const fwpersist::Value* port = blob.Find(u"Port");
    if (!connected || !port || (connected->type != fwpersist::ValueType::String && connected->number == 0)) return false;
    if (port->type != fwpersist::ValueType::String) return IsTestBedPort(static_cast<long>(port->number));
    return true;  // text that may read as a number: leave it out
}

CComRef<IStream> StreamOf(const std::vector<uint8_t>& bytes)
{
    CComRef<IStream> stream;
    CreateStreamOnHGlobal(nullptr, TRUE, stream.Put());
    if (!bytes.empty()) stream->Write(bytes.data(), static_cast<ULONG>(bytes.size()), nullptr);
    LARGE_INTEGER zero{};
    stream->Seek(zero, STREAM_SEEK_SET, nullptr);
    return stream;
}

// A storage on memory holding `contents` under the control's stream name (or under another
// name, or as a sub-storage of that name), with stray elements beside it.
CComRef<IStorage> StorageOf(std::mt19937& rng, const std::vector<uint8_t>& contents)
{
    CComRef<ILockBytes> bytes;
    CComRef<IStorage> storage;
    if (FAILED(CreateILockBytesOnHGlobal(nullptr, TRUE, bytes.Put())) ||
        FAILED(StgCreateDocfileOnILockBytes(bytes.Get(), STGM_CREATE | STGM_READWRITE | STGM_SHARE_EXCLUSIVE, 0,
                                            storage.Put())))
        return storage;
    const DWORD mode = STGM_CREATE | STGM_WRITE | STGM_SHARE_EXCLUSIVE;
    const uint32_t shape = Below(rng, 8);
    CComRef<IStream> stream;
    if (shape == 0) {
        CComRef<IStorage> inner;
        storage->CreateStorage(L"Contents", mode, 0, 0, inner.Put());
    } else if (SUCCEEDED(storage->CreateStream(shape == 1 ? L"Content" : L"Contents", mode, 0, 0, stream.Put())) &&
               !contents.empty()) {
        stream->Write(contents.data(), static_cast<ULONG>(contents.size()), nullptr);
    }
    if (OneIn(rng, 3)) {
        CComRef<IStream> stray;
        if (SUCCEEDED(storage->CreateStream(L"\x01" L"CompObj", mode, 0, 0, stray.Put()))) stray->Write("xx", 2, nullptr);
    }
    storage->Commit(STGC_DEFAULT);
    return storage;
}

// A property bag as an HTML page or a form fills it: text mostly, any type sometimes.
CTestPropertyBag* RandomBag(std::mt19937& rng)
{
    auto* bag = new CTestPropertyBag;
    for (uint32_t i = Below(rng, 16); i > 0; --i) {
        const std::u16string name16 = RandomName(rng);
        std::wstring name(name16.begin(), name16.end());
        if (OneIn(rng, 4)) CharUpperBuffW(&name[0], static_cast<DWORD>(name.size()));
        CVariant value;
        switch (Below(rng, 8)) {
        case 0: value = CVariant(std::to_wstring(static_cast<int32_t>(rng())).c_str()); break;
        case 1: value = CVariant(static_cast<long>(Below(rng, 300)) - 20); break;
        case 2: value = CVariant(static_cast<short>(rng())); break;
        case 3: value = CVariant(OneIn(rng, 2)); break;
        case 4: value = CVariant(static_cast<double>(static_cast<int32_t>(rng())) / 7.0); break;
        case 5: V_VT(&value) = OneIn(rng, 2) ? VT_NULL : VT_EMPTY; break;
        case 6: {
            const std::u16string text = RandomName(rng);
            value = CVariant(std::wstring(text.begin(), text.end()).c_str());
            break;
        }
        default: value = CVariant(std::to_wstring(Below(rng, 1000)).c_str()); break;
        }
        bag->values[CTestPropertyBag::Key(name.c_str())] = value;
    }
    auto port = bag->values.find(L"port");
    if (port != bag->values.end()) {
        CVariant number;
        if (SUCCEEDED(number.CopyAs(port->second, VT_I4)) && IsTestBedPort(V_I4(&number))) port->second = CVariant(L"3");
    }
    return bag;
}

TEST(ControlFuzz, LoadsTakeRandomAndDamagedData)
{
    std::mt19937 rng = SeededGenerator("Loads");
    CHostedControl host;
    CComRef<IPersistStreamInit> streams;
    CComRef<IPersistStorage> storages;
    CComRef<IPersistPropertyBag> bags;
    ASSERT_EQ(host.ctl->QueryInterface(IID_IPersistStreamInit, streams.PutVoid()), S_OK);
    ASSERT_EQ(host.ctl->QueryInterface(IID_IPersistStorage, storages.PutVoid()), S_OK);
    ASSERT_EQ(host.ctl->QueryInterface(IID_IPersistPropertyBag, bags.PutVoid()), S_OK);

    // What a real control saves: the starting point of the damaged streams.
    std::vector<uint8_t> saved;
    {
        host.Put(DISPID_TARVEL_BAUDRATE, CVariant(19200L));
        host.Put(DISPID_TARVEL_NULLSUBST, CVariant(7L));
        CComRef<IStream> stream = StreamOf({});
        ASSERT_EQ(streams->Save(stream.Get(), FALSE), S_OK);
        STATSTG stat{};
        stream->Stat(&stat, STATFLAG_NONAME);
        saved.resize(stat.cbSize.LowPart);
        LARGE_INTEGER zero{};
        stream->Seek(zero, STREAM_SEEK_SET, nullptr);
        stream->Read(saved.data(), static_cast<ULONG>(saved.size()), nullptr);
    }

    unsigned long loaded = 0, refused = 0, skipped = 0;
    Usage before;
    const unsigned long warmUp = std::min(Plan().loads / 10, 200ul);
    for (unsigned long round = 0; round < Plan().loads; ++round) {
        if (round == warmUp) before = MeasureUsage();
        const uint32_t source = Below(rng, 10);
        std::vector<uint8_t> bytes = source < 4   ? Mutated(rng, saved)
                                     : source < 7 ? (OneIn(rng, 2) ? RandomBlob(rng) : Mutated(rng, RandomBlob(rng)))
                                                  : std::vector<uint8_t>();
        if (source == 7) {  // noise
            bytes.resize(Below(rng, 200));
            for (auto& b : bytes) b = static_cast<uint8_t>(rng());
        }
        if (source == 9) bytes = OneIn(rng, 2) ? Mutated(rng, saved) : RandomBlob(rng);
        if (WouldOpenATestBedPort(bytes)) {
            ++skipped;
            continue;
        }
        const SettingsView was = ViewOf(host.ctl->settings);
        HRESULT hr;
        if (source == 8) {
            CTestPropertyBag* bag = RandomBag(rng);
            hr = bags->Load(bag, nullptr);
            bag->Release();
        } else if (source == 9) {
            hr = storages->Load(StorageOf(rng, bytes).Get());
        } else {
            hr = streams->Load(StreamOf(bytes).Get());
        }
        if (FAILED(hr)) {
            ++refused;
            ASSERT_TRUE(ViewOf(host.ctl->settings) == was) << "round " << round << ": a failed load changed settings";
        } else {
            ++loaded;
        }
        // A load that asked for a connection made one (any port, mostly absent): close it so
        // that the next round starts closed, and take the notifications.
        if (host.ctl->GetConnectedProp() || host.ctl->settings.ConnectWanted) host.Put(DISPID_TARVEL_CONNECTED, CVariant(false));
        if (round % 64 == 0) {
            PumpFor(0);
            host.sink->calls.clear();
        }
    }
    PumpFor(20);
    host.sink->calls.clear();
    EXPECT_EQ(bags->Load(nullptr, nullptr), E_POINTER);
    EXPECT_EQ(storages->Load(nullptr), E_POINTER);
    ExpectNoLeak(before, MeasureUsage(), Plan().loads - warmUp);
    printf("[ counts   ] %lu loads: %lu taken, %lu refused, %lu left out (a test-bed port)\n", Plan().loads, loaded,
           refused, skipped);
    EXPECT_GT(loaded, 0u);
    EXPECT_GT(refused, 0u);
    ExpectStillWorks(host);
}

// ---------------------------------------------------------------------------------------
// Messages from elsewhere

// Bytes placed so that their last one is the last readable byte before a no-access page.
class CGuardedBytes {
public:
    CGuardedBytes()
    {
        base = static_cast<BYTE*>(VirtualAlloc(nullptr, 2 * kPage, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
        DWORD old = 0;
        if (base) VirtualProtect(base + kPage, kPage, PAGE_NOACCESS, &old);
    }
    ~CGuardedBytes()
    {
        if (base) VirtualFree(base, 0, MEM_RELEASE);
    }
    CGuardedBytes(const CGuardedBytes&) = delete;
    CGuardedBytes& operator=(const CGuardedBytes&) = delete;

    void* Place(const std::vector<BYTE>& bytes)
    {
        BYTE* at = base + kPage - bytes.size();
        memcpy(at, bytes.data(), bytes.size());
        return at;
    }
    static constexpr size_t kPage = 4096;

private:
    BYTE* base = nullptr;
};

// A device-change record as a careless or hostile sender makes one: port or interface
// records naming our port, another or garbage, with sizes from 0 to the record's real size.
std::vector<BYTE> RandomDeviceRecord(std::mt19937& rng, int ourPort)
{
    std::string name;
    switch (Below(rng, 5)) {
    case 0: name = "COM" + std::to_string(ourPort); break;
    case 1: name = "COM" + std::to_string(Below(rng, 300)); break;
    case 2: name = "\\\\?\\TARVELFUZZ#VID_" + std::to_string(rng()) + "#" + std::to_string(Below(rng, 9)) + "#{86e0d1e0-8089-11d0-9ce4-08003e301f73}"; break;
    case 3: name = "\\\\?\\" + std::string(Below(rng, 600), '#'); break;
    default:
        name.resize(Below(rng, 64));
        for (auto& c : name) c = static_cast<char>(rng());
        break;
    }
    const uint32_t typePick = Below(rng, 4);
    const DWORD type = typePick == 0 ? DBT_DEVTYP_PORT : typePick == 1 ? DBT_DEVTYP_DEVICEINTERFACE
                                     : typePick == 2 ? DBT_DEVTYP_VOLUME : rng();
    const size_t nameAt = type == DBT_DEVTYP_DEVICEINTERFACE ? offsetof(DEV_BROADCAST_DEVICEINTERFACE_A, dbcc_name)
                                                             : offsetof(DEV_BROADCAST_PORT_A, dbcp_name);
    std::vector<BYTE> record(nameAt + name.size() + (OneIn(rng, 4) ? 0 : 1), 0);
    std::copy(name.begin(), name.end(), record.begin() + nameAt);
    const DWORD real = static_cast<DWORD>(record.size());
    const DWORD size = OneIn(rng, 2) ? real : OneIn(rng, 2) ? Below(rng, real + 1) : static_cast<DWORD>(sizeof(DEV_BROADCAST_PORT_A));
    if (size < sizeof(DEV_BROADCAST_HDR)) record.resize(std::max<size_t>(size, 4));  // just the size, or less
    memcpy(record.data(), &size, 4);
    if (record.size() >= 8) memcpy(record.data() + 4, &type, 4);
    if (size < record.size() && OneIn(rng, 2)) record.resize(std::max<size_t>(size, 4));
    return record;
}

// Another thread of the process sending and posting what another program could: port
// notifications with any parameters, device-change broadcasts, creation, destruction and
// close requests. Records sent by reference sit against a no-access page.
void SendForeignMessages(HWND window, uint32_t seed, unsigned long count, int ourPort, std::atomic<unsigned long>* sent)
{
    std::mt19937 rng(seed);
    CGuardedBytes guarded;
    for (unsigned long i = 0; i < count; ++i, ++*sent) {
        const uint32_t pick = Below(rng, 20);
        if (pick < 9) {
            const WPARAM kind = OneIn(rng, 5) ? static_cast<WPARAM>(rng()) : Below(rng, 4);
            const LPARAM lParam = OneIn(rng, 2) ? 0 : static_cast<LPARAM>(rng());
            if (OneIn(rng, 3)) SendMessageA(window, WM_PORT_NOTIFY, kind, lParam);
            else PostMessageA(window, WM_PORT_NOTIFY, kind, lParam);
        } else if (pick < 17) {
            const uint32_t e = Below(rng, 4);
            const WPARAM event = e == 0 ? DBT_DEVICEARRIVAL : e == 1 ? DBT_DEVICEREMOVECOMPLETE
                               : e == 2 ? DBT_DEVNODES_CHANGED : static_cast<WPARAM>(rng());
            const void* record = OneIn(rng, 20) ? nullptr : guarded.Place(RandomDeviceRecord(rng, ourPort));
            SendMessageA(window, WM_DEVICECHANGE, event, reinterpret_cast<LPARAM>(record));
        } else {
            static const UINT messages[] = {WM_NCCREATE, WM_NCDESTROY, WM_CLOSE, WM_DESTROY, WM_CREATE};
            const UINT message = messages[Below(rng, 5)];
            CREATESTRUCTA create{};
            create.lpszName = "forged";
            const std::vector<BYTE> none;
            const LPARAM lParam = OneIn(rng, 2) ? reinterpret_cast<LPARAM>(&create)
                                  : OneIn(rng, 2) ? 0 : reinterpret_cast<LPARAM>(guarded.Place(none));
            SendMessageA(window, message, 0, lParam);
        }
    }
}

TEST(ControlFuzz, ForeignMessagesFromAnotherThread)
{
    std::mt19937 rng = SeededGenerator("Messages");
    CHostedControl host;
    CNullModemPair pair;
    ASSERT_TRUE(pair.Lease()) << "the virtual null-modem test bed is not running";
    CFarEnd peer(pair.PortB());
    ASSERT_TRUE(peer.IsOpen());
    ExpectStillWorks(host);  // also the warm-up
    host.sink->calls.clear();
    host.sink->calls.shrink_to_fit();
    const Usage before = MeasureUsage();

    host.Put(DISPID_TARVEL_PORT, CVariant(static_cast<long>(pair.PortA())));
    host.Put(DISPID_TARVEL_CONNECTED, CVariant(true));
    ASSERT_TRUE(host.ctl->GetConnectedProp()) << "Error " << host.ctl->settings.Error;
    const HWND window = host.ctl->NotifyWindow();
    ASSERT_TRUE(IsWindow(window));

    // Real traffic both ways meanwhile, so that forged notifications meet real ones.
    std::atomic<unsigned long> sent{0};
    const unsigned long count = Plan().messages;
    std::thread other(SendForeignMessages, window, static_cast<uint32_t>(rng()), count, pair.PortA(), &sent);
    const DWORD start = GetTickCount();
    unsigned long rounds = 0;
    while (sent.load() < count) {
        PumpFor(2);
        if (++rounds % 8 == 0) {
            CVariant text(L"0123456789");
            host.Send(&text);
            peer.Write("abcdefgh");
            PurgeComm(peer.Handle(), PURGE_RXCLEAR);
        }
        if (rounds % 256 == 0) host.sink->calls.clear();
        // A removal naming our port closes it, as it should; the host reopens.
        if (!host.ctl->GetConnectedProp() && rounds % 16 == 0) host.Put(DISPID_TARVEL_CONNECTED, CVariant(true));
    }
    other.join();
    PumpFor(50);
    EXPECT_TRUE(IsWindow(window));
    EXPECT_EQ(host.ctl->NotifyWindow(), window) << "the window was taken from the control";
    printf("[ counts   ] %lu foreign messages in %lu ms\n", count, GetTickCount() - start);

    host.Put(DISPID_TARVEL_CONNECTED, CVariant(false));
    PumpFor(50);
    host.sink->calls.clear();
    host.sink->calls.shrink_to_fit();
    ExpectStillWorks(host);
    host.sink->calls.clear();
    host.sink->calls.shrink_to_fit();
    ExpectNoLeak(before, MeasureUsage(), count);
}

}  // namespace
