// Persistence of the control base: stream, storage and property bag forms,
// reset through InitNew, the modified flag, and rejection of damaged data.
#include <random>

#include "fw_test_env.h"
#include "prop_blob.h"

namespace {

CComRef<IStream> NewStream() {
    CComRef<IStream> s;
    EXPECT_EQ(S_OK, CreateStreamOnHGlobal(nullptr, TRUE, s.Put()));
    return s;
}

CComRef<IStream> StreamOf(const std::vector<uint8_t>& bytes) {
    CComRef<IStream> s = NewStream();
    ULONG written = 0;
    if (!bytes.empty()) s->Write(bytes.data(), ULONG(bytes.size()), &written);
    LARGE_INTEGER zero = {};
    s->Seek(zero, STREAM_SEEK_SET, nullptr);
    return s;
}

std::vector<uint8_t> BytesOf(IStream* s) {
    STATSTG st = {};
    s->Stat(&st, STATFLAG_NONAME);
    std::vector<uint8_t> bytes(size_t(st.cbSize.QuadPart));
    LARGE_INTEGER zero = {};
    s->Seek(zero, STREAM_SEEK_SET, nullptr);
    ULONG got = 0;
    if (!bytes.empty()) s->Read(bytes.data(), ULONG(bytes.size()), &got);
    return bytes;
}

void Rewind(IStream* s) {
    LARGE_INTEGER zero = {};
    s->Seek(zero, STREAM_SEEK_SET, nullptr);
}

// A control with every persisted property away from both kinds of default.
void Customise(CSampleCtrl* c) {
    c->SetSpeed(19200);
    c->SetEnabled(false);
    c->SetSmall(-12);
    c->SetLabel(L"saved \u00e9");
    SIZEL ext = {3000, 1500};
    c->OnSetExtent(&ext);
}

void ExpectCustomised(CSampleCtrl* c) {
    EXPECT_EQ(19200, c->GetSpeed());
    EXPECT_FALSE(c->GetEnabled());
    EXPECT_EQ(-12, c->GetSmall());
    EXPECT_STREQ(L"saved \u00e9", c->GetLabel().CStr());
    EXPECT_EQ(3000, c->GetExtent().cx);
    EXPECT_EQ(1500, c->GetExtent().cy);
}

std::vector<uint8_t> SavedBytes() {
    CSampleHolder src;
    Customise(src.ctrl);
    auto ps = src.As<IPersistStreamInit>(IID_IPersistStreamInit);
    CComRef<IStream> s = NewStream();
    EXPECT_EQ(S_OK, ps->Save(s.Get(), TRUE));
    return BytesOf(s.Get());
}

}  // namespace

TEST(PersistStream, SaveThenLoadRestoresEveryProperty) {
    CSampleHolder src;
    Customise(src.ctrl);
    auto ps = src.As<IPersistStreamInit>(IID_IPersistStreamInit);
    EXPECT_EQ(S_OK, ps->IsDirty());
    CComRef<IStream> s = NewStream();
    ASSERT_EQ(S_OK, ps->Save(s.Get(), TRUE));
    EXPECT_EQ(S_FALSE, ps->IsDirty()) << "Save with fClearDirty clears the flag";
    ULARGE_INTEGER max = {};
    EXPECT_EQ(S_OK, ps->GetSizeMax(&max));
    EXPECT_EQ(BytesOf(s.Get()).size(), max.QuadPart);

    CSampleHolder dst;
    auto pd = dst.As<IPersistStreamInit>(IID_IPersistStreamInit);
    Rewind(s.Get());
    ASSERT_EQ(S_OK, pd->Load(s.Get()));
    ExpectCustomised(dst.ctrl);
    EXPECT_EQ(kSampleVersion, dst.ctrl->lastExchangeVersion);
    EXPECT_EQ(S_FALSE, pd->IsDirty());

    CLSID clsid = {};
    EXPECT_EQ(S_OK, pd->GetClassID(&clsid));
    EXPECT_TRUE(IsEqualCLSID(CLSID_SampleCtrl, clsid));
}

