// Send's conversion driven directly: scalars, strings, byte arrays, script arrays (a C++
// IDispatchEx stand-in) and arrays of VARIANT, with the records they leave in the queue.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>

#include "control/send_convert.h"
#include "convert_test_util.h"

namespace {

class SendTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_NE(ready.Get(), nullptr); }

    int32_t Send(const VARIANT& v) { return SendVariant(v, queue, ready.Get()); }
    int32_t SendIn(UINT codePage, const VARIANT& v) { return SendVariant(v, queue, ready.Get(), codePage); }
    Records Taken() { return TakeRecords(queue); }

    TxQueue queue;
    CUniqueHandle ready{CreateEventA(nullptr, FALSE, FALSE, nullptr)};
};

CVariant Typed(VARTYPE vt, LONGLONG value)
{
    CVariant v;
    V_VT(&v) = vt;
    V_I8(&v) = value;  // the union's first bytes hold the narrower members (little endian)
    return v;
}

// A one-dimensional array of the given element type with the given bounds.
CSafeArray Vector(VARTYPE vt, LONG lower, ULONG count)
{
    SAFEARRAYBOUND bound = {count, lower};
    return CSafeArray(SafeArrayCreate(vt, 1, &bound));
}

CVariant ArrayVariant(VARTYPE flags, CSafeArray&& array)
{
    CVariant v;
    V_VT(&v) = flags;
    V_ARRAY(&v) = array.Detach();
    return v;
}

// An array of VARIANT built from the given values, lower bound 0.
CVariant VariantArray(const std::vector<CVariant>& values)
{
    CSafeArray array = Vector(VT_VARIANT, 0, static_cast<ULONG>(values.size()));
    for (LONG i = 0; i < static_cast<LONG>(values.size()); ++i)
        SafeArrayPutElement(array.Get(), &i, const_cast<CVariant*>(&values[i]));
    return ArrayVariant(VT_ARRAY | VT_VARIANT, std::move(array));
}

CVariant ByRef(VARIANT* target)
{
    CVariant v;
    V_VT(&v) = VT_BYREF | VT_VARIANT;
    V_VARIANTREF(&v) = target;
    return v;
}

// ---- VariantToByte and scalar arguments ----

TEST(VariantToByteTest, IntegerTypesGiveTheirLowByteInTwosComplement)
{
    const struct { VARTYPE vt; LONGLONG value; BYTE expected; } cases[] = {
        {VT_I1, -1, 0xFF},          {VT_UI1, 0xAB, 0xAB},    {VT_I2, 300, 0x2C},
        {VT_UI2, 0xFF01, 0x01},     {VT_I4, -1, 0xFF},       {VT_I4, 256, 0x00},
        {VT_UI4, 0x12345678, 0x78}, {VT_I8, -2, 0xFE},       {VT_UI8, 0x1122334455667788LL, 0x88},
        {VT_INT, 300, 0x2C},        {VT_UINT, 0xFFFFFF80u, 0x80},
    };
    for (const auto& c : cases) {
        CVariant v = Typed(c.vt, c.value);
        BYTE b = 0x5A;
        EXPECT_TRUE(VariantToByte(v, &b)) << "vt " << c.vt;
        EXPECT_EQ(b, c.expected) << "vt " << c.vt << " value " << c.value;
    }
}

TEST(VariantToByteTest, EveryOtherTypeGivesZeroAndFalse)
{
    LONG target = 7;
    CVariant byRef;
    V_VT(&byRef) = VT_BYREF | VT_I4;
    V_I4REF(&byRef) = &target;
    const VARTYPE others[] = {VT_EMPTY, VT_NULL, VT_BOOL, VT_R4, VT_R8, VT_CY, VT_DATE, VT_ERROR};
    for (VARTYPE vt : others) {
        CVariant v = Typed(vt, 65);
        BYTE b = 0x5A;
        EXPECT_FALSE(VariantToByte(v, &b)) << "vt " << vt;
        EXPECT_EQ(b, 0) << "vt " << vt;
    }
    BYTE b = 0x5A;
    EXPECT_FALSE(VariantToByte(byRef, &b));
    EXPECT_EQ(b, 0);
    CVariant text(L"A");
    EXPECT_FALSE(VariantToByte(text, &b));
}

