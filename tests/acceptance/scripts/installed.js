// The control as an installed program finds it: created by its ProgID through the script
// host, its version read, a port opened and its CommEvent(EVT_CONNECT) received.
//   tarvel_scripthost.exe installed.js PORT
// Exit code 0 when all of that worked; otherwise a line says which step failed.
var EVT_CONNECT = 3;
var connects = 0;
function port_CommEvent(evt, data) {
    if (evt == EVT_CONNECT) connects++;
}
var port = Host.CreateControl("QUENBY.TarvelCtrl.1", "port");
if (port.Version == "") { Host.Echo("no version text"); Host.Quit(3); }
port.Port = parseInt(Host.Arg(0), 10);
port.Connected = true;
for (var waited = 0; connects == 0 && waited < 20000; waited += 50) Host.Sleep(50);
if (!port.Connected || connects != 1) {
    Host.Echo("not connected: Error", port.Error, port.ErrorDescription, "connect events", connects);
    Host.Quit(4);
}
port.Connected = false;
Host.Echo("installed control", port.Version, "connected to COM" + port.Port);
Host.Quit(0);