TEST(PersistStream, SaveWithoutClearDirtyKeepsTheFlag) {
    CSampleHolder src;
    src.ctrl->SetSpeed(300);
    auto ps = src.As<IPersistStreamInit>(IID_IPersistStreamInit);
    CComRef<IStream> s = NewStream();
    ASSERT_EQ(S_OK, ps->Save(s.Get(), FALSE));
    EXPECT_EQ(S_OK, ps->IsDirty());
}

TEST(PersistStream, LoadReadsOnlyItsOwnBytesOfASharedStream) {
    std::vector<uint8_t> one = SavedBytes();
    std::vector<uint8_t> two = one;
    two.insert(two.end(), one.begin(), one.end());
    two.push_back(0x5A);
    CComRef<IStream> s = StreamOf(two);

    CSampleHolder a, b;
    ASSERT_EQ(S_OK, a.As<IPersistStreamInit>(IID_IPersistStreamInit)->Load(s.Get()));
    ASSERT_EQ(S_OK, b.As<IPersistStreamInit>(IID_IPersistStreamInit)->Load(s.Get()));
    ExpectCustomised(a.ctrl);
    ExpectCustomised(b.ctrl);
    uint8_t rest = 0;
    ULONG got = 0;
    s->Read(&rest, 1, &got);
    EXPECT_EQ(1u, got);
    EXPECT_EQ(0x5A, rest);
}

TEST(PersistStream, InitNewResetsToTheExchangeDefaultsAndKeepsTheExtent) {
    CSampleHolder h;
    EXPECT_EQ(1, h.ctrl->GetSpeed()) << "construction default";
    SIZEL ext = {1234, 567};
    h.ctrl->OnSetExtent(&ext);
    h.ctrl->SetLabel(L"changed");
    auto ps = h.As<IPersistStreamInit>(IID_IPersistStreamInit);
    ASSERT_EQ(S_OK, ps->InitNew());
    EXPECT_EQ(9600, h.ctrl->GetSpeed());
    EXPECT_TRUE(h.ctrl->GetEnabled());
    EXPECT_EQ(5, h.ctrl->GetSmall());
    EXPECT_STREQ(L"hello", h.ctrl->GetLabel().CStr());
    EXPECT_EQ(kSampleVersion, h.ctrl->lastExchangeVersion);
    EXPECT_EQ(1234, h.ctrl->GetExtent().cx);
    EXPECT_EQ(S_FALSE, ps->IsDirty());
}

TEST(PersistStream, OlderDataWithoutThePropertiesKeepsCurrentValues) {
    fwpersist::CPropertyBlob blob;
    blob.Set(u"_Version", fwpersist::Value::UInt32(0x00010001));
    blob.Set(u"_ExtentX", fwpersist::Value::Int32(2000));
    blob.Set(u"_ExtentY", fwpersist::Value::Int32(1000));
    blob.Set(u"_StockProps", fwpersist::Value::Int32(0));
    CSampleHolder h;
    ASSERT_EQ(S_OK, h.As<IPersistStreamInit>(IID_IPersistStreamInit)->Load(StreamOf(blob.Serialise()).Get()));
    EXPECT_EQ(0x00010001u, h.ctrl->lastExchangeVersion);
    EXPECT_EQ(1, h.ctrl->GetSpeed());
    EXPECT_STREQ(L"new", h.ctrl->GetLabel().CStr());
    EXPECT_EQ(2000, h.ctrl->GetExtent().cx);
}

TEST(PersistStream, MissingPropertiesTakeDefaultsAndStoredTypesAreCoerced) {
    fwpersist::CPropertyBlob blob;
    blob.Set(u"_Version", fwpersist::Value::UInt32(kSampleVersion));
    blob.Set(u"Rate", fwpersist::Value::Int16(1200));  // stored narrower than read
    CSampleHolder h;
    ASSERT_EQ(S_OK, h.As<IPersistStreamInit>(IID_IPersistStreamInit)->Load(StreamOf(blob.Serialise()).Get()));
    EXPECT_EQ(1200, h.ctrl->GetSpeed());
    EXPECT_EQ(5, h.ctrl->GetSmall()) << "absent: default";
    EXPECT_STREQ(L"hello", h.ctrl->GetLabel().CStr());
}

