// The VBScript and JScript samples run by the project's script host against the registered
// control on a virtual null-modem pair whose far end echoes; and the script host's own rules
// (exit codes, script errors, errors inside event handlers).
#include "acceptance_support.h"

#include <fstream>
#include <sstream>

#include "tools/demo/echo_peer.h"

namespace {

const char kScriptHost[] = TARVEL_SCRIPTHOST_PATH;
const std::string kSamples = TARVEL_SAMPLES_DIR;
constexpr int kMissingPort = 3;  // never mapped in a test prefix

CChildResult RunScript(const std::string& unixPath, const std::string& args, DWORD timeoutMs = 60000)
{
    return RunChild(L"\"" + WindowsPath(kScriptHost) + L"\" \"" + WindowsPath(unixPath) + L"\" " + Widen(args),
                    timeoutMs);
}

std::vector<std::string> Lines(const std::string& text)
{
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

// Index of the first line at or after `from` that starts with prefix; -1 when none.
int FindLine(const std::vector<std::string>& lines, const std::string& prefix, int from = 0)
{
    for (size_t i = size_t(from); i < lines.size(); ++i)
        if (lines[i].compare(0, prefix.size(), prefix) == 0) return int(i);
    return -1;
}

// The payloads of every "CommEvent EVT_DATA <kind> ..." line joined: the text pieces between
// their quotes, the byte lists with single spaces.
std::string JoinedData(const std::vector<std::string>& lines, const std::string& kind)
{
    const std::string prefix = "CommEvent EVT_DATA " + kind + " ";
    std::string joined;
    for (const std::string& line : lines) {
        if (line.compare(0, prefix.size(), prefix) != 0) continue;
        std::string payload = line.substr(prefix.size());
        if (kind == "text" && payload.size() >= 2) payload = payload.substr(1, payload.size() - 2);
        if (kind == "bytes" && !joined.empty()) joined += ' ';
        joined += payload;
    }
    return joined;
}

class ScriptSamples : public AcceptanceTest {
protected:
    void SetUp() override
    {
        AcceptanceTest::SetUp();
        ASSERT_EQ(0u, RegisterModuleWithRegsvr32());
        ASSERT_TRUE(pair.Lease()) << "the virtual null-modem test bed is not running";
    }

    // Runs an echo sample against an echoing far end with DTR and RTS raised, and checks the
    // transcript, the exit code and the bytes that crossed the wire.
    void RunEchoSample(const std::string& sample, const std::string& greeting)
    {
        CEchoPeer peer;
        ASSERT_TRUE(peer.Start(pair.PortB(), true, true));
        const CChildResult r = RunScript(kSamples + sample, std::to_string(pair.PortA()));
        ASSERT_TRUE(r.finished) << r.output;
        EXPECT_EQ(0u, r.exitCode) << r.output;

        const auto lines = Lines(r.output);
        const int version = FindLine(lines, "Tarvel 1.3.0 (" TARVEL_ARCH_LABEL "), ports present: ");
        const int connect = FindLine(lines, "CommEvent EVT_CONNECT");
        const int text = FindLine(lines, "CommEvent EVT_DATA text ", connect);
        const int bytes = FindLine(lines, "CommEvent EVT_DATA bytes ", text);
        const int modem = FindLine(lines, "DSR on, CTS on, RI off", bytes);
        const int disconnect = FindLine(lines, "CommEvent EVT_DISCONNECT", modem);
        const int passed = FindLine(lines, "echo test passed", disconnect);
        EXPECT_EQ(0, version) << r.output;
        EXPECT_GT(connect, version) << r.output;
        EXPECT_GT(text, connect) << r.output;
        EXPECT_GT(bytes, text) << r.output;
        EXPECT_GT(modem, bytes) << r.output;
        EXPECT_GT(disconnect, modem) << r.output;
        EXPECT_GT(passed, disconnect) << r.output;
        EXPECT_NE(std::string::npos,
                  lines.empty() ? std::string::npos : lines[size_t(version < 0 ? 0 : version)].find(
                                                          std::to_string(pair.PortA())))
            << "PortsAvailable lists the leased port";

        // What the script saw, and what really crossed the wire.
        EXPECT_EQ(greeting + "\\r", JoinedData(lines, "text"));
        EXPECT_EQ("1 2 3 250", JoinedData(lines, "bytes"));
        EXPECT_EQ(greeting + "\r" + std::string("\x01\x02\x03\xFA", 4), peer.Received());
    }

    CNullModemPair pair;
};

TEST_F(ScriptSamples, VBScriptEchoSamplePassesAgainstAnEchoingPeer)
{
    RunEchoSample("/vbscript/echo.vbs", "Hello from VBScript");
}

TEST_F(ScriptSamples, JScriptEchoSamplePassesAgainstAnEchoingPeer)
{
    RunEchoSample("/jscript/echo.js", "Hello from JScript");
}

TEST_F(ScriptSamples, EchoSampleFailsWhenTheFarEndStaysSilent)
{
    CEchoPeer silent;  // not started: nobody holds end B, bytes sent there are lost
    const CChildResult r = RunScript(kSamples + "/jscript/echo.js", std::to_string(pair.PortA()));
    ASSERT_TRUE(r.finished) << r.output;
    EXPECT_EQ(1u, r.exitCode) << r.output;
    EXPECT_NE(std::string::npos, r.output.find("echo test FAILED (text echoed: false, bytes echoed: false)"))
        << r.output;
    EXPECT_NE(std::string::npos, r.output.find("DSR off, CTS off, RI off")) << r.output;
}

TEST_F(ScriptSamples, EchoSampleReportsAMissingPort)
{
    const CChildResult r = RunScript(kSamples + "/vbscript/echo.vbs", std::to_string(kMissingPort));
    ASSERT_TRUE(r.finished) << r.output;
    EXPECT_EQ(1u, r.exitCode) << r.output;
    EXPECT_NE(std::string::npos, r.output.find("cannot open COM3: Unknown port number (219)")) << r.output;
}

// ---- the whole interface from each script engine -------------------------------------------

// tests/acceptance/scripts/interface.* check every property, method and event kind through the
// engine; the far end echoes, holds its DTR up and loops the control's DTR back as its CTS.
class ScriptInterface : public ScriptSamples {
protected:
    // expectedOnWire: what the far end receives up to the byte-array phase, which ends with
    // "xyz"; then the handler hands back the first byte array it received, which holds the
    // start of "xyz" (the echo may arrive in more than one piece).
    void RunInterfaceScript(const std::string& script, const std::string& expectedOnWire)
    {
        CFakePortDevice device(pair.PortA(), "Acceptance Serial Port");
        ASSERT_TRUE(device.ready);
        CEchoPeer peer;
        ASSERT_TRUE(peer.Start(pair.PortB(), true, false));
        peer.SetMirror(true);
        const CChildResult r = RunScript(std::string(TARVEL_ACCEPTANCE_SCRIPTS) + script,
                                         std::to_string(pair.PortA()) + " \"Acceptance Serial Port\"");
        ASSERT_TRUE(r.finished) << r.output;
        EXPECT_EQ(0u, r.exitCode) << r.output;
        EXPECT_EQ(std::string::npos, r.output.find("FAIL")) << r.output;
        EXPECT_NE(std::string::npos, r.output.find("interface test passed")) << r.output;
        const std::string wire = peer.Received();
        ASSERT_EQ(expectedOnWire, wire.substr(0, expectedOnWire.size()));
        const std::string forwarded = wire.substr(expectedOnWire.size());
        EXPECT_FALSE(forwarded.empty()) << "the handler sent the received byte array back";
        EXPECT_EQ(std::string("xyz").substr(0, forwarded.size()), forwarded);
    }
};

TEST_F(ScriptInterface, VBScriptDrivesEveryPropertyMethodAndEventKind)
{
    // Text with its zero byte, the array, then "xyz".
    RunInterfaceScript("/interface.vbs", std::string("A\0B\x01\x02\xFFxyz", 9));
}

TEST_F(ScriptInterface, JScriptDrivesEveryPropertyMethodAndEventKind)
{
    // As above; the refused array still sends its integer element.
    RunInterfaceScript("/interface.js", std::string("A\0B\x01" "C\xFF\x01xyz", 10));
}

// ---- the script host's own rules -----------------------------------------------------------

class ScriptHostRules : public AcceptanceTest {
protected:
    // Writes a script into the temporary folder and runs it; the file is removed afterwards.
    CChildResult RunText(const char* extension, const std::string& code)
    {
        char folder[MAX_PATH];
        GetTempPathA(MAX_PATH, folder);
        const std::string path = std::string(folder) + "tarvel_acceptance_" +
                                 std::to_string(GetCurrentProcessId()) + extension;
        {
            std::ofstream out(path, std::ios::binary);
            out << code;
        }
        const CChildResult r =
            RunChild(L"\"" + WindowsPath(kScriptHost) + L"\" \"" + Widen(path) + L"\" first", 60000);
        DeleteFileA(path.c_str());
        return r;
    }
};

TEST_F(ScriptHostRules, QuitGivesTheExitCodeAndEndsTheScriptEvenInsideTry)
{
    const CChildResult r = RunText(".js",
                                   "Host.Echo('arg', Host.Arg(0), Host.ArgCount(), Host.Arg(5) === '');\n"
                                   "try { Host.Quit(4); } catch (e) { Host.Echo('caught'); Host.Quit(9); }\n"
                                   "Host.Echo('after');\n");
    ASSERT_TRUE(r.finished);
    EXPECT_EQ(4u, r.exitCode) << r.output;
    EXPECT_EQ("arg first 1 True\n", r.output);
}

TEST_F(ScriptHostRules, ScriptErrorsEndTheScriptWithExitCodeOneAndTheirLine)
{
    const CChildResult vbs = RunText(".vbs", "Host.Echo \"before\"\nErr.Raise 5\nHost.Echo \"after\"\n");
    ASSERT_TRUE(vbs.finished);
    EXPECT_EQ(1u, vbs.exitCode) << vbs.output;
    EXPECT_EQ(0u, vbs.output.find("before\nscript error (line 2")) << vbs.output;
    EXPECT_EQ(std::string::npos, vbs.output.find("after"));

    const CChildResult js = RunText(".js", "Host.Echo('before');\n\nthrow new Error('broken');\n");
    ASSERT_TRUE(js.finished);
    EXPECT_EQ(1u, js.exitCode) << js.output;
    EXPECT_NE(std::string::npos, js.output.find("script error (line 3")) << js.output;

    const CChildResult syntax = RunText(".js", "Host.Echo('never runs');\nvar = ;\n");
    ASSERT_TRUE(syntax.finished);
    EXPECT_EQ(1u, syntax.exitCode) << syntax.output;
    EXPECT_EQ(std::string::npos, syntax.output.find("never runs"));
}

TEST_F(ScriptHostRules, ErrorInsideAnEventHandlerEndsTheScript)
{
    ASSERT_EQ(0u, RegisterModuleWithRegsvr32());
    // Connecting to a missing port fires EVT_DISCONNECT, which reaches the handler during Sleep.
    // Wine's engines report the handler's error themselves (a script error on the handler's
    // line); an engine that only fails the call gets it reported by the host.
    const CChildResult vbs = RunText(".vbs",
                                     "Host.CreateControl \"QUENBY.TarvelCtrl.1\", \"Probe\"\n"
                                     "Probe.Port = 3\n"
                                     "Probe.Connected = True\n"
                                     "Host.Echo \"Error\", Probe.Error\n"
                                     "Host.Sleep 3000\n"
                                     "Host.Echo \"not reached\"\n"
                                     "Sub Probe_CommEvent(evt, data)\n"
                                     "  Host.Echo \"event\", evt\n"
                                     "  Err.Raise 1000 + evt\n"
                                     "End Sub\n");
    ASSERT_TRUE(vbs.finished);
    EXPECT_EQ(1u, vbs.exitCode) << vbs.output;
    const std::string vbsHead = "Error 219\nevent 0\n";
    EXPECT_EQ(0u, vbs.output.find(vbsHead)) << vbs.output;
    const std::string vbsError = vbs.output.substr(vbsHead.size() <= vbs.output.size() ? vbsHead.size() : 0);
    EXPECT_TRUE(vbsError.find("script error (line 9") == 0 || vbsError.find("error in Probe_CommEvent") == 0)
        << vbs.output;
    EXPECT_EQ(std::string::npos, vbs.output.find("not reached")) << vbs.output;

    const CChildResult js = RunText(".js",
                                    "Host.CreateControl('QUENBY.TarvelCtrl.1', 'Probe');\n"
                                    "Probe.Port = 3;\n"
                                    "Probe.Connected = true;\n"
                                    "Host.Sleep(3000);\n"
                                    "Host.Echo('not reached');\n"
                                    "function Probe_CommEvent(evt, data) {"
                                    " Host.Echo('event', evt); throw new Error('handler'); }\n");
    ASSERT_TRUE(js.finished);
    EXPECT_EQ(1u, js.exitCode) << js.output;
    EXPECT_EQ(0u, js.output.find("event 0\n")) << js.output;
    const std::string jsError = js.output.substr(js.output.find('\n') + 1);
    EXPECT_TRUE(jsError.find("script error (line 6") == 0 || jsError.find("error in Probe_CommEvent") == 0)
        << js.output;
    EXPECT_EQ(std::string::npos, js.output.find("not reached")) << js.output;
}

}  // namespace
