' The whole automation interface of the control from VBScript, run by tarvel_scripthost:
'     interface.vbs PORT FRIENDLYNAME
' The far end of PORT echoes every byte, holds its DTR up and loops our DTR back as our CTS.
' Every failed check prints "FAIL ..."; the exit code is 0 only when none failed.
Option Explicit

Dim failures, events, dataEvents, textIn, bytesIn, binaryForwarded, ctsEvents
failures = 0
events = ""
dataEvents = 0
textIn = ""
bytesIn = ""
binaryForwarded = False
ctsEvents = 0

Sub Check(ok, what)
    If Not ok Then
        failures = failures + 1
        Host.Echo "FAIL " & what
    End If
End Sub

Sub Tarvel1_CommEvent(evt, data)
    events = events & evt
    Select Case evt
    Case 1
        dataEvents = dataEvents + 1
        If VarType(data) = vbString Then
            textIn = textIn & data
        ElseIf VarType(data) = vbArray + vbVariant Then
            Dim i
            For i = LBound(data) To UBound(data)
                Check VarType(data(i)) = vbByte, "element type " & VarType(data(i))
                bytesIn = bytesIn & " " & data(i)
            Next
        ElseIf VarType(data) = vbArray + vbByte Then
            ' Wine's VBScript cannot index a byte array: hand it back to the port once instead.
            If Not binaryForwarded Then
                binaryForwarded = True
                Check Tarvel1.Send(data) = 0, "Send of a received byte array"
            End If
        Else
            Check False, "data of type " & VarType(data)
        End If
    Case 2
        If (data And 8) <> 0 Then ctsEvents = ctsEvents + 1
    End Select
End Sub

' Wine's VBScript has neither Eval nor GetRef: the conditions waited for are named here.
Function Holds(condition)
    Select Case condition
    Case "connect": Holds = InStr(events, "3") > 0
    Case "text": Holds = (textIn = "A*B")
    Case "bytes": Holds = (bytesIn = " 1 2 255")
    Case "binary": Holds = binaryForwarded
    Case "cts on": Holds = Tarvel1.CTS
    Case "cts off": Holds = Not Tarvel1.CTS
    Case "cts event": Holds = ctsEvents > 0
    Case "disconnect": Holds = (Right(events, 1) = "0")
    End Select
End Function

Function WaitUntil(condition, ms)
    Dim waited
    waited = 0
    Do While Not Holds(condition) And waited < ms
        Host.Sleep 20
        waited = waited + 20
    Loop
    WaitUntil = Holds(condition)
End Function

Dim port, ports
port = CLng(Host.Arg(0))
Host.CreateControl "QUENBY.TarvelCtrl.1", "Tarvel1"

' Discovery and fixed texts.
Check Left(Tarvel1.Version, 7) = "1.3.0 (", "Version " & Tarvel1.Version
ports = "," & Tarvel1.PortsAvailable & ","
Check InStr(ports, "," & port & ",") > 0, "PortsAvailable " & ports
Check Tarvel1.GetPortFriendlyName(port) = Host.Arg(1), "GetPortFriendlyName " & Tarvel1.GetPortFriendlyName(port)
Check Tarvel1.GetPortFriendlyName(3) = "", "GetPortFriendlyName of a missing port"

' Settings: accepted values read back, values out of range are ignored.
Tarvel1.Port = port
Tarvel1.BaudRate = 19200
Tarvel1.DataBits = 8
Tarvel1.DataBits = 9
Tarvel1.Parity = 1
Tarvel1.StopBits = 2
Tarvel1.NullSubst = 42
Tarvel1.RecvIntervalTimeout = 10
Check Tarvel1.BaudRate = 19200, "BaudRate " & Tarvel1.BaudRate
Check Tarvel1.DataBits = 8, "DataBits " & Tarvel1.DataBits
Check Tarvel1.Parity = 1 And Tarvel1.StopBits = 2, "Parity/StopBits"
Check Tarvel1.NullSubst = 42 And Tarvel1.RecvIntervalTimeout = 10, "NullSubst/RecvIntervalTimeout"
Check Not Tarvel1.DSR, "DSR reads false while closed"

Tarvel1.Connected = True
Check Tarvel1.Connected, "Connected: " & Tarvel1.ErrorDescription
Check Tarvel1.Error = 0, "Error " & Tarvel1.Error
Check WaitUntil("connect", 2000), "EVT_CONNECT"

' Text mode: the zero byte arrives as NullSubst.
Tarvel1.DataMode = 1
Check Tarvel1.Send("A" & Chr(0) & "B") = 0, "Send text"
Check WaitUntil("text", 3000), "text echo " & textIn

' One-byte values.
Tarvel1.DataMode = 2
Check Tarvel1.Send(Array(1, 2, 255)) = 0, "Send array"
Check WaitUntil("bytes", 3000), "array echo " & bytesIn

' Byte arrays: forwarded back once by the handler, so the far end sees them twice.
Tarvel1.DataMode = 0
Check Tarvel1.Send("xyz") = 0, "Send for binary"
Check WaitUntil("binary", 3000), "binary echo"
Host.Sleep 300

' Modem lines: the far end's DTR is our DSR; our DTR comes back as CTS.
Check Tarvel1.DSR And Not Tarvel1.CTS And Not Tarvel1.RI, "lines before DTR"
Tarvel1.DTR = True
Check WaitUntil("cts on", 2000), "CTS after DTR"
Check WaitUntil("cts event", 2000), "EVT_SERIALEVENT with EV_CTS"
Tarvel1.DTR = False
Check WaitUntil("cts off", 2000), "CTS after DTR dropped"

' Error: any write clears it.
Tarvel1.Error = 5
Check Tarvel1.Error = 0 And Tarvel1.ErrorDescription = "", "Error cleared"

Tarvel1.Connected = False
Check Not Tarvel1.Connected, "Connected after disconnect"
Check WaitUntil("disconnect", 2000), "EVT_DISCONNECT"

Host.Echo "events " & events & ", data events " & dataEvents
If failures = 0 Then
    Host.Echo "interface test passed"
    Host.Quit 0
End If
Host.Echo failures & " checks failed"
Host.Quit 1
