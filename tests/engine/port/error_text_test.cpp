// ErrorDescription comes from the string table in the user's language. ctest runs this
// program twice: as is (English) and with the Russian locale, telling it which to expect.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "tests/support/recording_port.h"

#ifdef TARVEL_HAVE_RESOURCES
namespace {

std::wstring DescriptionOf(int32_t code)
{
    CRecordingPort port;
    port.settings.Error = code;
    return port.GetErrorDescription();
}

TEST(ErrorText, MessagesInTheUsersLanguage)
{
    const char* expect = getenv("TARVEL_EXPECT_LANG");
    const bool russian = expect && std::string(expect) == "ru";
    EXPECT_TRUE(DescriptionOf(0).empty());
    if (russian) {
        EXPECT_EQ(DescriptionOf(219), L"Порт отсутствует");
        EXPECT_EQ(DescriptionOf(220), L"Порт занят");
        EXPECT_EQ(DescriptionOf(221), L"Ошибка ввода-ваывода");
        EXPECT_EQ(DescriptionOf(222),
                  L"Ошибка настройки порта. Проверьте скорость обмена, настройки четности, количество стоповых бит");
    } else {
        EXPECT_EQ(DescriptionOf(219), L"Unknown port number");
        EXPECT_EQ(DescriptionOf(220), L"Access denied to this port");
        EXPECT_EQ(DescriptionOf(221), L"Uncategorized I/O error");
        EXPECT_EQ(DescriptionOf(222),
                  L"Bad port setting. Please check baud rate, data and stop bit count, parity flag");
    }
}

}  // namespace
#endif