TEST_F(SendTest, IntegersSendOneByteAndWakeTheWorker)
{
    EXPECT_EQ(Send(CVariant(300)), SEND_OK);
    EXPECT_TRUE(IsSignalled(ready.Get()));
    EXPECT_EQ(Send(CVariant(-1)), SEND_OK);
    EXPECT_EQ(Taken(), (Records{{0x2C}, {0xFF}}));
}

TEST_F(SendTest, UnacceptedScalarsReturn2AndSendNothing)
{
    CVariant empty;
    EXPECT_EQ(Send(CVariant(1.5)), SEND_REJECTED);
    EXPECT_EQ(Send(CVariant(true)), SEND_REJECTED);
    EXPECT_EQ(Send(empty), SEND_REJECTED);
    LONG target = 65;
    CVariant byRefInt;
    V_VT(&byRefInt) = VT_BYREF | VT_I4;
    V_I4REF(&byRefInt) = &target;
    EXPECT_EQ(Send(byRefInt), SEND_REJECTED);  // only VT_BYREF|VT_VARIANT is followed
    EXPECT_TRUE(Taken().empty());
    EXPECT_FALSE(IsSignalled(ready.Get()));
}

TEST_F(SendTest, ByRefVariantIsFollowedOnceOnly)
{
    CVariant inner(66);
    CVariant outer = ByRef(&inner);
    EXPECT_EQ(Send(outer), SEND_OK);
    CVariant twice = ByRef(&outer);
    EXPECT_EQ(Send(twice), SEND_REJECTED);
    CVariant dangling = ByRef(nullptr);
    EXPECT_EQ(Send(dangling), SEND_REJECTED);
    // These do not own their targets.
    VariantInit(&outer);
    VariantInit(&twice);
    VariantInit(&dangling);
    EXPECT_EQ(Taken(), (Records{{0x42}}));
}

// ---- strings ----

TEST_F(SendTest, StringSendsItsCharactersAsOneRecordWithoutTerminator)
{
    EXPECT_EQ(Send(CVariant(L"AB")), SEND_OK);
    CVariant embedded(CBstr(L"A\0B", 3));
    EXPECT_EQ(Send(embedded), SEND_OK);
    EXPECT_EQ(Taken(), (Records{{0x41, 0x42}, {0x41, 0x00, 0x42}}));
}

TEST_F(SendTest, EmptyAndNullStringsSendNothingAndReturn0)
{
    CVariant empty(L"");
    CVariant null;
    V_VT(&null) = VT_BSTR;
    V_BSTR(&null) = nullptr;
    EXPECT_EQ(Send(empty), SEND_OK);
    EXPECT_EQ(Send(null), SEND_OK);
    EXPECT_TRUE(Taken().empty());
    EXPECT_FALSE(IsSignalled(ready.Get()));
}

UINT ThreadAnsiCodePage()
{
    UINT cp = 0;
    GetLocaleInfoA(GetThreadLocale(), LOCALE_IDEFAULTANSICODEPAGE | LOCALE_RETURN_NUMBER,
                   reinterpret_cast<char*>(&cp), sizeof(cp));
    return cp;
}

TEST_F(SendTest, CharactersTheThreadCodePageLacksBecomeItsDefaultCharacter)
{
    CPINFO info;
    ASSERT_TRUE(GetCPInfo(CP_THREAD_ACP, &info));
    if (info.MaxCharSize != 1) GTEST_SKIP() << "thread code page " << ThreadAnsiCodePage() << " is not single-byte";
    // U+4E2D exists in no single-byte code page; U+0100 would best-fit to 'A' without
    // WC_NO_BEST_FIT_CHARS in 1252.
    EXPECT_EQ(Send(CVariant(L"A\x4E2D" L"B")), SEND_OK);
    const BYTE dflt = info.DefaultChar[0];
    Records expected{{0x41, dflt, 0x42}};
    if (ThreadAnsiCodePage() == 1252) {
        EXPECT_EQ(Send(CVariant(L"\x0100\x00E9")), SEND_OK);
        expected.push_back({dflt, 0xE9});
    }
    EXPECT_EQ(Taken(), expected);
}

TEST_F(SendTest, CodePagesThatRefuseTheNoBestFitFlagStillConvert)
{
    // UTF-8 (a thread's ANSI code page with the system-wide UTF-8 option) and UTF-7 take no
    // best-fit flag: the conversion goes ahead without it instead of refusing every string.
    EXPECT_EQ(SendIn(CP_UTF8, CVariant(L"A\x00E9")), SEND_OK);
    EXPECT_EQ(SendIn(CP_UTF7, CVariant(L"A\x00E9")), SEND_OK);
    EXPECT_EQ(Taken(), (Records{{0x41, 0xC3, 0xA9}, {'A', '+', 'A', 'O', 'k', '-'}}));
}

