#include "send_convert.h"

#include <dispex.h>
#include <climits>
#include <memory>
#include <new>

#include "common/com_raii.h"
#include "engine/assert_report.h"
#include "engine/tx_queue.h"

bool VariantToByte(const VARIANT& value, BYTE* result)
{
    TARVEL_VERIFY(result);
    // The cast to BYTE keeps the least significant byte: -1 gives 0xFF, 300 gives 0x2C.
    switch (V_VT(&value)) {
    case VT_I1: *result = static_cast<BYTE>(V_I1(&value)); return true;
    case VT_UI1: *result = V_UI1(&value); return true;
    case VT_I2: *result = static_cast<BYTE>(V_I2(&value)); return true;
    case VT_UI2: *result = static_cast<BYTE>(V_UI2(&value)); return true;
    case VT_I4: *result = static_cast<BYTE>(V_I4(&value)); return true;
    case VT_UI4: *result = static_cast<BYTE>(V_UI4(&value)); return true;
    case VT_I8: *result = static_cast<BYTE>(V_I8(&value)); return true;
    case VT_UI8: *result = static_cast<BYTE>(V_UI8(&value)); return true;
    case VT_INT: *result = static_cast<BYTE>(V_INT(&value)); return true;
    case VT_UINT: *result = static_cast<BYTE>(V_UINT(&value)); return true;
    default: *result = 0; return false;
    }
}

namespace {

class CByteRun;

// One Send call: the queue it feeds, whether it appended anything (so that the worker is
// woken), and whether it has given up.
class CSendConversion {
public:
    CSendConversion(TxQueue& queue, UINT codePage) : queue_(queue), codePage_(codePage) {}

    int32_t Convert(const VARIANT& arg, int depth);
    bool AppendedAny() const { return appendedAny_; }

    // Appends one record. Once the conversion has given up nothing more is appended, so
    // that the bytes that did go out are never followed by bytes from beyond a gap.
    bool Append(const BYTE* bytes, DWORD length)
    {
        if (gaveUp_) return false;
        return Appended(queue_.Append(bytes, length));
    }
    // The same for a block from the queue already filled (a converted string), kept as it is.
    bool Append(TxBlock block, DWORD length)
    {
        if (gaveUp_) return false;
        return Appended(queue_.Append(std::move(block), length));
    }
    // Ends the whole conversion (nesting too deep, too many elements, or memory exhausted)
    // at every level.
    int32_t GiveUp()
    {
        gaveUp_ = true;
        return SEND_REJECTED;
    }
    // Counts one element of a walk; past kSendMaxElements the conversion gives up.
    bool Visit()
    {
        if (++visited_ <= kSendMaxElements) return true;
        GiveUp();
        return false;
    }

private:
    bool Appended(bool ok)
    {
        if (!ok) {  // out of memory: the result says so
            GiveUp();
            return false;
        }
        appendedAny_ = true;
        return true;
    }
    int32_t SendString(BSTR text);
    int32_t SendByteArray(SAFEARRAY* array);
    int32_t WalkObject(IDispatch* object, int depth);
    int32_t WalkVariantArray(SAFEARRAY* array, int depth);
    bool SendElement(const VARIANT& element, CByteRun& run, int depth);

    TxQueue& queue_;
    const UINT codePage_;
    bool appendedAny_ = false;
    bool gaveUp_ = false;
    unsigned long visited_ = 0;
};

// Consecutive integer elements of a walk, packed into records of up to kSendRunBytes bytes.
// A non-integer element flushes the run first so that the bytes keep their order.
class CByteRun {
public:
    explicit CByteRun(CSendConversion& conversion) : conversion_(conversion) {}
    CByteRun(const CByteRun&) = delete;
    CByteRun& operator=(const CByteRun&) = delete;

