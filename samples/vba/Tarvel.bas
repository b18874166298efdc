Attribute VB_Name = "TarvelSample"
' Tarvel serial-port control on an Office (VBA) UserForm.
'
' Setup (once): register Tarvel.ocx with regsvr32 (the 64-bit build for 64-bit Office).
' In the VBA editor: Insert > UserForm; Tools > Additional Controls... > tick "Tarvel Control";
' draw the control on the form and name it Tarvel1 (it is invisible while the form runs).
' Add a TextBox txtPort, a multi-line TextBox txtLog and three buttons cmdConnect, cmdSend and
' cmdDisconnect. Import this module (File > Import File...), then paste the lines between the
' two dashed lines into the UserForm's code window: events can only be handled there. For the
' event procedure, let the editor write its first line (pick Tarvel1 and CommEvent in the two
' drop-down lists above the code window; it names the arguments Evt and data) and put the
' LogLine call into it.
'
' ----------------------------------------------------------------------------------------
' Private Sub cmdConnect_Click()
'     TarvelConnect Me.Tarvel1, CLng(Me.txtPort.Text), Me.txtLog
' End Sub
'
' Private Sub cmdSend_Click()
'     TarvelSendSample Me.Tarvel1, Me.txtLog
' End Sub
'
' Private Sub cmdDisconnect_Click()
'     TarvelDisconnect Me.Tarvel1
' End Sub
'
' Private Sub Tarvel1_CommEvent(...)            ' the line the editor writes
'     LogLine Me.txtLog, DescribeCommEvent(Evt, data)
' End Sub
'
' Private Sub UserForm_Terminate()
'     TarvelDisconnect Me.Tarvel1
' End Sub
' ----------------------------------------------------------------------------------------
'
' Run the form with ShowTarvelForm (the form is assumed to be called UserForm1).
Option Explicit

Public Const EVT_DISCONNECT As Long = 0
Public Const EVT_DATA As Long = 1
Public Const EVT_SERIALEVENT As Long = 2
Public Const EVT_CONNECT As Long = 3

Public Const MODE_BINARY As Long = 0    ' received bytes as a Byte array
Public Const MODE_TEXT As Long = 1      ' received bytes as a String

Public Sub ShowTarvelForm()
    UserForm1.Show
End Sub

' Opens the port at 9600 8N1, data as text. Failures never raise errors: they set Error.
Public Sub TarvelConnect(ByVal ctl As Object, ByVal port As Long, ByVal logBox As Object)
    ctl.Port = port
    ctl.BaudRate = 9600
    ctl.DataBits = 8
    ctl.Parity = 0              ' NOPARITY
    ctl.StopBits = 0            ' ONESTOPBIT
    ctl.DataMode = MODE_TEXT
    ctl.Connected = True
    If Not ctl.Connected Then
        LogLine logBox, "COM" & port & ": " & ctl.ErrorDescription & " (" & ctl.Error & ")"
        ctl.Error = 0
        Exit Sub
    End If
    ctl.DTR = True
    ctl.RTS = True
End Sub

' Sends a line of text, then the same bytes as a Byte array. Send returns at once with a
' result code: 0 queued, 2 an argument (or an element of it) of a type it does not take,
' 3 a byte array with more than one dimension.
Public Sub TarvelSendSample(ByVal ctl As Object, ByVal logBox As Object)
    Dim bytes() As Byte
    Dim result As Long
    If Not ctl.Connected Then
        LogLine logBox, "not connected"
        Exit Sub
    End If
    result = ctl.Send("Hello from VBA" & vbCr)
    If result <> 0 Then
        LogLine logBox, "Send refused the text (" & result & ")"
        Exit Sub
    End If
    bytes = StrConv("ABC" & vbCr, vbFromUnicode)
    result = ctl.Send(bytes)            ' the array variable goes by reference
    If result <> 0 Then
        LogLine logBox, "Send refused the byte array (" & result & ")"
        Exit Sub
    End If
    LogLine logBox, "sent; DSR=" & ctl.DSR & " CTS=" & ctl.CTS & " RI=" & ctl.RI
End Sub

Public Sub TarvelDisconnect(ByVal ctl As Object)
    If ctl.Connected Then ctl.Connected = False
End Sub

' One line of text for a CommEvent: its kind and its data.
Public Function DescribeCommEvent(ByVal evt As Long, data As Variant) As String
    Select Case evt
    Case EVT_CONNECT
        DescribeCommEvent = "connected"
    Case EVT_DATA
        If IsArray(data) Then
            DescribeCommEvent = "data: " & HexBytes(data)
        Else
            DescribeCommEvent = "data: " & data
        End If
    Case EVT_SERIALEVENT
        DescribeCommEvent = "line events, mask " & data
    Case EVT_DISCONNECT
        DescribeCommEvent = "disconnected"
    Case Else
        DescribeCommEvent = "event " & evt
    End Select
End Function

Public Function HexBytes(data As Variant) As String
    Dim i As Long, text As String
    For i = LBound(data) To UBound(data)
        text = text & Right$("0" & Hex$(data(i)), 2) & " "
    Next
    HexBytes = RTrim$(text)
End Function

Public Sub LogLine(ByVal logBox As Object, ByVal text As String)
    logBox.Text = logBox.Text & text & vbCrLf
End Sub
