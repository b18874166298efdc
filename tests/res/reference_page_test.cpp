// The reference page (docs/reference.md) against what the module is built from: the type
// library's layout (names, DISPIDs, types of every member, enumeration values) and the string
// tables (every error message in both languages). A member or message changed on one side
// only fails here, so the page cannot drift from the module.
#include <gtest/gtest.h>
#include <windows.h>

#include <fstream>
#include <string>
#include <vector>

#include "mktypelib/typelib_layout.h"
#include "resource_ids.h"
#include "string_table.h"

namespace {

using Row = std::vector<std::wstring>;

std::wstring Widen(const std::string& text) {
    if (text.empty()) return {};
    const int n = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring out(static_cast<size_t>(n), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), n);
    return out;
}

std::vector<std::string> PageLines() {
    std::vector<std::string> lines;
    std::ifstream in(TARVEL_REFERENCE_PAGE);
    for (std::string line; std::getline(in, line);) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        lines.push_back(line);
    }
    return lines;
}

// The cells of a table row "| a | `b` |": trimmed, code quotes dropped.
Row Cells(const std::string& line) {
    Row cells;
    size_t start = line.find('|');
    while (start != std::string::npos) {
        const size_t end = line.find('|', start + 1);
        if (end == std::string::npos) break;
        std::string cell;
        for (char c : line.substr(start + 1, end - start - 1))
            if (c != '`') cell += c;
        const size_t first = cell.find_first_not_of(' ');
        const size_t last = cell.find_last_not_of(' ');
        cells.push_back(first == std::string::npos ? L"" : Widen(cell.substr(first, last - first + 1)));
        start = end;
    }
    return cells;
}

bool StartsWith(const Row& row, const Row& head) {
    if (row.size() < head.size()) return false;
    for (size_t i = 0; i < head.size(); ++i)
        if (row[i] != head[i]) return false;
    return true;
}

// The body of the one table whose header row begins with `head`, each row cut to head's width.
std::vector<Row> Table(const Row& head) {
    const std::vector<std::string> lines = PageLines();
    std::vector<Row> rows;
    int found = 0;
    for (size_t i = 0; i < lines.size(); ++i) {
        if (lines[i].rfind("|", 0) != 0 || !StartsWith(Cells(lines[i]), head)) continue;
        ++found;
        for (size_t j = i + 2; j < lines.size() && lines[j].rfind("|", 0) == 0; ++j) {
            Row row = Cells(lines[j]);
            row.resize(head.size());
            rows.push_back(row);
        }
    }
    EXPECT_EQ(1, found) << "tables headed " << testing::PrintToString(head) << " on the page";
    return rows;
}

// How the page names a type: as Visual Basic declares it.
std::wstring TypeName(const tlb::TypeRef& type) {
    if (type.enumName) return type.enumName;
    switch (type.vt) {
    case VT_I2: return L"Integer";
    case VT_I4: return L"Long";
    case VT_BOOL: return L"Boolean";
    case VT_BSTR: return L"String";
    case VT_VARIANT: return L"Variant";
    case VT_VOID: return L"none";
    default: return L"VARTYPE " + std::to_wstring(type.vt);
    }
}

std::wstring Arguments(const tlb::DispMember& member) {
    if (member.params.empty()) return L"none";
    std::wstring text;
    for (const auto& p : member.params)
        text += (text.empty() ? L"" : L", ") + std::wstring(p.name) + L" As " + TypeName(p.type);
    return text;
}

const tlb::TypeInfoDef& TypeInfo(const std::wstring& name) {
    for (const auto& info : tlb::TypeInfos())
        if (name == info.name) return info;
    static const tlb::TypeInfoDef none{};
    ADD_FAILURE() << "no type info " << testing::PrintToString(name);
    return none;
}

TEST(ReferencePage, PropertiesAreTheDispatchInterfacesProperties) {
    std::vector<Row> expected;
    for (const auto& m : TypeInfo(L"_DTarvel").members)
        if (!m.isMethod) expected.push_back({std::to_wstring(m.id), m.name, TypeName(m.type)});
    ASSERT_FALSE(expected.empty());
    EXPECT_EQ(expected, Table({L"DISPID", L"Property", L"Type"}));
}

TEST(ReferencePage, MethodsAndEventAreTheInterfacesMethods) {
    std::vector<Row> methods;
    for (const auto& m : TypeInfo(L"_DTarvel").members)
        if (m.isMethod) methods.push_back({std::to_wstring(m.id), m.name, Arguments(m), TypeName(m.type)});
    ASSERT_FALSE(methods.empty());
    EXPECT_EQ(methods, Table({L"DISPID", L"Method", L"Arguments", L"Result"}));

    std::vector<Row> events;
    for (const auto& m : TypeInfo(L"_DTarvelEvents").members) events.push_back({m.name, std::to_wstring(m.id), Arguments(m)});
    ASSERT_FALSE(events.empty());
    EXPECT_EQ(events, Table({L"Event", L"DISPID", L"Arguments"}));
}

TEST(ReferencePage, EnumerationsHaveTheLibrarysMembersAndValues) {
    std::vector<Row> expected;
    for (const auto& info : tlb::TypeInfos())
        if (info.kind == TKIND_ENUM)
            for (const auto& v : info.values) expected.push_back({info.name, v.name, std::to_wstring(v.value)});
    ASSERT_FALSE(expected.empty());
    EXPECT_EQ(expected, Table({L"Enumeration", L"Member", L"Value"}));
}

TEST(ReferencePage, ErrorMessagesAreTheStringTables) {
    const std::vector<Row> rows = Table({L"Code", L"Meaning", L"English message", L"Russian message"});
    std::vector<std::wstring> codes;
    for (const auto& row : rows) {
        codes.push_back(row[0]);
        if (row[0] == L"0") {
            EXPECT_EQ(L"", row[2]);
            EXPECT_EQ(L"", row[3]);
            continue;
        }
        SCOPED_TRACE(row[0]);
        const UINT id = static_cast<UINT>(std::stoul(row[0]));
        std::wstring english, russian;
        ASSERT_TRUE(LoadStringInLanguage(id, kEnglish, english));
        ASSERT_TRUE(LoadStringInLanguage(id, kRussian, russian));
        EXPECT_EQ(english, row[2]);
        EXPECT_EQ(russian, row[3]);
    }
    const std::vector<std::wstring> all = {L"0",
                                           std::to_wstring(IDS_ERR_UNKNOWN_PORT),
                                           std::to_wstring(IDS_ERR_ACCESS_DENIED),
                                           std::to_wstring(IDS_ERR_IO),
                                           std::to_wstring(IDS_ERR_BAD_SETTING)};
    EXPECT_EQ(all, codes);
}

}  // namespace