    void Add(BYTE b)
    {
        bytes_[count_++] = b;
        if (count_ == kSendRunBytes) Flush();
    }
    void Flush()
    {
        if (count_ == 0) return;
        conversion_.Append(bytes_, count_);
        count_ = 0;
    }

private:
    CSendConversion& conversion_;
    BYTE bytes_[kSendRunBytes];
    DWORD count_ = 0;
};

// Bounds of a one-dimensional array as an element count; false when they cannot be read.
bool ElementCount(SAFEARRAY* array, ULONG* count)
{
    LONG lower, upper;
    if (FAILED(SafeArrayGetLBound(array, 1, &lower)) || FAILED(SafeArrayGetUBound(array, 1, &upper)))
        return false;
    const long long n = static_cast<long long>(upper) - lower + 1;
    *count = n > 0 ? static_cast<ULONG>(n) : 0;
    return true;
}

// False when the descriptor names an element type other than VARIANT. The size check alone
// lets through elements of the same size (DECIMAL in 32-bit code, records of that size), whose
// bytes read as VARIANTs could name a string or object at any address. A descriptor that
// names no type at all (made by hand, without FADF_HAVEVARTYPE) is taken by its size.
bool MayHoldVariants(SAFEARRAY* array)
{
    VARTYPE type = VT_EMPTY;
    return FAILED(SafeArrayGetVartype(array, &type)) || type == VT_VARIANT;
}

int32_t CSendConversion::Convert(const VARIANT& arg, int depth)
{
    if (gaveUp_) return SEND_REJECTED;
    // Only an array that (directly or not) contains itself gets this deep: stop everything,
    // otherwise it would recurse until the stack runs out.
    if (depth > kSendMaxDepth) return GiveUp();

    const VARIANT* value = &arg;
    if (V_VT(value) == (VT_BYREF | VT_VARIANT)) {  // followed once, as VBScript passes variables
        value = V_VARIANTREF(value);
        if (!value) return SEND_REJECTED;
    }
    switch (V_VT(value)) {
    case VT_BSTR:
        return SendString(V_BSTR(value));
    case VT_DISPATCH:
        return WalkObject(V_DISPATCH(value), depth);
    case VT_ARRAY | VT_I1:
    case VT_ARRAY | VT_UI1:
        return SendByteArray(V_ARRAY(value));
    case VT_BYREF | VT_ARRAY | VT_I1:  // how VBA passes a byte-array variable
    case VT_BYREF | VT_ARRAY | VT_UI1:
        return SendByteArray(V_ARRAYREF(value) ? *V_ARRAYREF(value) : nullptr);
    case VT_ARRAY | VT_VARIANT:
        return WalkVariantArray(V_ARRAY(value), depth);
    case VT_BYREF | VT_ARRAY | VT_VARIANT:  // how VBA passes an array variable
        return WalkVariantArray(V_ARRAYREF(value) ? *V_ARRAYREF(value) : nullptr, depth);
    default: {
        BYTE b;
        if (!VariantToByte(*value, &b)) return SEND_REJECTED;
        return Append(&b, 1) ? SEND_OK : SEND_REJECTED;
    }
    }
}

// WideCharToMultiByte without best-fit substitutes (U+0100 must not become 'A'). UTF-8, UTF-7
// and a few other code pages refuse that flag (ERROR_INVALID_FLAGS) and have no best-fit
// mapping to avoid, so they convert without it; a thread whose ANSI code page is UTF-8 would
// otherwise have every string refused.
int ToCodePage(UINT codePage, const wchar_t* text, int length, char* out, int size)
{
    const int n = WideCharToMultiByte(codePage, WC_NO_BEST_FIT_CHARS, text, length, out, size, nullptr, nullptr);
    if (n != 0 || GetLastError() != ERROR_INVALID_FLAGS) return n;
    return WideCharToMultiByte(codePage, 0, text, length, out, size, nullptr, nullptr);
}

// Bytes the conversion of `length` UTF-16 units needs when the code page gives each unit one
// byte; 0 when it may give more (DBCS, UTF-8), so that the size must be asked for. Asking costs
// a whole extra pass over the string (a slow one with WC_NO_BEST_FIT_CHARS).
int SingleByteSize(UINT codePage, int length)
{
    CPINFO info;
    return GetCPInfo(codePage, &info) && info.MaxCharSize == 1 ? length : 0;
}

// The characters of the string (its stored length: embedded zeros go out, no terminator is
// added) in the conversion's code page; characters it lacks become its default character.
// One record, converted straight into the block the queue keeps.
int32_t CSendConversion::SendString(BSTR text)
{
    const UINT length = SysStringLen(text);
    if (length == 0) return SEND_OK;
    if (length > INT_MAX) return SEND_REJECTED;
    const int wide = static_cast<int>(length);
    int size = SingleByteSize(codePage_, wide);
    int written = 0;
    TxBlock block;
    if (size > 0) {
        block = queue_.TakeBlock(static_cast<DWORD>(size));
        if (!block.data) return GiveUp();
        written = ToCodePage(codePage_, text, wide, reinterpret_cast<char*>(block.data.get()), size);
    }
    if (written <= 0) {  // a multi-byte code page, or the guess was short after all
        size = ToCodePage(codePage_, text, wide, nullptr, 0);
        if (size <= 0) return SEND_REJECTED;
        block = queue_.TakeBlock(static_cast<DWORD>(size));
        if (!block.data) return GiveUp();
        written = ToCodePage(codePage_, text, wide, reinterpret_cast<char*>(block.data.get()), size);
        if (written <= 0) return SEND_REJECTED;
    }
    return Append(std::move(block), static_cast<DWORD>(written)) ? SEND_OK : SEND_REJECTED;
}

// A byte array's elements in index order, as one record.
int32_t CSendConversion::SendByteArray(SAFEARRAY* array)
{
    if (!array) return SEND_REJECTED;
    if (SafeArrayGetDim(array) > 1) return SEND_MULTIDIM;
    ULONG count;
    // A descriptor whose elements are not single bytes would make us read past its data.
    if (!ElementCount(array, &count) || SafeArrayGetElemsize(array) != 1) return SEND_REJECTED;
    if (count == 0) return SEND_OK;
    CSafeArrayLock data(array);
    // Access succeeds on a descriptor with bounds but no data; never read through it.
    if (!data.Ok() || !data.Data()) return SEND_REJECTED;
    return Append(data.As<BYTE>(), count) ? SEND_OK : SEND_REJECTED;
}

// One element of a walk: an integer joins the run; anything else closes the run and is
// converted on its own, one level deeper. False when the element was not (fully) accepted.
bool CSendConversion::SendElement(const VARIANT& element, CByteRun& run, int depth)
{
    BYTE b;
    if (VariantToByte(element, &b)) {
        run.Add(b);
        return true;
    }
    run.Flush();
    return Convert(element, depth + 1) == SEND_OK;
}

// A script array: the members of an IDispatchEx object, in the order it enumerates them.
// A member that cannot be fetched ends the walk; unaccepted members are skipped.
int32_t CSendConversion::WalkObject(IDispatch* object, int depth)
{
    if (!object) return SEND_REJECTED;
    CComRef<IDispatchEx> members;
    if (FAILED(object->QueryInterface(IID_IDispatchEx, members.PutVoid())) || !members)
        return SEND_REJECTED;

    CByteRun run(*this);
    int32_t result = SEND_OK;
    DISPID id = DISPID_STARTENUM;
    while (members->GetNextDispID(fdexEnumAll, id, &id) == S_OK && Visit()) {
        DISPPARAMS noArgs = {nullptr, nullptr, 0, 0};
        CVariant value;
        if (FAILED(members->InvokeEx(id, LOCALE_USER_DEFAULT, DISPATCH_PROPERTYGET, &noArgs, value.Put(),
                                     nullptr, nullptr))) {
            result = SEND_REJECTED;
            break;
        }
        if (!SendElement(value, run, depth)) result = SEND_REJECTED;
        if (gaveUp_) break;
    }
    run.Flush();
    return gaveUp_ ? SEND_REJECTED : result;
}

// An array of VARIANT (VBScript's Array(...), VBA arrays): the same walk over its elements
// in index order. Locked meanwhile, so that it stays in place even if an element's
// conversion calls back into script.
int32_t CSendConversion::WalkVariantArray(SAFEARRAY* array, int depth)
{
    if (!array) return SEND_REJECTED;
    if (SafeArrayGetDim(array) > 1) return SEND_MULTIDIM;
    ULONG count;
    if (!ElementCount(array, &count) || SafeArrayGetElemsize(array) != sizeof(VARIANT) ||
        !MayHoldVariants(array))
        return SEND_REJECTED;
    if (count == 0) return SEND_OK;
    CSafeArrayLock data(array);
    if (!data.Ok() || !data.Data()) return SEND_REJECTED;

    const VARIANT* elements = data.As<VARIANT>();
    CByteRun run(*this);
    int32_t result = SEND_OK;
    for (ULONG i = 0; i < count && !gaveUp_ && Visit(); ++i)
        if (!SendElement(elements[i], run, depth)) result = SEND_REJECTED;
    run.Flush();
    return gaveUp_ ? SEND_REJECTED : result;
}

}  // namespace

int32_t SendVariant(const VARIANT& arg, TxQueue& queue, HANDLE txReadyEvent, UINT codePage)
{
    CSendConversion conversion(queue, codePage);
    const int32_t result = conversion.Convert(arg, 0);
    // One signal wakes the worker for every record appended before it. A call that appended
    // nothing leaves the event alone.
    if (conversion.AppendedAny()) SetEvent(txReadyEvent);
    return result;
}
