// Send's argument conversion: one automation value becomes byte records in the transmit
// queue. Strings, byte arrays, integers, script arrays (objects with IDispatchEx) and
// arrays of VARIANT (as VBScript and VBA pass them) are accepted.
#pragma once
#include <windows.h>
#include <oaidl.h>
#include <cstdint>

class TxQueue;

// Send's result codes.
enum SendResult : int32_t {
    SEND_OK = 0,        // the whole argument was converted and appended
    SEND_REJECTED = 2,  // a type, an element or the object was not accepted (see SendVariant)
    SEND_MULTIDIM = 3,  // an array with more than one dimension; nothing appended
};

// Integer elements of a walk are gathered into records of at most this many bytes.
constexpr DWORD kSendRunBytes = 1000;
// Deepest nesting of arrays inside arrays that a walk follows; the top-level argument is
// level 0. Deeper nesting (an array that contains itself) gives up with SEND_REJECTED.
constexpr int kSendMaxDepth = 32;
// Elements one Send may visit, all walks and levels together (a byte array or a string counts
// as one element). The depth bound alone does not bound the work: arrays that share their
// sub-arrays (a = [b, b], b = [c, c], ... 31 levels) would mean 2^32 visits on the host's
// thread. Past this many the conversion gives up with SEND_REJECTED; real data stays far below.
constexpr unsigned long kSendMaxElements = 16ul * 1024 * 1024;

// The scalar rule: the integer types (VT_I1, VT_UI1, VT_I2, VT_UI2, VT_I4, VT_UI4, VT_I8,
// VT_UI8, VT_INT, VT_UINT) give their least significant byte in two's complement; every
// other type, by-reference ones included, gives 0 and false. result is required.
bool VariantToByte(const VARIANT& value, BYTE* result);

// Converts arg, appends its bytes to queue in order and signals txReadyEvent when anything
// was appended. Returns a SendResult. Beyond the plain type rules:
//  - byte arrays and arrays of VARIANT are also taken by reference (VT_BYREF|VT_ARRAY|...),
//    the way VBA passes an array variable to a late-bound call;
//  - a null object, a null by-reference pointer, a null array, an array whose data cannot be
//    accessed, one that has elements but no data, or an array labelled VARIANT whose
//    descriptor names another element type appends nothing from that value and gives
//    SEND_REJECTED;
//  - nesting deeper than kSendMaxDepth, more than kSendMaxElements elements, or memory that
//    cannot be had (a record, the text block), ends the whole conversion at once with
//    SEND_REJECTED; what was appended before stays queued, nothing is appended after it.
// Strings are converted into codePage (Send: CP_THREAD_ACP, the calling thread's ANSI code
// page); characters it lacks become its default character, without best-fit substitutes
// where the code page allows that choice (UTF-8, UTF-7 and a few others do not).
int32_t SendVariant(const VARIANT& arg, TxQueue& queue, HANDLE txReadyEvent, UINT codePage = CP_THREAD_ACP);