TEST_F(SendTest, StringsUseTheCallingThreadsCodePage)
{
    const LCID previous = GetThreadLocale();
    ASSERT_TRUE(SetThreadLocale(MAKELCID(MAKELANGID(LANG_RUSSIAN, SUBLANG_DEFAULT), SORT_DEFAULT)));
    const UINT cp = ThreadAnsiCodePage();
    const int32_t result = Send(CVariant(L"\x0416"));  // CYRILLIC CAPITAL ZHE: 0xC6 in 1251
    SetThreadLocale(previous);
    if (cp != 1251) GTEST_SKIP() << "the thread locale did not switch the code page (" << cp << ")";
    EXPECT_EQ(result, SEND_OK);
    EXPECT_EQ(Taken(), (Records{{0xC6}}));
}

// ---- byte arrays ----

TEST_F(SendTest, ByteArrayWithBounds1To3SendsItsThreeBytesInOrder)
{
    for (VARTYPE element : {VT_UI1, VT_I1}) {
        CSafeArray array = Vector(element, 1, 3);
        for (LONG i = 1; i <= 3; ++i) {
            BYTE b = static_cast<BYTE>(0x10 * i);
            SafeArrayPutElement(array.Get(), &i, &b);
        }
        CVariant byValue = ArrayVariant(VT_ARRAY | element, std::move(array));
        EXPECT_EQ(Send(byValue), SEND_OK);
        EXPECT_TRUE(IsSignalled(ready.Get()));
        // VBA passes a byte-array variable by reference: Dim b() As Byte: port.Send b
        SAFEARRAY* parray = V_ARRAY(&byValue);
        CVariant byRef;
        V_VT(&byRef) = VT_BYREF | VT_ARRAY | element;
        V_ARRAYREF(&byRef) = &parray;
        EXPECT_EQ(Send(byRef), SEND_OK);
        V_ARRAYREF(&byRef) = nullptr;
        EXPECT_EQ(Send(byRef), SEND_REJECTED);
        VariantInit(&byRef);  // does not own the array
        EXPECT_EQ(Taken(), (Records{{0x10, 0x20, 0x30}, {0x10, 0x20, 0x30}})) << "element type " << element;
    }
}

TEST_F(SendTest, TwoDimensionalByteArrayReturns3AndSendsNothing)
{
    SAFEARRAYBOUND bounds[2] = {{2, 0}, {2, 0}};
    EXPECT_EQ(Send(ArrayVariant(VT_ARRAY | VT_UI1, CSafeArray(SafeArrayCreate(VT_UI1, 2, bounds)))),
              SEND_MULTIDIM);
    EXPECT_TRUE(Taken().empty());
    EXPECT_FALSE(IsSignalled(ready.Get()));
}

TEST_F(SendTest, EmptyByteArraySendsNothing)
{
    EXPECT_EQ(Send(ArrayVariant(VT_ARRAY | VT_UI1, Vector(VT_UI1, 0, 0))), SEND_OK);
    EXPECT_TRUE(Taken().empty());
}

TEST_F(SendTest, ByteArraysThatCannotBeReadReturn2)
{
    CVariant nullArray;
    V_VT(&nullArray) = VT_ARRAY | VT_UI1;
    V_ARRAY(&nullArray) = nullptr;
    EXPECT_EQ(Send(nullArray), SEND_REJECTED);

    // A descriptor locked as often as it can be: its data cannot be accessed.
    BYTE data[3] = {1, 2, 3};
    SAFEARRAY locked = {};
    locked.cDims = 1;
    locked.cbElements = 1;
    locked.cLocks = 0xFFFF;
    locked.pvData = data;
    locked.rgsabound[0] = {3, 1};
    void* probe;
    ASSERT_TRUE(FAILED(SafeArrayAccessData(&locked, &probe)));
    CVariant lockedArray;
    V_VT(&lockedArray) = VT_ARRAY | VT_UI1;
    V_ARRAY(&lockedArray) = &locked;
    EXPECT_EQ(Send(lockedArray), SEND_REJECTED);

    // A descriptor with elements but no data: never read through the null pointer.
    SAFEARRAY hollow = locked;
    hollow.cLocks = 0;
    hollow.pvData = nullptr;
    CVariant hollowArray;
    V_VT(&hollowArray) = VT_ARRAY | VT_UI1;
    V_ARRAY(&hollowArray) = &hollow;
    EXPECT_EQ(Send(hollowArray), SEND_REJECTED);
    VariantInit(&hollowArray);

    // A "byte" array whose elements are not single bytes.
    CVariant wide;
    V_VT(&wide) = VT_ARRAY | VT_UI1;
    V_ARRAY(&wide) = SafeArrayCreateVector(VT_I4, 0, 2);
    EXPECT_EQ(Send(wide), SEND_REJECTED);

    VariantInit(&lockedArray);  // not ours to destroy
    EXPECT_TRUE(Taken().empty());
}