TEST(PersistStream, AStoredValueThatCannotBeCoercedFailsTheLoadAndChangesNothing) {
    // Good values before and after the bad one, and the extent exchanged after it: none of
    // them may be taken when the load fails.
    fwpersist::CPropertyBlob blob;
    blob.Set(u"_Version", fwpersist::Value::UInt32(kSampleVersion));
    blob.Set(u"Rate", fwpersist::Value::Int32(19200));
    blob.Set(u"Small", fwpersist::Value::Int32(100000));
    blob.Set(u"Label", fwpersist::Value::String(u"loaded"));
    blob.Set(u"_ExtentX", fwpersist::Value::Int32(3000));
    blob.Set(u"_ExtentY", fwpersist::Value::Int32(1500));
    CSampleHolder h;
    const SIZEL extent = h.ctrl->GetExtent();
    auto expectUnchanged = [&] {
        EXPECT_EQ(1, h.ctrl->GetSpeed());
        EXPECT_FALSE(h.ctrl->GetEnabled());
        EXPECT_EQ(0, h.ctrl->GetSmall());
        EXPECT_STREQ(L"new", h.ctrl->GetLabel().CStr());
        EXPECT_EQ(extent.cx, h.ctrl->GetExtent().cx);
        EXPECT_EQ(0u, h.ctrl->lastExchangeVersion);
    };
    auto ps = h.As<IPersistStreamInit>(IID_IPersistStreamInit);
    EXPECT_EQ(DISP_E_OVERFLOW, ps->Load(StreamOf(blob.Serialise()).Get()));
    expectUnchanged();
    blob.Set(u"Small", fwpersist::Value::String(u"abc"));
    EXPECT_EQ(DISP_E_TYPEMISMATCH, ps->Load(StreamOf(blob.Serialise()).Get()));
    expectUnchanged();
    blob.Set(u"Small", fwpersist::Value::Int16(-3));
    ASSERT_EQ(S_OK, ps->Load(StreamOf(blob.Serialise()).Get()));
    EXPECT_EQ(19200, h.ctrl->GetSpeed());
    EXPECT_EQ(-3, h.ctrl->GetSmall());
    EXPECT_STREQ(L"loaded", h.ctrl->GetLabel().CStr());
    EXPECT_EQ(3000, h.ctrl->GetExtent().cx);
    EXPECT_EQ(kSampleVersion, h.ctrl->lastExchangeVersion);
}

TEST(PersistStream, TruncatedDataIsRejectedAtEveryLength) {
    std::vector<uint8_t> good = SavedBytes();
    for (size_t n = 0; n < good.size(); ++n) {
        CSampleHolder h;
        std::vector<uint8_t> cut(good.begin(), good.begin() + n);
        HRESULT hr = h.As<IPersistStreamInit>(IID_IPersistStreamInit)->Load(StreamOf(cut).Get());
        EXPECT_EQ(STG_E_READFAULT, hr) << n;
        EXPECT_EQ(1, h.ctrl->GetSpeed()) << n;
    }
}

TEST(PersistStream, MalformedDataIsRejected) {
    std::vector<uint8_t> good = SavedBytes();
    CSampleHolder h;
    auto ps = h.As<IPersistStreamInit>(IID_IPersistStreamInit);

    std::vector<uint8_t> bad = good;
    bad[0] ^= 0xFF;
    EXPECT_EQ(STG_E_INVALIDHEADER, ps->Load(StreamOf(bad).Get()));
    bad = good;
    bad[4] = 9;
    EXPECT_EQ(STG_E_OLDFORMAT, ps->Load(StreamOf(bad).Get()));
    bad = good;
    bad[11] = 0x7F;  // payload length far beyond the limit
    EXPECT_EQ(STG_E_DOCFILECORRUPT, ps->Load(StreamOf(bad).Get()));
    bad = good;
    bad[6] = uint8_t(bad[6] + 1);  // one entry more than present
    EXPECT_EQ(STG_E_DOCFILECORRUPT, ps->Load(StreamOf(bad).Get()));
    EXPECT_EQ(1, h.ctrl->GetSpeed());
    EXPECT_EQ(E_POINTER, ps->Load(static_cast<IStream*>(nullptr)));
}

