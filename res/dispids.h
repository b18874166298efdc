// Dispatch identifiers of _DTarvel and _DTarvelEvents and the values of the type
// library's enumerations. Plain #defines so that C, C++ and the type-library generator share them.
#ifndef TARVEL_DISPIDS_H
#define TARVEL_DISPIDS_H

// _DTarvel properties.
#define DISPID_TARVEL_PORT                  1
#define DISPID_TARVEL_BAUDRATE              2
#define DISPID_TARVEL_DATABITS              3
#define DISPID_TARVEL_PARITY                4
#define DISPID_TARVEL_STOPBITS              5
#define DISPID_TARVEL_ERROR                 6
#define DISPID_TARVEL_ERRORDESCRIPTION      7
#define DISPID_TARVEL_CONNECTED             8
#define DISPID_TARVEL_PORTSAVAILABLE        9
#define DISPID_TARVEL_DATAMODE              10
#define DISPID_TARVEL_NULLSUBST             11
#define DISPID_TARVEL_RECVINTERVALTIMEOUT   12
#define DISPID_TARVEL_DTR                   13
#define DISPID_TARVEL_RTS                   14
#define DISPID_TARVEL_DSR                   15
#define DISPID_TARVEL_CTS                   16
#define DISPID_TARVEL_RI                    17
#define DISPID_TARVEL_RECVSIZETHRESHOLD     18
#define DISPID_TARVEL_VERSION               19

// _DTarvel methods.
#define DISPID_TARVEL_SEND                  40
#define DISPID_TARVEL_GETPORTFRIENDLYNAME   41
#define DISPID_TARVEL_ABOUTBOX              (-552)  // the standard DISPID_ABOUTBOX

// _DTarvelEvents.
#define DISPID_TARVEL_COMMEVENT             1

// Enumeration PARITY (the DCB parity codes).
#define TARVEL_NOPARITY                     0
#define TARVEL_ODDPARITY                    1
#define TARVEL_EVENPARITY                   2
#define TARVEL_MARKPARITY                   3
#define TARVEL_SPACEPARITY                  4

// Enumeration STOPBITS (the DCB stop-bit codes).
#define TARVEL_ONESTOPBIT                   0
#define TARVEL_ONE5STOPBITS                 1
#define TARVEL_TWOSTOPBITS                  2

// Enumeration DataMode.
#define TARVEL_BINARY                       0
#define TARVEL_TEXT                         1
#define TARVEL_BINARYJS                     2

// Enumeration SerialEvent (the communications event-mask bits).
#define TARVEL_EV_RXCHAR                    0x0001
#define TARVEL_EV_RXFLAG                    0x0002
#define TARVEL_EV_TXEMPTY                   0x0004
#define TARVEL_EV_CTS                       0x0008
#define TARVEL_EV_DSR                       0x0010
#define TARVEL_EV_RLSD                      0x0020
#define TARVEL_EV_BREAK                     0x0040
#define TARVEL_EV_ERR                       0x0080
#define TARVEL_EV_RING                      0x0100

// Enumeration Event (the kind of a CommEvent).
#define TARVEL_EVT_DISCONNECT               0
#define TARVEL_EVT_DATA                     1
#define TARVEL_EVT_SERIALEVENT              2
#define TARVEL_EVT_CONNECT                  3

#endif
