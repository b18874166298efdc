#include "assert_report.h"

#include <windows.h>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

void ReportAssertion(const char* expression, const char* label, int line)
{
    const size_t size = strlen(expression) + strlen(label) + 1000;
    std::unique_ptr<char[]> text(new (std::nothrow) char[size]);
    if (text) {
        snprintf(text.get(), size, "Error in %s\nin %s\nat line %d", expression, label, line);
        MessageBoxA(nullptr, text.get(), nullptr, MB_OK);
    }
    abort();
}