TEST_F(SendTest, LargeRecordsReuseAWrittenBlockAndCarryOnlyTheirOwnBytes)
{
    // The worker hands a written record back; its block then serves the next record that fills
    // more than half of it (a byte array or a string), which must hold its own bytes and length
    // and nothing of the old contents, and a record larger than the block gets one of its own.
    const ULONG big = TxQueue::kMinSpareBytes * 2;
    auto filled = [&](ULONG count, BYTE value) {
        CSafeArray array = Vector(VT_UI1, 0, count);
        CSafeArrayLock data(array.Get());
        memset(data.Data(), value, count);
        return array;
    };
    auto isAll = [](const TxRecord& record, DWORD length, BYTE value) {
        if (record.length != length) return false;
        for (DWORD i = 0; i < length; ++i)
            if (record.data[i] != value) return false;
        return true;
    };
    ASSERT_EQ(Send(ArrayVariant(VT_ARRAY | VT_UI1, filled(big, 0xAA))), SEND_OK);
    std::unique_ptr<TxRecord> written = queue.TakeHead();
    ASSERT_TRUE(written);
    const BYTE* block = written->data.get();
    queue.Recycle(std::move(written));

    ASSERT_EQ(Send(CVariant(7L)), SEND_OK);  // too small to take the block
    std::unique_ptr<TxRecord> small = queue.TakeHead();
    ASSERT_TRUE(small);
    EXPECT_NE(small->data.get(), block);
    EXPECT_TRUE(isAll(*small, 1, 7));

    const std::wstring text(big * 3 / 4, L'C');
    ASSERT_EQ(Send(CVariant(text.c_str())), SEND_OK);
    std::unique_ptr<TxRecord> reused = queue.TakeHead();
    ASSERT_TRUE(reused);
    EXPECT_EQ(reused->data.get(), block);
    EXPECT_TRUE(isAll(*reused, big * 3 / 4, 'C'));
    queue.Recycle(std::move(reused));

    ASSERT_EQ(Send(ArrayVariant(VT_ARRAY | VT_UI1, filled(big + 1, 0xBB))), SEND_OK);
    ASSERT_EQ(Send(ArrayVariant(VT_ARRAY | VT_UI1, filled(big, 0xCC))), SEND_OK);
    std::unique_ptr<TxRecord> larger = queue.TakeHead(), again = queue.TakeHead();
    ASSERT_TRUE(larger && again);
    EXPECT_NE(larger->data.get(), block);
    EXPECT_TRUE(isAll(*larger, big + 1, 0xBB));
    EXPECT_EQ(again->data.get(), block);
    EXPECT_TRUE(isAll(*again, big, 0xCC));
    EXPECT_TRUE(queue.IsEmpty());
}

// ---- script arrays (objects with IDispatchEx) ----

TEST_F(SendTest, ScriptArrayPacksIntegersAndSendsOtherElementsInOrder)
{
    auto array = CTestArray::Create();
    array->AddInt(65);
    array->Add(CVariant(L"BC"));
    array->AddInt(66);
    EXPECT_EQ(Send(DispatchVariant(array.Get())), SEND_OK);
    EXPECT_TRUE(IsSignalled(ready.Get()));
    EXPECT_EQ(Taken(), (Records{{0x41}, {0x42, 0x43}, {0x42}}));
}

