// Echo test with the Tarvel serial-port control, for the project's script host
// (tools/scripthost), which connects CommEvent to the function Tarvel1_CommEvent below:
//
//     tarvel_scripthost.exe echo.js PORT
//
// Opens COM<PORT> at 115200 8N1, sends a line of text and then a few bytes, and expects the
// far end to send every byte back (a loopback plug, or a peer that echoes). Prints each
// CommEvent, the DSR/CTS/RI lines, and ends with exit code 0 only if both echoes came back.

var EVT_DISCONNECT = 0, EVT_DATA = 1, EVT_SERIALEVENT = 2, EVT_CONNECT = 3;
var MODE_TEXT = 1;        // received bytes as a string
var MODE_BINARYJS = 2;    // received bytes as an array of one-byte values (read with VBArray)

var connectSeen = false, disconnectSeen = false;
var textIn = "", bytesIn = [];

// ---- the event handler -------------------------------------------------------------------
function Tarvel1_CommEvent(evt, data) {
    switch (evt) {
    case EVT_CONNECT:
        connectSeen = true;
        Host.Echo("CommEvent EVT_CONNECT");
        break;
    case EVT_DATA:
        var bytes = bytesOf(data);
        if (bytes) {
            bytesIn = bytesIn.concat(bytes);
            Host.Echo("CommEvent EVT_DATA bytes " + bytes.join(" "));
        } else {
            textIn += data;
            Host.Echo("CommEvent EVT_DATA text \"" + printable(data) + "\"");
        }
        break;
    case EVT_SERIALEVENT:
        Host.Echo("CommEvent EVT_SERIALEVENT mask " + data + " (" + lineEventNames(data) + ")");
        break;
    case EVT_DISCONNECT:
        disconnectSeen = true;
        Host.Echo("CommEvent EVT_DISCONNECT");
        break;
    }
}

// ---- helpers -----------------------------------------------------------------------------
// DataMode 2 data as a JScript array of numbers; null for text (a string is no VBArray).
function bytesOf(data) {
    try {
        return new VBArray(data).toArray();
    } catch (e) {
        return null;
    }
}

function printable(text) {
    return String(text).replace(/\r/g, "\\r").replace(/\n/g, "\\n");
}

function lineEventNames(mask) {
    var bits = [4, 8, 16, 32, 64, 128, 256];
    var labels = ["TXEMPTY", "CTS", "DSR", "RLSD", "BREAK", "ERR", "RING"];
    var names = [];
    for (var i = 0; i < bits.length; i++)
        if (mask & bits[i]) names.push(labels[i]);
    return names.join(" ");
}

function onOff(value) {
    return value ? "on" : "off";
}

// Host.Sleep pumps the window messages that carry the control's events.
function waitUntil(done, ms) {
    for (var waited = 0; !done() && waited < ms; waited += 50)
        Host.Sleep(50);
    return done();
}

// ---- the test ----------------------------------------------------------------------------
if (Host.ArgCount() < 1) {
    Host.Echo("usage: tarvel_scripthost echo.js PORT");
    Host.Quit(2);
}

Host.CreateControl("QUENBY.TarvelCtrl.1", "Tarvel1");
Host.Echo("Tarvel " + Tarvel1.Version + ", ports present: " + Tarvel1.PortsAvailable);

Tarvel1.Port = parseInt(Host.Arg(0), 10);
Tarvel1.BaudRate = 115200;
Tarvel1.DataBits = 8;
Tarvel1.Parity = 0;          // NOPARITY
Tarvel1.StopBits = 0;        // ONESTOPBIT
Tarvel1.DataMode = MODE_TEXT;
Tarvel1.Connected = true;
if (!Tarvel1.Connected) {
    Host.Echo("cannot open COM" + Tarvel1.Port + ": " + Tarvel1.ErrorDescription + " (" + Tarvel1.Error + ")");
    Host.Quit(1);
}
waitUntil(function () { return connectSeen; }, 2000);
Tarvel1.DTR = true;
Tarvel1.RTS = true;

var greeting = "Hello from JScript\r";
Host.Echo("Send text: result " + Tarvel1.Send(greeting));
var textOk = waitUntil(function () { return textIn.indexOf(greeting) >= 0; }, 5000);

Tarvel1.DataMode = MODE_BINARYJS;
var sent = [1, 2, 3, 250];
Host.Echo("Send array: result " + Tarvel1.Send(sent));
var bytesOk = waitUntil(function () { return (" " + bytesIn.join(" ")).indexOf(" " + sent.join(" ")) >= 0; }, 5000);

Host.Echo("DSR " + onOff(Tarvel1.DSR) + ", CTS " + onOff(Tarvel1.CTS) + ", RI " + onOff(Tarvel1.RI));
Tarvel1.Connected = false;
waitUntil(function () { return disconnectSeen; }, 2000);

if (textOk && bytesOk) {
    Host.Echo("echo test passed");
    Host.Quit(0);
}
Host.Echo("echo test FAILED (text echoed: " + textOk + ", bytes echoed: " + bytesOk + ")");
Host.Quit(1);