TEST(PersistStream, RandomDataNeverCrashesAndNeverLoadsGarbageSilently) {
    std::vector<uint8_t> good = SavedBytes();
    std::mt19937 rng(2024);
    int rejected = 0;
    for (int round = 0; round < 300; ++round) {
        std::vector<uint8_t> bytes;
        if (round % 2 == 0) {
            bytes.resize(rng() % 64);
            for (uint8_t& b : bytes) b = uint8_t(rng());
        } else {
            bytes = good;
            for (int i = 0; i < 3; ++i) bytes[rng() % bytes.size()] = uint8_t(rng());
        }
        CSampleHolder h;
        HRESULT hr = h.As<IPersistStreamInit>(IID_IPersistStreamInit)->Load(StreamOf(bytes).Get());
        if (FAILED(hr)) {
            ++rejected;
            // Damaged framing and values of a wrong type alike: nothing changes.
            EXPECT_EQ(1, h.ctrl->GetSpeed()) << round;
            EXPECT_STREQ(L"new", h.ctrl->GetLabel().CStr()) << round;
        }
    }
    EXPECT_GE(rejected, 150) << "every purely random buffer must be refused";
}

// ---- Storage -----------------------------------------------------------------

TEST(PersistStorage, SaveIntoADocfileAndLoadBack) {
    CComRef<ILockBytes> bytes;
    ASSERT_EQ(S_OK, CreateILockBytesOnHGlobal(nullptr, TRUE, bytes.Put()));
    CComRef<IStorage> stg;
    ASSERT_EQ(S_OK, StgCreateDocfileOnILockBytes(bytes.Get(), STGM_CREATE | STGM_READWRITE | STGM_SHARE_EXCLUSIVE,
                                                 0, stg.Put()));
    {
        CSampleHolder src;
        auto pstg = src.As<IPersistStorage>(IID_IPersistStorage);
        ASSERT_EQ(S_OK, pstg->InitNew(stg.Get()));
        EXPECT_EQ(CO_E_ALREADYINITIALIZED, pstg->InitNew(stg.Get()));
        Customise(src.ctrl);
        ASSERT_EQ(S_OK, pstg->Save(stg.Get(), TRUE));
        EXPECT_EQ(S_OK, pstg->IsDirty()) << "dirty until SaveCompleted";
        ASSERT_EQ(S_OK, pstg->SaveCompleted(nullptr));
        EXPECT_EQ(S_FALSE, pstg->IsDirty());
        EXPECT_EQ(S_OK, pstg->HandsOffStorage());
    }
    ASSERT_EQ(S_OK, stg->Commit(STGC_DEFAULT));
    CLSID stored = {};
    EXPECT_EQ(S_OK, ReadClassStg(stg.Get(), &stored));
    EXPECT_TRUE(IsEqualCLSID(CLSID_SampleCtrl, stored));

    CSampleHolder dst;
    ASSERT_EQ(S_OK, dst.As<IPersistStorage>(IID_IPersistStorage)->Load(stg.Get()));
    ExpectCustomised(dst.ctrl);
}

TEST(PersistStorage, AStorageWithoutTheContentsStreamIsRefused) {
    CComRef<ILockBytes> bytes;
    ASSERT_EQ(S_OK, CreateILockBytesOnHGlobal(nullptr, TRUE, bytes.Put()));
    CComRef<IStorage> stg;
    ASSERT_EQ(S_OK, StgCreateDocfileOnILockBytes(bytes.Get(), STGM_CREATE | STGM_READWRITE | STGM_SHARE_EXCLUSIVE,
                                                 0, stg.Put()));
    CSampleHolder h;
    EXPECT_TRUE(FAILED(h.As<IPersistStorage>(IID_IPersistStorage)->Load(stg.Get())));
}