TEST_F(SendTest, ScriptArrayOf2500IntegersGivesRecordsOf1000_1000_500)
{
    auto array = CTestArray::Create();
    for (int i = 0; i < 2500; ++i) array->AddInt(i * 7);
    EXPECT_EQ(Send(DispatchVariant(array.Get())), SEND_OK);
    const Records records = Taken();
    ASSERT_EQ(records.size(), 3u);
    EXPECT_EQ(records[0].size(), 1000u);
    EXPECT_EQ(records[1].size(), 1000u);
    EXPECT_EQ(records[2].size(), 500u);
    const Bytes all = Concat(records);
    for (int i = 0; i < 2500; ++i) ASSERT_EQ(all[i], static_cast<BYTE>(i * 7)) << "element " << i;
}

TEST_F(SendTest, ScriptArraySkipsUnacceptedElementsAndReturns2)
{
    auto array = CTestArray::Create();
    array->AddInt(1);
    array->Add(CVariant(2.5));
    array->AddInt(3);
    EXPECT_EQ(Send(DispatchVariant(array.Get())), SEND_REJECTED);
    EXPECT_EQ(Concat(Taken()), (Bytes{0x01, 0x03}));
    EXPECT_TRUE(IsSignalled(ready.Get()));
}

TEST_F(SendTest, NestedScriptArraysAreSentInOrder)
{
    auto first = CTestArray::Create(), second = CTestArray::Create(), outer = CTestArray::Create();
    first->AddInt(1);
    first->AddInt(2);
    second->AddInt(3);
    outer->AddObject(first.Get());
    outer->AddObject(second.Get());
    EXPECT_EQ(Send(DispatchVariant(outer.Get())), SEND_OK);
    EXPECT_EQ(Taken(), (Records{{0x01, 0x02}, {0x03}}));
}

TEST_F(SendTest, EmptyScriptArraySendsNothingAndReturns0)
{
    auto array = CTestArray::Create();
    EXPECT_EQ(Send(DispatchVariant(array.Get())), SEND_OK);
    EXPECT_TRUE(Taken().empty());
}

TEST_F(SendTest, ObjectsThatCannotBeWalkedReturn2)
{
    CPlainDispatch plain;
    EXPECT_EQ(Send(DispatchVariant(&plain)), SEND_REJECTED);
    EXPECT_EQ(plain.refs, 1u);  // no reference leaked
    CVariant nullObject;
    V_VT(&nullObject) = VT_DISPATCH;
    V_DISPATCH(&nullObject) = nullptr;
    EXPECT_EQ(Send(nullObject), SEND_REJECTED);
    EXPECT_TRUE(Taken().empty());
    EXPECT_FALSE(IsSignalled(ready.Get()));
}

TEST_F(SendTest, FailedFetchEndsTheWalkKeepingWhatWasGathered)
{
    auto array = CTestArray::Create();
    for (long v : {1, 2, 3, 4}) array->AddInt(v);
    array->FailFetchOf(2);
    EXPECT_EQ(Send(DispatchVariant(array.Get())), SEND_REJECTED);
    EXPECT_EQ(Taken(), (Records{{0x01, 0x02}}));
    EXPECT_EQ(array->fetches, 3);  // nothing fetched after the failure
}

TEST_F(SendTest, ElementsThatAreMultiDimensionalArraysCountAsUnaccepted)
{
    auto array = CTestArray::Create();
    array->AddInt(1);
    SAFEARRAYBOUND bounds[2] = {{1, 0}, {1, 0}};
    array->Add(ArrayVariant(VT_ARRAY | VT_UI1, CSafeArray(SafeArrayCreate(VT_UI1, 2, bounds))));
    array->AddInt(2);
    EXPECT_EQ(Send(DispatchVariant(array.Get())), SEND_REJECTED);
    EXPECT_EQ(Taken(), (Records{{0x01}, {0x02}}));
}

// A chain of arrays nested `levels` deep below the top one, holding 9 at the bottom.
CComRef<CTestArray> Chain(int levels)
{
    auto bottom = CTestArray::Create();
    bottom->AddInt(9);
    for (int i = 0; i < levels; ++i) {
        auto up = CTestArray::Create();
        up->AddObject(bottom.Get());
        bottom = up;
    }
    return bottom;
}

TEST_F(SendTest, NestingIsFollowedUpToTheBoundAndNoFurther)
{
    EXPECT_EQ(Send(DispatchVariant(Chain(kSendMaxDepth).Get())), SEND_OK);
    EXPECT_EQ(Taken(), (Records{{0x09}}));
    EXPECT_EQ(Send(DispatchVariant(Chain(kSendMaxDepth + 1).Get())), SEND_REJECTED);
    EXPECT_TRUE(Taken().empty());
}

