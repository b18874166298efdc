// Received bytes as CommEvent data in the three DataMode forms.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/com_raii.h"
#include "control/received_convert.h"
#include "engine/port_settings.h"

namespace {

using Bytes = std::vector<BYTE>;

// Lower bound and elements of a one-dimensional array.
struct ArrayShape {
    UINT dims = 0;
    LONG lower = -1;
    LONG count = -1;
};

ArrayShape ShapeOf(SAFEARRAY* array)
{
    ArrayShape shape;
    shape.dims = SafeArrayGetDim(array);
    LONG upper = -2;
    SafeArrayGetLBound(array, 1, &shape.lower);
    SafeArrayGetUBound(array, 1, &upper);
    shape.count = upper - shape.lower + 1;
    return shape;
}

std::wstring TextOf(const VARIANT& v)
{
    return std::wstring(V_BSTR(&v), SysStringLen(V_BSTR(&v)));
}

class ReceivedTest : public ::testing::Test {
protected:
    // Converts a copy of bytes and checks that the caller's bytes were left as they were.
    bool Convert(Bytes bytes, int32_t mode, int16_t nullSubst)
    {
        const Bytes before = bytes;
        const bool ok = ReceivedToVariant(&out, bytes.data(), static_cast<DWORD>(bytes.size()), mode, nullSubst);
        EXPECT_EQ(bytes, before) << "the caller's bytes were changed";
        return ok;
    }
    CVariant out;
};

const Bytes kWithZero = {0x41, 0x00, 0x42};

TEST_F(ReceivedTest, BinaryGivesAByteArrayWithLowerBound0)
{
    ASSERT_TRUE(Convert(kWithZero, BINARY, 32));
    ASSERT_EQ(V_VT(&out), VT_ARRAY | VT_UI1);
    const ArrayShape shape = ShapeOf(V_ARRAY(&out));
    EXPECT_EQ(shape.dims, 1u);
    EXPECT_EQ(shape.lower, 0);
    ASSERT_EQ(shape.count, 3);
    CSafeArrayLock data(V_ARRAY(&out));
    ASSERT_TRUE(data.Ok());
    EXPECT_EQ(Bytes(data.As<BYTE>(), data.As<BYTE>() + 3), kWithZero);
}

TEST_F(ReceivedTest, BinaryJsGivesVariantsOfTypeUI1)
{
    ASSERT_TRUE(Convert(kWithZero, BINARYJS, 32));
    ASSERT_EQ(V_VT(&out), VT_ARRAY | VT_VARIANT);
    const ArrayShape shape = ShapeOf(V_ARRAY(&out));
    EXPECT_EQ(shape.dims, 1u);
    EXPECT_EQ(shape.lower, 0);
    ASSERT_EQ(shape.count, 3);
    for (LONG i = 0; i < 3; ++i) {
        CVariant element;
        ASSERT_EQ(SafeArrayGetElement(V_ARRAY(&out), &i, element.Put()), S_OK);
        EXPECT_EQ(V_VT(&element), VT_UI1) << "element " << i;
        EXPECT_EQ(V_UI1(&element), kWithZero[i]) << "element " << i;
    }
}

TEST_F(ReceivedTest, TextReplacesZeroBytesByTheLowByteOfNullSubst)
{
    ASSERT_TRUE(Convert(kWithZero, TEXT, 32));
    ASSERT_EQ(V_VT(&out), VT_BSTR);
    EXPECT_EQ(TextOf(out), std::wstring(L"A B"));

    ASSERT_TRUE(Convert(kWithZero, TEXT, 0));
    EXPECT_EQ(TextOf(out), std::wstring(L"A\0B", 3));

    // 255, and 0x120 whose low byte is 0x20: each zero becomes that byte before decoding.
    wchar_t decodedFF = 0;
    ASSERT_EQ(MultiByteToWideChar(CP_ACP, 0, "\xFF", 1, &decodedFF, 1), 1);
    ASSERT_TRUE(Convert(kWithZero, TEXT, 255));
    EXPECT_EQ(TextOf(out), (std::wstring{L'A', decodedFF, L'B'}));
    ASSERT_TRUE(Convert(kWithZero, TEXT, 0x120));
    EXPECT_EQ(TextOf(out), std::wstring(L"A B"));
}

TEST_F(ReceivedTest, EveryOtherModeGivesText)
{
    for (int32_t mode : {5, -1, 3}) {
        ASSERT_TRUE(Convert({0x48, 0x69, 0x00}, mode, 0x2E)) << "mode " << mode;
        ASSERT_EQ(V_VT(&out), VT_BSTR) << "mode " << mode;
        EXPECT_EQ(TextOf(out), std::wstring(L"Hi.")) << "mode " << mode;
    }
}

TEST_F(ReceivedTest, TextDecodesFromTheSystemCodePageNotTheThreads)
{
    if (GetACP() != 1252) GTEST_SKIP() << "system code page is " << GetACP() << ", not 1252";
    const LCID previous = GetThreadLocale();
    // A thread in a Cyrillic locale: 0xE9 would be U+0439 in its code page.
    SetThreadLocale(MAKELCID(MAKELANGID(LANG_RUSSIAN, SUBLANG_DEFAULT), SORT_DEFAULT));
    const bool ok = Convert({0xE9, 0x80}, TEXT, 32);
    SetThreadLocale(previous);
    ASSERT_TRUE(ok);
    EXPECT_EQ(TextOf(out), std::wstring(L"\x00E9\x20AC"));
}

TEST_F(ReceivedTest, ConversionReplacesWhatTheSlotHeld)
{
    V_VT(&out) = VT_BSTR;
    V_BSTR(&out) = SysAllocString(L"stale");
    ASSERT_TRUE(Convert({0x31}, BINARY, 32));
    EXPECT_EQ(V_VT(&out), VT_ARRAY | VT_UI1);
    ASSERT_TRUE(Convert({0x31}, TEXT, 32));
    EXPECT_EQ(TextOf(out), std::wstring(L"1"));
}

TEST_F(ReceivedTest, LargeRunsConvertWhole)
{
    Bytes big(70000);
    for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<BYTE>(i % 251);
    ASSERT_TRUE(Convert(big, BINARY, 32));
    {
        CSafeArrayLock data(V_ARRAY(&out));  // released before out is converted again
        ASSERT_TRUE(data.Ok());
        EXPECT_EQ(Bytes(data.As<BYTE>(), data.As<BYTE>() + big.size()), big);
    }
    CPINFO info;
    ASSERT_TRUE(GetCPInfo(CP_ACP, &info));
    if (info.MaxCharSize != 1) return;  // the text length check below needs one char per byte
    ASSERT_TRUE(Convert(big, TEXT, 32));
    EXPECT_EQ(SysStringLen(V_BSTR(&out)), big.size());
}

// A count whose size in bytes wraps 32 bits must fail before a byte is touched, not
// allocate the wrapped (small) size and overrun it.
TEST_F(ReceivedTest, CountsWhoseSizeWouldWrapAreRefused)
{
    BYTE few[16] = {};
    const DWORD wrapsVariants = static_cast<DWORD>(0x100000000ull / sizeof(VARIANT) + 1);
    EXPECT_FALSE(ReceivedToVariant(&out, few, wrapsVariants, BINARYJS, 32));
    EXPECT_FALSE(ReceivedToVariant(&out, few, 0x80000001u, TEXT, 32));
    EXPECT_FALSE(ReceivedToVariant(&out, few, 0xFFFFFFF0u, BINARY, 32));
    EXPECT_EQ(V_VT(&out), VT_EMPTY);
}

}  // namespace