// ---- Property bag ------------------------------------------------------------

// The bag refuses unsigned types, as the hosts' bags (a form's text, a page's <param>) know none.
TEST(PersistPropertyBag, SaveWritesConventionalNamesInExchangeOrder) {
    CSampleHolder src;
    Customise(src.ctrl);
    auto* bag = new CTestPropertyBag;
    bag->refusesUnsigned = true;
    CComRef<IPropertyBag> bagRef = CComRef<IPropertyBag>::Adopt(bag);
    auto ppb = src.As<IPersistPropertyBag>(IID_IPersistPropertyBag);
    ASSERT_EQ(S_OK, ppb->Save(bag, TRUE, TRUE));
    EXPECT_EQ(S_FALSE, src.As<IPersistStreamInit>(IID_IPersistStreamInit)->IsDirty());

    std::vector<std::wstring> expected = {L"_Version", L"Rate", L"Enabled", L"Small", L"Label",
                                          L"_ExtentX", L"_ExtentY", L"_StockProps"};
    EXPECT_EQ(expected, bag->order);
    EXPECT_EQ(VT_I4, bag->Find(L"_Version")->vt) << "signed, with the version's bits";
    EXPECT_EQ(LONG(kSampleVersion), bag->Find(L"_Version")->lVal);
    EXPECT_EQ(19200, bag->Find(L"Rate")->lVal);
    EXPECT_EQ(VT_BOOL, bag->Find(L"Enabled")->vt);
    EXPECT_EQ(3000, bag->Find(L"_ExtentX")->lVal);
    EXPECT_EQ(0, bag->Find(L"_StockProps")->lVal);

    CSampleHolder dst;
    ASSERT_EQ(S_OK, dst.As<IPersistPropertyBag>(IID_IPersistPropertyBag)->Load(bag, nullptr));
    ExpectCustomised(dst.ctrl);
}

TEST(PersistPropertyBag, HtmlParamTextLoadsAndBadValuesFallBackToDefaults) {
    auto* bag = new CTestPropertyBag;
    CComRef<IPropertyBag> bagRef = CComRef<IPropertyBag>::Adopt(bag);
    bag->SetText(L"_version", L"131075");  // 0x00020003
    bag->SetText(L"RATE", L"38400");
    bag->SetText(L"Enabled", L"0");
    bag->SetText(L"Small", L"not a number");
    bag->SetText(L"_ExtentX", L"5000");
    bag->SetText(L"_ExtentY", L"2500");
    auto* log = new CTestErrorLog;
    CComRef<IErrorLog> logRef = CComRef<IErrorLog>::Adopt(log);

    CSampleHolder h;
    h.ctrl->SetSmall(77);
    ASSERT_EQ(S_OK, h.As<IPersistPropertyBag>(IID_IPersistPropertyBag)->Load(bag, log));
    EXPECT_EQ(38400, h.ctrl->GetSpeed());
    EXPECT_FALSE(h.ctrl->GetEnabled());
    EXPECT_EQ(5, h.ctrl->GetSmall()) << "unconvertible value: default";
    EXPECT_STREQ(L"hello", h.ctrl->GetLabel().CStr()) << "absent: default";
    EXPECT_EQ(5000, h.ctrl->GetExtent().cx);
    ASSERT_EQ(1u, log->names.size());
    EXPECT_EQ(L"Small", log->names[0]);
}

TEST(PersistPropertyBag, ABagWithoutAVersionLoadsAsTheCurrentVersion) {
    auto* bag = new CTestPropertyBag;
    CComRef<IPropertyBag> bagRef = CComRef<IPropertyBag>::Adopt(bag);
    bag->SetText(L"Rate", L"600");
    CSampleHolder h;
    ASSERT_EQ(S_OK, h.As<IPersistPropertyBag>(IID_IPersistPropertyBag)->Load(bag, nullptr));
    EXPECT_EQ(kSampleVersion, h.ctrl->lastExchangeVersion);
    EXPECT_EQ(600, h.ctrl->GetSpeed());
}
