// The contents of the type library TarvelLib, as one table: every type info in library
// order with its members. mktypelib writes exactly this, nothing else.
#pragma once
#include <windows.h>
#include <oaidl.h>
#include <vector>
#include "dispids.h"
#include "tarvel_ids.h"

namespace tlb {

// The type of a member, a parameter or a result: a base automation type or one of
// the library's enumerations (by name).
struct TypeRef {
    VARTYPE vt;
    const wchar_t* enumName;  // set: VT_USERDEFINED referring to that enumeration
};
inline constexpr TypeRef kI2{VT_I2, nullptr};
inline constexpr TypeRef kI4{VT_I4, nullptr};
inline constexpr TypeRef kBool{VT_BOOL, nullptr};
inline constexpr TypeRef kBstr{VT_BSTR, nullptr};
inline constexpr TypeRef kVariant{VT_VARIANT, nullptr};
inline constexpr TypeRef kVoid{VT_VOID, nullptr};
constexpr TypeRef EnumType(const wchar_t* name) { return TypeRef{VT_USERDEFINED, name}; }

struct EnumValue {
    const wchar_t* name;
    LONG value;
    const wchar_t* help;
};

struct Param {
    const wchar_t* name;
    TypeRef type;
};

// A member of a dispinterface: a property (VAR_DISPATCH) or a method (FUNC_DISPATCH).
struct DispMember {
    bool isMethod;
    DISPID id;
    const wchar_t* name;
    TypeRef type;  // property type, or method result
    std::vector<Param> params;
};
inline DispMember Property(DISPID id, const wchar_t* name, TypeRef type) { return {false, id, name, type, {}}; }
inline DispMember Method(DISPID id, const wchar_t* name, TypeRef result, std::vector<Param> params = {}) {
    return {true, id, name, result, std::move(params)};
}

// An interface a coclass implements, by the name of its type info.
struct ImplRef {
    const wchar_t* name;
    INT flags;  // IMPLTYPEFLAG_*
};

struct TypeInfoDef {
    TYPEKIND kind;
    const wchar_t* name;
    GUID guid;  // GUID_NULL for the enumerations
    WORD flags; // TYPEFLAG_*
    const wchar_t* help;
    std::vector<EnumValue> values;     // TKIND_ENUM
    std::vector<DispMember> members;   // TKIND_DISPATCH
    std::vector<ImplRef> impls;        // TKIND_COCLASS
};

struct LibraryDef {
    const wchar_t* name;
    GUID guid;
    WORD major, minor;
    LCID lcid;
    const wchar_t* help;
};

inline const LibraryDef kLibrary{L"TarvelLib", LIBID_TarvelLib, TARVEL_LIB_MAJOR, TARVEL_LIB_MINOR, 0x0409,
                                 L"" TARVEL_LIB_DESCRIPTION};

inline const std::vector<TypeInfoDef>& TypeInfos() {
    static const std::vector<TypeInfoDef> table = {
        {TKIND_ENUM, L"PARITY", GUID_NULL, 0, nullptr,
         {
             {L"NOPARITY", TARVEL_NOPARITY, L"NOPARITY"},
             {L"ODDPARITY", TARVEL_ODDPARITY, L"ODDPARITY"},
             {L"EVENPARITY", TARVEL_EVENPARITY, L"EVENPARITY"},
             {L"MARKPARITY", TARVEL_MARKPARITY, L"MARKPARITY"},
             {L"SPACEPARITY", TARVEL_SPACEPARITY, L"SPACEPARITY"},
         },
         {}, {}},
        {TKIND_ENUM, L"STOPBITS", GUID_NULL, 0, nullptr,
         {
             {L"ONESTOPBIT", TARVEL_ONESTOPBIT, L"1 Stop Bit"},
             {L"ONE5STOPBITS", TARVEL_ONE5STOPBITS, L"1.5 Stop Bits"},
             {L"TWOSTOPBITS", TARVEL_TWOSTOPBITS, L"2 Stop Bits"},
         },
         {}, {}},
        {TKIND_ENUM, L"DataMode", GUID_NULL, 0, nullptr,
         {
             {L"BINARY", TARVEL_BINARY, L"Binary mode"},
             {L"TEXT", TARVEL_TEXT, L"Text mode"},
             {L"BINARYJS", TARVEL_BINARYJS, L"Javascript binary mode"},
         },
         {}, {}},
        // Members listed alphabetically; the values are the event-mask bits.
        {TKIND_ENUM, L"SerialEvent", GUID_NULL, 0, nullptr,
         {
             {L"EV_BREAK", TARVEL_EV_BREAK, L"A break was detected on input"},
             {L"EV_CTS", TARVEL_EV_CTS, L"The CTS signal changed state"},
             {L"EV_DSR", TARVEL_EV_DSR, L"The DSR signal changed state"},
             {L"EV_ERR", TARVEL_EV_ERR, L"A line-status error occurred (framing, overrun or parity)"},
             {L"EV_RING", TARVEL_EV_RING, L"A ring indicator was detected"},
             {L"EV_RLSD", TARVEL_EV_RLSD, L"The RLSD signal changed state"},
             {L"EV_RXCHAR", TARVEL_EV_RXCHAR, L"A character was received and placed in the input buffer"},
             {L"EV_RXFLAG", TARVEL_EV_RXFLAG, L"The event character was received and placed in the input buffer"},
             {L"EV_TXEMPTY", TARVEL_EV_TXEMPTY, L"The last character in the output buffer was sent"},
         },
         {}, {}},
        {TKIND_ENUM, L"Event", GUID_NULL, 0, nullptr,
         {
             {L"EVT_DISCONNECT", TARVEL_EVT_DISCONNECT, L"Serial port disconnected"},
             {L"EVT_DATA", TARVEL_EVT_DATA, L"Incoming data"},
             {L"EVT_SERIALEVENT", TARVEL_EVT_SERIALEVENT, L"Serial port event"},
             {L"EVT_CONNECT", TARVEL_EVT_CONNECT, L"Serial port connected"},
         },
         {}, {}},
        {TKIND_DISPATCH, L"_DTarvel", DIID__DTarvel, TYPEFLAG_FHIDDEN | TYPEFLAG_FDISPATCHABLE,
         L"Dispatch interface for Tarvel Control",
         {},
         {
             Property(DISPID_TARVEL_PORT, L"Port", kI4),
             Property(DISPID_TARVEL_BAUDRATE, L"BaudRate", kI4),
             Property(DISPID_TARVEL_DATABITS, L"DataBits", kI4),
             Property(DISPID_TARVEL_PARITY, L"Parity", EnumType(L"PARITY")),
             Property(DISPID_TARVEL_STOPBITS, L"StopBits", EnumType(L"STOPBITS")),
             Property(DISPID_TARVEL_ERROR, L"Error", kI4),
             Property(DISPID_TARVEL_ERRORDESCRIPTION, L"ErrorDescription", kBstr),
             Property(DISPID_TARVEL_CONNECTED, L"Connected", kBool),
             Property(DISPID_TARVEL_PORTSAVAILABLE, L"PortsAvailable", kBstr),
             Property(DISPID_TARVEL_DATAMODE, L"DataMode", EnumType(L"DataMode")),
             Property(DISPID_TARVEL_NULLSUBST, L"NullSubst", kI2),
             Property(DISPID_TARVEL_RECVINTERVALTIMEOUT, L"RecvIntervalTimeout", kI2),
             Property(DISPID_TARVEL_DTR, L"DTR", kBool),
             Property(DISPID_TARVEL_RTS, L"RTS", kBool),
             Property(DISPID_TARVEL_DSR, L"DSR", kBool),
             Property(DISPID_TARVEL_CTS, L"CTS", kBool),
             Property(DISPID_TARVEL_RI, L"RI", kBool),
             Property(DISPID_TARVEL_RECVSIZETHRESHOLD, L"RecvSizeThreshold", kI4),
             Property(DISPID_TARVEL_VERSION, L"Version", kBstr),
             Method(DISPID_TARVEL_SEND, L"Send", kI4, {{L"data", kVariant}}),
             Method(DISPID_TARVEL_GETPORTFRIENDLYNAME, L"GetPortFriendlyName", kBstr, {{L"Port", kI4}}),
             Method(DISPID_TARVEL_ABOUTBOX, L"AboutBox", kVoid),
         },
         {}},
        {TKIND_DISPATCH, L"_DTarvelEvents", DIID__DTarvelEvents, TYPEFLAG_FDISPATCHABLE,
         L"Event interface for Tarvel Control",
         {},
         {
             Method(DISPID_TARVEL_COMMEVENT, L"CommEvent", kVoid, {{L"Evt", EnumType(L"Event")}, {L"data", kVariant}}),
         },
         {}},
        {TKIND_COCLASS, L"Tarvel", CLSID_Tarvel, TYPEFLAG_FCANCREATE | TYPEFLAG_FCONTROL, L"Tarvel Control",
         {},
         {},
         {
             {L"_DTarvel", IMPLTYPEFLAG_FDEFAULT},
             {L"_DTarvelEvents", IMPLTYPEFLAG_FDEFAULT | IMPLTYPEFLAG_FSOURCE},
         }},
    };
    return table;
}

}  // namespace tlb
