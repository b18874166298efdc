// The whole automation interface of the control from JScript, run by tarvel_scripthost:
//     interface.js PORT FRIENDLYNAME
// The far end of PORT echoes every byte, holds its DTR up and loops our DTR back as our CTS.
// Every failed check prints "FAIL ..."; the exit code is 0 only when none failed.
var failures = 0, events = "", dataEvents = 0, textIn = "", bytesIn = [], binaryForwarded = false, ctsEvents = 0;

function check(ok, what) {
    if (!ok) {
        failures++;
        Host.Echo("FAIL " + what);
    }
}

// DataMode 2 data as a JScript array; null for anything VBArray cannot read.
function bytesOf(data) {
    try {
        return new VBArray(data).toArray();
    } catch (e) {
        return null;
    }
}

function Tarvel1_CommEvent(evt, data) {
    events += evt;
    if (evt == 2 && (data & 8)) ctsEvents++;
    if (evt != 1) return;
    dataEvents++;
    if (Tarvel1.DataMode == 1) {
        textIn += data;
        return;
    }
    var bytes = bytesOf(data);
    if (Tarvel1.DataMode == 2) {
        check(bytes != null, "DataMode 2 data readable with VBArray");
        if (bytes) bytesIn = bytesIn.concat(bytes);
        return;
    }
    // DataMode 0: a byte array, which VBArray refuses; handed back to the port once.
    check(bytes == null, "DataMode 0 data is not an array of VARIANTs");
    if (!binaryForwarded) {
        binaryForwarded = true;
        check(Tarvel1.Send(data) == 0, "Send of a received byte array");
    }
}

function waitUntil(done, ms) {
    for (var waited = 0; !done() && waited < ms; waited += 20)
        Host.Sleep(20);
    return done();
}

var port = parseInt(Host.Arg(0), 10);
Host.CreateControl("QUENBY.TarvelCtrl.1", "Tarvel1");

// Discovery and fixed texts.
check(Tarvel1.Version.indexOf("1.3.0 (") == 0, "Version " + Tarvel1.Version);
var ports = "," + Tarvel1.PortsAvailable + ",";
check(ports.indexOf("," + port + ",") >= 0, "PortsAvailable " + ports);
check(Tarvel1.GetPortFriendlyName(port) == Host.Arg(1), "GetPortFriendlyName " + Tarvel1.GetPortFriendlyName(port));
check(Tarvel1.GetPortFriendlyName(3) == "", "GetPortFriendlyName of a missing port");

// Settings: accepted values read back, values out of range are ignored.
Tarvel1.Port = port;
Tarvel1.BaudRate = 19200;
Tarvel1.DataBits = 8;
Tarvel1.DataBits = 4;
Tarvel1.Parity = 1;
Tarvel1.StopBits = 2;
Tarvel1.NullSubst = 42;
Tarvel1.RecvIntervalTimeout = 10;
check(Tarvel1.BaudRate == 19200, "BaudRate " + Tarvel1.BaudRate);
check(Tarvel1.DataBits == 8, "DataBits " + Tarvel1.DataBits);
check(Tarvel1.Parity == 1 && Tarvel1.StopBits == 2, "Parity/StopBits");
check(Tarvel1.NullSubst == 42 && Tarvel1.RecvIntervalTimeout == 10, "NullSubst/RecvIntervalTimeout");
check(!Tarvel1.DSR, "DSR reads false while closed");

Tarvel1.Connected = true;
check(Tarvel1.Connected, "Connected: " + Tarvel1.ErrorDescription);
check(Tarvel1.Error == 0, "Error " + Tarvel1.Error);
check(waitUntil(function () { return events.indexOf("3") >= 0; }, 2000), "EVT_CONNECT");

// Text mode: the zero byte arrives as NullSubst.
Tarvel1.DataMode = 1;
check(Tarvel1.Send("A\0B") == 0, "Send text");
check(waitUntil(function () { return textIn == "A*B"; }, 3000), "text echo " + textIn);

// One-byte values; a string inside the array goes out as its bytes.
Tarvel1.DataMode = 2;
check(Tarvel1.Send([1, "C", 255]) == 0, "Send array");
check(waitUntil(function () { return bytesIn.join(" ") == "1 67 255"; }, 3000), "array echo " + bytesIn.join(" "));
check(Tarvel1.Send([1, 2.5]) == 2, "an array with a fractional element is refused");
Host.Sleep(300);
bytesIn = [];

// Byte arrays: forwarded back once by the handler, so the far end sees them twice.
Tarvel1.DataMode = 0;
check(Tarvel1.Send("xyz") == 0, "Send for binary");
check(waitUntil(function () { return binaryForwarded; }, 3000), "binary echo");
Host.Sleep(300);

// Modem lines: the far end's DTR is our DSR; our DTR comes back as CTS.
check(Tarvel1.DSR && !Tarvel1.CTS && !Tarvel1.RI, "lines before DTR");
Tarvel1.DTR = true;
check(waitUntil(function () { return Tarvel1.CTS; }, 2000), "CTS after DTR");
check(waitUntil(function () { return ctsEvents > 0; }, 2000), "EVT_SERIALEVENT with EV_CTS");
Tarvel1.DTR = false;
check(waitUntil(function () { return !Tarvel1.CTS; }, 2000), "CTS after DTR dropped");

// Error: any write clears it.
Tarvel1.Error = 5;
check(Tarvel1.Error == 0 && Tarvel1.ErrorDescription == "", "Error cleared");

Tarvel1.Connected = false;
check(!Tarvel1.Connected, "Connected after disconnect");
check(waitUntil(function () { return events.charAt(events.length - 1) == "0"; }, 2000), "EVT_DISCONNECT");

Host.Echo("events " + events + ", data events " + dataEvents);
if (failures == 0) {
    Host.Echo("interface test passed");
    Host.Quit(0);
}
Host.Echo(failures + " checks failed");
Host.Quit(1);