TEST_F(SendTest, SelfContainingArraysStopWith2)
{
    // [1, itself]: one byte per level down to the bound, then the walk gives up.
    auto array = CTestArray::Create();
    array->AddInt(1);
    array->AddObject(array.Get());
    EXPECT_EQ(Send(DispatchVariant(array.Get())), SEND_REJECTED);
    EXPECT_EQ(Concat(Taken()), Bytes(kSendMaxDepth + 1, 0x01));

    // [itself, itself, 5]: giving up stops every level, so the walk does not branch out
    // into 2^32 paths, and nothing after the failure is sent.
    auto twice = CTestArray::Create();
    twice->AddObject(twice.Get());
    twice->AddObject(twice.Get());
    twice->AddInt(5);
    EXPECT_EQ(Send(DispatchVariant(twice.Get())), SEND_REJECTED);
    EXPECT_TRUE(Taken().empty());
    EXPECT_LE(twice->fetches, 2 * (kSendMaxDepth + 1));

    array->Clear();
    twice->Clear();
}

TEST_F(SendTest, SharedSubArraysStopAtTheElementBound)
{
    // levels[k] = [levels[k-1], levels[k-1]], 31 deep: within the nesting bound, but 2^31
    // leaves. The walk gives up after kSendMaxElements visits instead of running for hours.
    std::vector<CComRef<CTestArray>> levels;
    levels.push_back(CTestArray::Create());
    levels.back()->AddInt(1);
    for (int k = 1; k <= kSendMaxDepth - 1; ++k) {
        auto up = CTestArray::Create();
        up->AddObject(levels.back().Get());
        up->AddObject(levels.back().Get());
        levels.push_back(up);
    }
    EXPECT_EQ(Send(DispatchVariant(levels.back().Get())), SEND_REJECTED);
    unsigned long fetches = 0;
    for (const auto& level : levels) fetches += level->fetches;
    EXPECT_LE(fetches, kSendMaxElements);
    EXPECT_GT(fetches, kSendMaxElements / 2);
    const size_t sent = Concat(Taken()).size();
    EXPECT_GT(sent, 0u);
    EXPECT_LT(sent, kSendMaxElements);
}

// ---- arrays of VARIANT (VBScript and VBA arrays) ----

TEST_F(SendTest, VariantArrayIsWalkedLikeAScriptArray)
{
    std::vector<CVariant> values;
    values.emplace_back(65);
    values.emplace_back(L"BC");
    values.emplace_back(66);
    CVariant array = VariantArray(values);
    EXPECT_EQ(Send(array), SEND_OK);
    EXPECT_EQ(Taken(), (Records{{0x41}, {0x42, 0x43}, {0x42}}));

    CVariant byRefVariant = ByRef(&array);  // a VBScript variable
    EXPECT_EQ(Send(byRefVariant), SEND_OK);
    VariantInit(&byRefVariant);
    EXPECT_EQ(Taken(), (Records{{0x41}, {0x42, 0x43}, {0x42}}));

    SAFEARRAY* parray = V_ARRAY(&array);  // a VBA array variable
    CVariant byRefArray;
    V_VT(&byRefArray) = VT_BYREF | VT_ARRAY | VT_VARIANT;
    V_ARRAYREF(&byRefArray) = &parray;
    EXPECT_EQ(Send(byRefArray), SEND_OK);
    V_ARRAYREF(&byRefArray) = nullptr;
    EXPECT_EQ(Send(byRefArray), SEND_REJECTED);
    VariantInit(&byRefArray);
    EXPECT_EQ(Taken(), (Records{{0x41}, {0x42, 0x43}, {0x42}}));
}

TEST_F(SendTest, VariantArrayElementsFollowTheWalkRules)
{
    std::vector<CVariant> values;
    values.emplace_back(1);
    values.emplace_back(2.5);  // skipped
    values.emplace_back(3);
    CSafeArray bytes = Vector(VT_UI1, 0, 2);
    for (LONG i = 0; i < 2; ++i) {
        BYTE b = static_cast<BYTE>(0xA0 + i);
        SafeArrayPutElement(bytes.Get(), &i, &b);
    }
    values.push_back(ArrayVariant(VT_ARRAY | VT_UI1, std::move(bytes)));
    std::vector<CVariant> inner;
    inner.emplace_back(4);
    values.push_back(VariantArray(inner));
    EXPECT_EQ(Send(VariantArray(values)), SEND_REJECTED);
    EXPECT_EQ(Taken(), (Records{{0x01}, {0x03}, {0xA0, 0xA1}, {0x04}}));  // 2.5 closes the run

}

