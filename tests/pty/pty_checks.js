// The registered control on a COM port that Wine maps to one end of a socat pty pair, with
// tarvel_pty_peer (commands in pty_peer.cpp) on the other end. Run by pty_suite.sh:
//   tarvel_scripthost.exe pty_checks.js main|reopen PORT
// Prints one line per check ("ok ..." or "FAIL ..."); the exit code is the number of failures.
var EVT_DISCONNECT = 0, EVT_DATA = 1, EVT_SERIALEVENT = 2, EVT_CONNECT = 3;
var counts = [0, 0, 0, 0];
var received = [], receivedLength = 0;
function port_CommEvent(evt, data) {
    counts[evt]++;
    if (evt == EVT_DATA) {
        received.push(data);
        receivedLength += data.length;
    }
}
var failures = 0;
function check(ok, what, detail) {
    if (!ok) failures++;
    Host.Echo((ok ? "ok   " : "FAIL ") + what + (ok || detail === undefined ? "" : ": " + detail));
    return ok;
}
function waitFor(done, ms) {
    for (var waited = 0; !done() && waited < ms; waited += 20) Host.Sleep(20);
    return done();
}
function takeReceived() {
    var text = received.join("");
    received = [];
    receivedLength = 0;
    return text;
}
function state() {
    return "Connected " + port.Connected + ", Error " + port.Error + " (" + port.ErrorDescription + ")";
}
// The peer's pattern: x := x * 69069 + 1 mod 2^32, byte 33 + ((x >> 16) mod 94).
function pattern(count, seed) {
    var x = seed, parts = [], chunk = [];
    for (var i = 0; i < count; i++) {
        x = (x * 69069 + 1) % 4294967296;
        chunk.push(33 + ((x >>> 16) % 94));
        if (chunk.length == 4096) { parts.push(String.fromCharCode.apply(null, chunk)); chunk = []; }
    }
    parts.push(String.fromCharCode.apply(null, chunk));
    return parts.join("");
}
function firstDifference(a, b) {
    var n = Math.min(a.length, b.length);
    for (var i = 0; i < n; i++) if (a.charAt(i) != b.charAt(i)) return i;
    return n;
}
function connect(what) {
    var before = counts[EVT_CONNECT];
    port.Connected = true;
    return check(port.Connected && port.Error == 0 && waitFor(function () { return counts[EVT_CONNECT] > before; }, 5000),
                 what, state());
}
function disconnect(what) {
    var before = counts[EVT_DISCONNECT];
    port.Connected = false;
    return check(!port.Connected && waitFor(function () { return counts[EVT_DISCONNECT] > before; }, 5000), what, state());
}
// Sends a command and then `payload`, and waits for `expected` to come back in full.
function exchange(what, command, payload, expected, ms) {
    takeReceived();
    var result = port.Send(command + "\n" + payload);
    if (!check(result == 0, what + ": Send accepted", "Send returned " + result)) return;
    waitFor(function () { return receivedLength >= expected.length; }, ms);
    var got = takeReceived();
    check(got == expected, what, "got " + got.length + " of " + expected.length + " bytes, first difference at " +
          firstDifference(got, expected) + "; " + state());
}

var port = Host.CreateControl("QUENBY.TarvelCtrl.1", "port");
var phase = Host.Arg(0);
port.Port = parseInt(Host.Arg(1), 10);
port.DataMode = 1; // text: the pattern is printable ASCII
port.DataBits = 8;
port.Parity = 0;
port.StopBits = 0;

if (phase == "main") {
    var rates = [9600, 19200, 38400, 57600, 115200];
    for (var i = 0; i < rates.length; i++) {
        port.BaudRate = rates[i];
        if (connect("opens at " + rates[i] + " 8N1")) disconnect("closes again");
    }
    connect("opens at 9600 for the traffic checks");
    port.BaudRate = 115200;
    check(port.Error == 0 && port.Connected && port.BaudRate == 115200, "BaudRate 115200 taken while open", state());

    exchange("5 bytes echoed", "ECHO 5", "hello", "hello", 5000);
    var mb = pattern(1048576, 7);
    exchange("1 MB echoed in order", "ECHO 1048576", mb, mb, 60000);
    exchange("1 MB from the device in order", "SEND 1048576 99", "", pattern(1048576, 99), 60000);
    var lines = [];
    for (var n = 0; n < 100; n++) lines.push("line " + ("00" + n).slice(-3) + "\r\n");
    exchange("100 lines 20 ms apart in order", "LINES 100 20", "", lines.join(""), 20000);

    // A pty keeps 8 data bits and no parity whatever is asked.
    port.DataBits = 7;
    check(port.Error == 222 && port.DataBits == 8 && port.Connected, "DataBits 7 while open: 222, reads 8, still open",
          state() + ", DataBits " + port.DataBits);
    port.Parity = 2;
    check(port.Error == 222 && port.Parity == 0 && port.Connected, "even parity while open: 222, reads 0, still open",
          state() + ", Parity " + port.Parity);
    port.StopBits = 2;
    Host.Echo("info StopBits 2 on this pty: Error " + port.Error + ", StopBits reads " + port.StopBits);
    port.StopBits = 0;
    disconnect("closes");
    var before = counts[EVT_DISCONNECT];
    port.DataBits = 7;
    port.Connected = true;
    check(port.Error == 222 && !port.Connected && port.DataBits == 8 &&
          waitFor(function () { return counts[EVT_DISCONNECT] > before; }, 5000),
          "open with DataBits 7: 222, closed, EVT_DISCONNECT, reads 8", state() + ", DataBits " + port.DataBits);
    connect("opens again with the kept 8 data bits");

    // No modem lines on a pty: writes are harmless, reads are false.
    port.DTR = true;
    port.RTS = true;
    port.BaudRate = 57600; // a line-setting write after the host wrote the lines
    port.DTR = false;
    port.RTS = false;
    check(port.Error == 0 && port.Connected, "DTR/RTS writes and a rate change: no error, still open", state());
    check(!port.DSR && !port.CTS && !port.RI && port.Error == 0 && port.Connected, "DSR, CTS and RI read false",
          "DSR " + port.DSR + " CTS " + port.CTS + " RI " + port.RI + ", " + state());
    check(counts[EVT_SERIALEVENT] == 0, "no line events", counts[EVT_SERIALEVENT] + " EVT_SERIALEVENT");
    exchange("still echoes", "ECHO 3", "abc", "abc", 5000);

    before = counts[EVT_DISCONNECT];
    port.Send("HANGUP\n");
    check(waitFor(function () { return counts[EVT_DISCONNECT] > before; }, 10000) && !port.Connected,
          "far end hung up: EVT_DISCONNECT, Connected false", state());
} else if (phase == "reopen") {
    port.BaudRate = 115200;
    connect("opens again once the far end is back");
    exchange("echoes after the reopen", "ECHO 5", "again", "again", 5000);
    disconnect("closes");
} else {
    check(false, "phase", "unknown phase " + phase);
}
Host.Echo("EVT_CONNECT " + counts[EVT_CONNECT] + ", EVT_DATA " + counts[EVT_DATA] + ", EVT_SERIALEVENT " +
          counts[EVT_SERIALEVENT] + ", EVT_DISCONNECT " + counts[EVT_DISCONNECT] + "; " + failures + " failed");
Host.Quit(failures);
