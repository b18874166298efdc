// Received bytes as the data argument of CommEvent(EVT_DATA, data), in the form DataMode
// chooses. Called on the worker thread with the bytes delivered since the previous event.
#pragma once
#include <windows.h>
#include <oaidl.h>
#include <cstdint>

// Clears out, then builds:
//  - mode BINARY (0): VT_ARRAY|VT_UI1, one dimension, lower bound 0, the n bytes unchanged;
//  - mode BINARYJS (2): VT_ARRAY|VT_VARIANT, lower bound 0, element i VT_UI1 holding byte i;
//  - any other mode (TEXT): VT_BSTR, the bytes with each 0x00 replaced by the low byte of
//    nullSubst, decoded as one piece from the system's ANSI code page (not the thread's).
// False when memory cannot be had; out is then VT_EMPTY. The bytes are left as they were:
// the substitution is made on a copy (only when a zero byte is present), so that a caller
// that has to offer the same bytes again gets the same conversion.
bool ReceivedToVariant(VARIANT* out, BYTE* bytes, DWORD n, int32_t mode, int16_t nullSubst);