TEST_F(SendTest, VariantArrayEdgeCases)
{
    SAFEARRAYBOUND bounds[2] = {{2, 0}, {2, 0}};
    CSafeArray square(SafeArrayCreate(VT_VARIANT, 2, bounds));
    LONG at[2] = {0, 0};
    CVariant one(1);
    SafeArrayPutElement(square.Get(), at, &one);
    EXPECT_EQ(Send(ArrayVariant(VT_ARRAY | VT_VARIANT, std::move(square))), SEND_MULTIDIM);
    EXPECT_EQ(Send(ArrayVariant(VT_ARRAY | VT_VARIANT, Vector(VT_VARIANT, 0, 0))), SEND_OK);
    CVariant nullArray;
    V_VT(&nullArray) = VT_ARRAY | VT_VARIANT;
    V_ARRAY(&nullArray) = nullptr;
    EXPECT_EQ(Send(nullArray), SEND_REJECTED);
    SAFEARRAY hollow = {};  // elements but no data
    hollow.cDims = 1;
    hollow.cbElements = sizeof(VARIANT);
    hollow.rgsabound[0] = {2, 0};
    V_ARRAY(&nullArray) = &hollow;
    EXPECT_EQ(Send(nullArray), SEND_REJECTED);
    VariantInit(&nullArray);
    // Elements of the same size but another type, under a VARIANT label: their bytes are not
    // VARIANTs (here they would read as VT_UI1 'A', elsewhere as a string at any address).
    CSafeArray decimals = Vector(VT_DECIMAL, 0, 2);
    VARIANT* lookalikes = nullptr;
    ASSERT_EQ(SafeArrayAccessData(decimals.Get(), reinterpret_cast<void**>(&lookalikes)), S_OK);
    for (int i = 0; i < 2; ++i) {
        V_VT(&lookalikes[i]) = VT_UI1;
        V_UI1(&lookalikes[i]) = 'A';
    }
    SafeArrayUnaccessData(decimals.Get());
    EXPECT_EQ(Send(ArrayVariant(VT_ARRAY | VT_VARIANT, std::move(decimals))), SEND_REJECTED);
    // The same with VARIANT-sized elements in 64-bit code: a descriptor naming its type as the
    // system keeps it, in the four bytes before the descriptor.
    struct {
        DWORD hidden[4];
        SAFEARRAY sa;
    } named = {};
    named.hidden[3] = VT_RECORD;
    named.sa.cDims = 1;
    named.sa.fFeatures = FADF_HAVEVARTYPE;
    named.sa.cbElements = sizeof(VARIANT);
    named.sa.rgsabound[0] = {2, 0};
    VARIANT records[2];
    for (VARIANT& r : records) {
        V_VT(&r) = VT_UI1;
        V_UI1(&r) = 'A';
    }
    named.sa.pvData = records;
    V_VT(&nullArray) = VT_ARRAY | VT_VARIANT;
    V_ARRAY(&nullArray) = &named.sa;
    EXPECT_EQ(Send(nullArray), SEND_REJECTED);
    VariantInit(&nullArray);
    EXPECT_TRUE(Taken().empty());
    EXPECT_FALSE(IsSignalled(ready.Get()));
}

TEST_F(SendTest, ArrayContainingItselfByReferenceStops)
{
    // An element that refers back to the array's own VARIANT.
    CVariant array = VariantArray(std::vector<CVariant>(2));
    VARIANT* elements;
    ASSERT_EQ(SafeArrayAccessData(V_ARRAY(&array), reinterpret_cast<void**>(&elements)), S_OK);
    V_VT(&elements[0]) = VT_I4;
    V_I4(&elements[0]) = 7;
    V_VT(&elements[1]) = VT_BYREF | VT_VARIANT;
    V_VARIANTREF(&elements[1]) = &array;
    SafeArrayUnaccessData(V_ARRAY(&array));
    EXPECT_EQ(Send(array), SEND_REJECTED);
    EXPECT_EQ(Concat(Taken()), Bytes(kSendMaxDepth + 1, 0x07));
    V_VT(&elements[1]) = VT_EMPTY;  // the reference is not owned
}

}  // namespace
