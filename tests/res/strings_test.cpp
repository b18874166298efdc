// String tables of the module: English (US) and Russian, read from this test program's image.
#include <gtest/gtest.h>
#include <windows.h>
#include <cstdlib>
#include <string>
#include "resource_ids.h"
#include "string_table.h"

namespace {

struct ExpectedString {
    UINT id;
    const wchar_t* text;
};

const ExpectedString kEnglishStrings[] = {
    {IDS_TARVEL_CTRL, L"Tarvel Control"},
    {IDS_TARVEL_PPG, L"Tarvel Property Page"},
    {IDS_TARVEL_PPG_CAPTION, L"General"},
    {IDS_DOWNLOAD_URL, L"https://tarvel.example/en/download"},
    {IDS_ERR_UNKNOWN_PORT, L"Unknown port number"},
    {IDS_ERR_ACCESS_DENIED, L"Access denied to this port"},
    {IDS_ERR_IO, L"Uncategorized I/O error"},
    {IDS_ERR_BAD_SETTING, L"Bad port setting. Please check baud rate, data and stop bit count, parity flag"},
};

const ExpectedString kRussianStrings[] = {
    {IDS_DOWNLOAD_URL, L"https://tarvel.example/ru/download"},
    {IDS_ERR_UNKNOWN_PORT, L"Порт отсутствует"},
    {IDS_ERR_ACCESS_DENIED, L"Порт занят"},
    {IDS_ERR_IO, L"Ошибка ввода-ваывода"},
    {IDS_ERR_BAD_SETTING,
     L"Ошибка настройки порта. Проверьте скорость обмена, настройки четности, количество стоповых бит"},
};

TEST(StringTables, EnglishTableHoldsEveryString) {
    for (const auto& s : kEnglishStrings) {
        SCOPED_TRACE(s.id);
        std::wstring text;
        ASSERT_TRUE(LoadStringInLanguage(s.id, kEnglish, text));
        EXPECT_EQ(s.text, text);
    }
}

// UTF-8 sources must come out as the right UTF-16 text.
TEST(StringTables, RussianTableHoldsMessagesAndDownloadAddress) {
    for (const auto& s : kRussianStrings) {
        SCOPED_TRACE(s.id);
        std::wstring text;
        ASSERT_TRUE(LoadStringInLanguage(s.id, kRussian, text));
        EXPECT_EQ(s.text, text);
    }
    std::wstring text;
    ASSERT_TRUE(LoadStringInLanguage(IDS_ERR_UNKNOWN_PORT, kRussian, text));
    EXPECT_EQ(0x041F, text[0]);  // capital Pe
}

// Unknown numbers are empty in both tables: no stray entries around the error codes.
TEST(StringTables, NoEntriesBesideTheErrorCodes) {
    for (UINT id : {218u, 223u}) {
        std::wstring text;
        EXPECT_FALSE(LoadStringInLanguage(id, kEnglish, text)) << id;
        EXPECT_FALSE(LoadStringInLanguage(id, kRussian, text)) << id;
    }
}

// LoadStringW picks the table of the process's user interface language; English for
// every language but Russian. The names and the caption have no Russian variant, so the
// loader falls back to English for them in either case.
// The Russian run of this test (ctest: res_tests.RussianUser) sets TARVEL_EXPECT_RUSSIAN.
TEST(StringTables, LoadStringFollowsTheUserLanguage) {
    const bool russian = PRIMARYLANGID(GetUserDefaultUILanguage()) == LANG_RUSSIAN;
    if (std::getenv("TARVEL_EXPECT_RUSSIAN")) {
        ASSERT_TRUE(russian) << "the process locale is not Russian";
    }
    HMODULE module = GetModuleHandleW(nullptr);
    for (const auto& s : kEnglishStrings) {
        SCOPED_TRACE(s.id);
        std::wstring want = s.text;
        if (russian) {
            for (const auto& r : kRussianStrings)
                if (r.id == s.id) want = r.text;
        }
        wchar_t buffer[256] = {};
        const int n = LoadStringW(module, s.id, buffer, 256);
        EXPECT_EQ(static_cast<int>(want.size()), n);
        EXPECT_EQ(want, std::wstring(buffer));
    }
}

}  // namespace
