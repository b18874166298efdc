#include "received_convert.h"

#include <climits>
#include <cstring>
#include <memory>
#include <new>

#include "common/com_raii.h"
#include "engine/assert_report.h"
#include "engine/port_settings.h"

namespace {

// The platform sizes arrays and strings in 32 bits: an element count whose byte size does
// not fit would wrap into a small block that the copy then overruns.
bool FitsInBytes(DWORD count, size_t elementSize)
{
    return count <= (INT_MAX - 64) / elementSize;
}

SAFEARRAY* CreateVector(VARTYPE type, DWORD n, size_t elementSize)
{
    if (!FitsInBytes(n, elementSize)) return nullptr;
    SAFEARRAYBOUND bound = {n, 0};
    return SafeArrayCreate(type, 1, &bound);
}

bool ToByteArray(VARIANT* out, const BYTE* bytes, DWORD n)
{
    CSafeArray array(CreateVector(VT_UI1, n, 1));
    if (!array) return false;
    {
        CSafeArrayLock data(array.Get());
        if (!data.Ok()) return false;
        if (n) memcpy(data.Data(), bytes, n);
    }
    V_VT(out) = VT_ARRAY | VT_UI1;
    V_ARRAY(out) = array.Detach();
    return true;
}

// The form script engines can index: each byte in a VARIANT of its own.
bool ToVariantArray(VARIANT* out, const BYTE* bytes, DWORD n)
{
    CSafeArray array(CreateVector(VT_VARIANT, n, sizeof(VARIANT)));
    if (!array) return false;
    {
        CSafeArrayLock data(array.Get());
        if (!data.Ok()) return false;
        VARIANT* elements = data.As<VARIANT>();  // created zeroed: VT_EMPTY
        for (DWORD i = 0; i < n; ++i) {
            V_VT(&elements[i]) = VT_UI1;
            V_UI1(&elements[i]) = bytes[i];
        }
    }
    V_VT(out) = VT_ARRAY | VT_VARIANT;
    V_ARRAY(out) = array.Detach();
    return true;
}

// Decodes from the system's ANSI code page as one piece, so that a multi-byte character
// inside the run stays whole. Zero bytes are replaced first, on a copy.
bool ToText(VARIANT* out, const BYTE* bytes, DWORD n, BYTE nullSubst)
{
    // At most one UTF-16 unit per byte, and the string's size in bytes must fit.
    if (!FitsInBytes(n, sizeof(WCHAR))) return false;
    std::unique_ptr<BYTE[]> substituted;
    const BYTE* source = bytes;
    if (n && memchr(bytes, 0, n)) {
        substituted.reset(new (std::nothrow) BYTE[n]);
        if (!substituted) return false;
        for (DWORD i = 0; i < n; ++i) substituted[i] = bytes[i] ? bytes[i] : nullSubst;
        source = substituted.get();
    }
    const auto* narrow = reinterpret_cast<const char*>(source);
    const int length = n ? MultiByteToWideChar(CP_ACP, 0, narrow, static_cast<int>(n), nullptr, 0) : 0;
    if (n && length <= 0) return false;
    CBstr text = CBstr::Attach(SysAllocStringLen(nullptr, static_cast<UINT>(length)));
    if (!text) return false;
    if (length && MultiByteToWideChar(CP_ACP, 0, narrow, static_cast<int>(n), text.Get(), length) != length)
        return false;
    V_VT(out) = VT_BSTR;
    V_BSTR(out) = text.Detach();
    return true;
}

}  // namespace

bool ReceivedToVariant(VARIANT* out, BYTE* bytes, DWORD n, int32_t mode, int16_t nullSubst)
{
    HRESULT rc = VariantClear(out);
    TARVEL_VERIFY(rc==S_OK);
    if (mode == BINARY) return ToByteArray(out, bytes, n);
    if (mode == BINARYJS) return ToVariantArray(out, bytes, n);
    return ToText(out, bytes, n, static_cast<BYTE>(nullSubst));
}
