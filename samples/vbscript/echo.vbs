' Echo test with the Tarvel serial-port control, for the project's script host
' (tools/scripthost), which connects CommEvent to the Sub Tarvel1_CommEvent below:
'
'     tarvel_scripthost.exe echo.vbs PORT
'
' Opens COM<PORT> at 115200 8N1, sends a line of text and then a few bytes, and expects the
' far end to send every byte back (a loopback plug, or a peer that echoes). Prints each
' CommEvent, the DSR/CTS/RI lines, and ends with exit code 0 only if both echoes came back.
Option Explicit

Const EVT_DISCONNECT = 0
Const EVT_DATA = 1
Const EVT_SERIALEVENT = 2
Const EVT_CONNECT = 3

Const MODE_TEXT = 1        ' received bytes as a string
Const MODE_BINARYJS = 2    ' received bytes as an array of one-byte values

Dim connectSeen, disconnectSeen, textIn, bytesIn
connectSeen = False
disconnectSeen = False
textIn = ""
bytesIn = ""

' ---- the event handler -------------------------------------------------------------------
Sub Tarvel1_CommEvent(evt, data)
    Select Case evt
    Case EVT_CONNECT
        connectSeen = True
        Host.Echo "CommEvent EVT_CONNECT"
    Case EVT_DATA
        If IsArray(data) Then
            Dim i, list
            list = ""
            For i = LBound(data) To UBound(data)
                list = list & " " & data(i)
            Next
            bytesIn = bytesIn & list
            Host.Echo "CommEvent EVT_DATA bytes" & list
        Else
            textIn = textIn & data
            Host.Echo "CommEvent EVT_DATA text """ & Printable(data) & """"
        End If
    Case EVT_SERIALEVENT
        Host.Echo "CommEvent EVT_SERIALEVENT mask " & data & " (" & LineEventNames(data) & ")"
    Case EVT_DISCONNECT
        disconnectSeen = True
        Host.Echo "CommEvent EVT_DISCONNECT"
    End Select
End Sub

' ---- helpers -----------------------------------------------------------------------------
Function Printable(text)
    Printable = Replace(Replace(text, vbCr, "\r"), vbLf, "\n")
End Function

Function LineEventNames(mask)
    Dim names, bits, labels, i
    bits = Array(4, 8, 16, 32, 64, 128, 256)
    labels = Array("TXEMPTY", "CTS", "DSR", "RLSD", "BREAK", "ERR", "RING")
    names = ""
    For i = 0 To UBound(bits)
        If (mask And bits(i)) <> 0 Then names = Trim(names & " " & labels(i))
    Next
    LineEventNames = names
End Function

Function OnOff(value)
    If value Then OnOff = "on" Else OnOff = "off"
End Function

' Host.Sleep pumps the window messages that carry the control's events.
Function WaitForText(expected, ms)
    Dim waited
    waited = 0
    Do While InStr(textIn, expected) = 0 And waited < ms
        Host.Sleep 50
        waited = waited + 50
    Loop
    WaitForText = InStr(textIn, expected) > 0
End Function

Function WaitForBytes(expected, ms)
    Dim waited
    waited = 0
    Do While InStr(bytesIn, expected) = 0 And waited < ms
        Host.Sleep 50
        waited = waited + 50
    Loop
    WaitForBytes = InStr(bytesIn, expected) > 0
End Function

Sub WaitForConnectEvent(ms)
    Dim waited
    waited = 0
    Do While Not connectSeen And waited < ms
        Host.Sleep 50
        waited = waited + 50
    Loop
End Sub

Sub WaitForDisconnectEvent(ms)
    Dim waited
    waited = 0
    Do While Not disconnectSeen And waited < ms
        Host.Sleep 50
        waited = waited + 50
    Loop
End Sub

' ---- the test ----------------------------------------------------------------------------
If Host.ArgCount < 1 Then
    Host.Echo "usage: tarvel_scripthost echo.vbs PORT"
    Host.Quit 2
End If

Host.CreateControl "QUENBY.TarvelCtrl.1", "Tarvel1"
Host.Echo "Tarvel " & Tarvel1.Version & ", ports present: " & Tarvel1.PortsAvailable

Tarvel1.Port = CLng(Host.Arg(0))
Tarvel1.BaudRate = 115200
Tarvel1.DataBits = 8
Tarvel1.Parity = 0          ' NOPARITY
Tarvel1.StopBits = 0        ' ONESTOPBIT
Tarvel1.DataMode = MODE_TEXT
Tarvel1.Connected = True
If Not Tarvel1.Connected Then
    Host.Echo "cannot open COM" & Tarvel1.Port & ": " & Tarvel1.ErrorDescription & " (" & Tarvel1.Error & ")"
    Host.Quit 1
End If
WaitForConnectEvent 2000
Tarvel1.DTR = True
Tarvel1.RTS = True

Dim greeting, textOk, bytesOk
greeting = "Hello from VBScript" & vbCr
Host.Echo "Send text: result " & Tarvel1.Send(greeting)
textOk = WaitForText(greeting, 5000)

Tarvel1.DataMode = MODE_BINARYJS
Host.Echo "Send array: result " & Tarvel1.Send(Array(1, 2, 3, 250))
bytesOk = WaitForBytes(" 1 2 3 250", 5000)

Host.Echo "DSR " & OnOff(Tarvel1.DSR) & ", CTS " & OnOff(Tarvel1.CTS) & ", RI " & OnOff(Tarvel1.RI)
Tarvel1.Connected = False
WaitForDisconnectEvent 2000

If textOk And bytesOk Then
    Host.Echo "echo test passed"
    Host.Quit 0
End If
Host.Echo "echo test FAILED (text echoed: " & textOk & ", bytes echoed: " & bytesOk & ")"
Host.Quit 1
