// DOS device list parsing, port list formatting, broadcast names and device-path splitting.
#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <string>
#include <vector>

#include "engine/port_names.h"

namespace {

// A DOS device list as the system returns it: names, each zero-terminated, then an empty
// name. The buffer has exactly the list's size so that the sanitizers see any overread.
std::vector<char> DeviceList(const std::vector<std::string>& names)
{
    std::vector<char> list;
    for (const std::string& name : names) {
        list.insert(list.end(), name.begin(), name.end());
        list.push_back('\0');
    }
    list.push_back('\0');
    return list;
}

struct ScanResult {
    std::string text;
    uint32_t highest;
};

ScanResult Scan(const std::vector<char>& list)
{
    std::vector<uint8_t> presence(kPortSlots, 0xAA);  // garbage: the parser must clear it
    uint32_t highest = 12345;
    ParseDosDeviceList(list.data(), list.size(), presence.data(), highest);
    return {FormatPresentPorts(presence.data(), highest), highest};
}

struct ListCase {
    const char* what;
    std::vector<std::string> names;
    const char* text;
    uint32_t highest;
};

TEST(DosDeviceList, PortsInTheList)
{
    const ListCase cases[] = {
        {"three ports", {"COM1", "COM3", "COM10"}, "1,3,10", 10},
        {"no ports", {"AUX", "LPT1", "NUL", "PhysicalDrive0"}, "", 0},
        {"empty list", {}, "", 0},
        {"listed out of order among others", {"C:", "COM10", "PIPE", "COM2"}, "2,10", 10},
        {"ignored spellings", {"COM3A", "COMX", "com5", "COM1000", "COM", "XCOM4", "COM 6", "COM-1"}, "", 0},
        {"leading zeros", {"COM007"}, "7", 7},
        {"zero counts and comes first", {"COM4", "COM0"}, "0,4", 4},
        {"only zero", {"COM0"}, "0", 0},
        {"largest number", {"COM999", "COM1"}, "1,999", 999},
        {"same port twice", {"COM5", "COM005"}, "5", 5},
    };
    for (const ListCase& c : cases) {
        const ScanResult r = Scan(DeviceList(c.names));
        EXPECT_EQ(r.text, c.text) << c.what;
        EXPECT_EQ(r.highest, c.highest) << c.what;
    }
}

TEST(DosDeviceList, EndsAtTheFirstEmptyName)
{
    std::vector<char> list = DeviceList({"COM1"});
    const std::vector<char> rest = DeviceList({"COM2"});
    list.insert(list.end(), rest.begin(), rest.end());
    EXPECT_EQ(Scan(list).text, "1");
}

TEST(DosDeviceList, CutOffListsAreReadSafely)
{
    // No closing empty name: every terminated name still counts.
    std::vector<char> list = DeviceList({"COM1", "COM2"});
    list.pop_back();
    EXPECT_EQ(Scan(list).text, "1,2");

    // The last name has no terminator: it may be the start of a longer name, so it is skipped.
    list.pop_back();
    EXPECT_EQ(Scan(list).text, "1");

    const std::vector<char> unterminated{'C', 'O', 'M', '3'};
    EXPECT_EQ(Scan(unterminated).text, "");

    std::vector<uint8_t> presence(kPortSlots, 1);
    uint32_t highest = 7;
    ParseDosDeviceList(nullptr, 0, presence.data(), highest);
    EXPECT_EQ(FormatPresentPorts(presence.data(), highest), "");
    EXPECT_EQ(highest, 0u);
}

TEST(PresentPortsText, HighestBeyondTheMapStaysInside)
{
    std::vector<uint8_t> presence(kPortSlots, 0);
    presence[2] = 1;
    presence[kPortSlots - 1] = 1;
    EXPECT_EQ(FormatPresentPorts(presence.data(), 5000), "2,999");
}

TEST(PortNames, ComPortName)
{
    EXPECT_EQ(ComPortName(3), "COM3");
    EXPECT_EQ(ComPortName(0), "COM0");
    EXPECT_EQ(ComPortName(-1), "COM-1");
    EXPECT_EQ(ComPortName(INT32_MIN), "COM-2147483648");
}

TEST(PortNames, BroadcastNames)
{
    struct Case {
        const char* name;
        bool matches;
        int32_t number;
    };
    const Case cases[] = {
        {"COM12", true, 12},       {"COM1", true, 1},          {"COM", true, 0},
        {"COM7x", true, 7},        {"COM007", true, 7},        {"COM2147483647", true, INT32_MAX},
        {"com3", false, 0},        {"Com3", false, 0},         {"CO", false, 0},
        {"", false, 0},            {"LPT1", false, 0},         {"COM2147483648", false, 0},
        {"COM99999999999999999999", false, 0},
    };
    for (const Case& c : cases) {
        int32_t number = -5;
        EXPECT_EQ(ParseBroadcastPortName(c.name, number), c.matches) << c.name;
        if (c.matches) {
            EXPECT_EQ(number, c.number) << c.name;
        }
    }
    int32_t number = 0;
    EXPECT_FALSE(ParseBroadcastPortName(nullptr, number));
}

TEST(DevicePath, KeyOfWellFormedPaths)
{
    struct Case {
        const char* path;
        const char* key;
    };
    const Case cases[] = {
        {"\\\\?\\USB#VID_0403&PID_6001#A600B1#{86e0d1e0-8089-11d0-9ce4-08003e301f73}",
         "SYSTEM\\CurrentControlSet\\Enum\\USB\\VID_0403&PID_6001\\A600B1\\Device Parameters"},
        // Only the first three '#' split; the interface class may be missing or hold more.
        {"\\\\?\\ROOT#PORTS#0000#", "SYSTEM\\CurrentControlSet\\Enum\\ROOT\\PORTS\\0000\\Device Parameters"},
        {"\\\\?\\ROOT#PORTS#0001#{x}#y#z", "SYSTEM\\CurrentControlSet\\Enum\\ROOT\\PORTS\\0001\\Device Parameters"},
        // The enumerator is whatever follows the first "?\".
        {"junk?\\FTDIBUS#D#I#G", "SYSTEM\\CurrentControlSet\\Enum\\FTDIBUS\\D\\I\\Device Parameters"},
    };
    for (const Case& c : cases) EXPECT_EQ(DeviceParametersKey(c.path), c.key) << c.path;
}

TEST(DevicePath, MalformedPathsNameNoKey)
{
    const char* cases[] = {
        "",
        "\\\\?\\USB",
        "\\\\?\\USB#VID_0403",
        "\\\\?\\USB#VID_0403#A600B1",  // two '#': fewer than three
        "\\\\.\\USB#VID#INST#{guid}",  // no "?\" in the first piece
        "USB#VID#INST#{guid}",
        "USB#?\\VID#INST#{guid}",      // "?\" only in a later piece
        "\\\\?\\#VID#INST#{guid}",     // empty enumerator
        "\\\\?\\USB##INST#{guid}",     // empty device
        "\\\\?\\USB#VID##{guid}",      // empty instance
        "####",
    };
    for (const char* path : cases) EXPECT_EQ(DeviceParametersKey(path), "") << path;
    EXPECT_EQ(DeviceParametersKey(nullptr), "");
}

TEST(DevicePath, KeyMustFitItsBuffer)
{
    const std::string fixed = "SYSTEM\\CurrentControlSet\\Enum\\USB\\\\I\\Device Parameters";
    // A device piece that makes the key exactly as long as the buffer allows, terminator
    // included, and one byte longer.
    const std::string fits(kDeviceKeyPathSize - 1 - fixed.size(), 'D');
    const std::string key = DeviceParametersKey(("\\\\?\\USB#" + fits + "#I#{g}").c_str());
    EXPECT_EQ(key.size(), kDeviceKeyPathSize - 1);
    EXPECT_EQ(DeviceParametersKey(("\\\\?\\USB#" + fits + "D#I#{g}").c_str()), "");

    const std::string huge(100000, 'X');
    EXPECT_EQ(DeviceParametersKey(("\\\\?\\" + huge + "#D#I#{g}").c_str()), "");
    EXPECT_EQ(DeviceParametersKey(("\\\\?\\USB#D#" + huge + "#{g}").c_str()), "");
}

TEST(PortNames, EqualsIgnoringCase)
{
    EXPECT_TRUE(EqualsIgnoringCase("com3", "COM3"));
    EXPECT_TRUE(EqualsIgnoringCase("", ""));
    EXPECT_FALSE(EqualsIgnoringCase("COM3", "COM31"));
    EXPECT_FALSE(EqualsIgnoringCase("COM31", "COM3"));
    EXPECT_FALSE(EqualsIgnoringCase("COM3", "COM4"));
}

}  // namespace
