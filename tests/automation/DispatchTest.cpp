// Late binding through the type information, the error frame and the object base, on a
// small dual interface of the test's own, inside the test process.
#include <new>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "automation/AutoObject.h"
#include "foundation/CodePage.h"
#include "foundation/Errors.h"

// {5E1A0F0C-7B7E-4C55-9C1E-0A7E3D1B2C40}
inline constexpr IID IID_ITestCalc = {
    0x5E1A0F0C, 0x7B7E, 0x4C55, {0x9C, 0x1E, 0x0A, 0x7E, 0x3D, 0x1B, 0x2C, 0x40}};

struct ITestCalc : IDispatch {
  virtual HRESULT STDMETHODCALLTYPE Add(LONG a, LONG b, LONG* result) = 0;
  virtual HRESULT STDMETHODCALLTYPE Echo(BSTR text, BSTR* result) = 0;
  virtual HRESULT STDMETHODCALLTYPE IsPositive(LONG value, VARIANT_BOOL* result) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_Role(SIGN_ROLE_TYPES* Value) = 0;
  virtual HRESULT STDMETHODCALLTYPE put_Role(SIGN_ROLE_TYPES Value) = 0;
  virtual HRESULT STDMETHODCALLTYPE Fail(BSTR message) = 0;
  virtual HRESULT STDMETHODCALLTYPE FailWithStatus(LONG status) = 0;
  virtual HRESULT STDMETHODCALLTYPE Exhaust() = 0;
  virtual HRESULT STDMETHODCALLTYPE RoleOf(ITestCalc* other, LONG* result) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_LastError(BSTR* Value) = 0;

 protected:
  ~ITestCalc() = default;
};

// A second interface of the same object, as the key object has IVorlentKeyContext.
// {5E1A0F0C-7B7E-4C55-9C1E-0A7E3D1B2C41}
inline constexpr IID IID_ITestSecret = {
    0x5E1A0F0C, 0x7B7E, 0x4C55, {0x9C, 0x1E, 0x0A, 0x7E, 0x3D, 0x1B, 0x2C, 0x41}};

struct ITestSecret : IDispatch {
  virtual HRESULT STDMETHODCALLTYPE GetSecret(LONG* secret) = 0;

 protected:
  ~ITestSecret() = default;
};

template <>
struct QvInterfaceId<ITestCalc> {
  static constexpr const IID& iid() { return IID_ITestCalc; }
};

namespace {

using qv::operator""_cp;

qv::CTypeInfo* TestCalcInfo() {
  static qv::CTypeInfo info(
      u"ITestCalc", IID_ITestCalc,
      {QV_METHOD(ITestCalc, Add, 1, u"a", u"b"), QV_METHOD(ITestCalc, Echo, 2, u"text"),
       QV_METHOD(ITestCalc, IsPositive, 3, u"value"), QV_PROPGET(ITestCalc, Role, 4),
       QV_PROPPUT(ITestCalc, Role, 4), QV_METHOD(ITestCalc, Fail, 5, u"message"),
       QV_METHOD(ITestCalc, FailWithStatus, 6, u"status"), QV_METHOD(ITestCalc, Exhaust, 7),
       QV_METHOD(ITestCalc, RoleOf, 8, u"other"), QV_PROPGET(ITestCalc, LastError, 299)});
  return &info;
}

class CTestCalc final : public qv::CAutoDual<ITestCalc>, public ITestSecret {
 public:
  CTestCalc() : CAutoDual<ITestCalc>({}, TestCalcInfo()) {
    AddInterface(IID_ITestSecret, static_cast<ITestSecret*>(this));
  }

  QV_AUTO_DUAL_SLOTS(ITestCalc)

  HRESULT STDMETHODCALLTYPE GetSecret(LONG* secret) override {
    return Frame([&] { *qv::CheckOut(secret, "secret") = 4242; });
  }

  HRESULT STDMETHODCALLTYPE Add(LONG a, LONG b, LONG* result) override {
    return Frame([&] { *qv::CheckOut(result, "result") = a + b; });
  }
  HRESULT STDMETHODCALLTYPE Echo(BSTR text, BSTR* result) override {
    return Frame([&] { *qv::CheckOut(result, "result") = qv::TextToBstr(qv::BstrToText(text)); });
  }
  HRESULT STDMETHODCALLTYPE IsPositive(LONG value, VARIANT_BOOL* result) override {
    return Frame([&] { *qv::CheckOut(result, "result") = qv::ToVariantBool(value > 0); });
  }
  HRESULT STDMETHODCALLTYPE get_Role(SIGN_ROLE_TYPES* Value) override {
    return Frame([&] { *qv::CheckOut(Value, "Value") = role_; });
  }
  HRESULT STDMETHODCALLTYPE put_Role(SIGN_ROLE_TYPES Value) override {
    return Frame([&] { role_ = Value; });
  }
  HRESULT STDMETHODCALLTYPE Fail(BSTR message) override {
    return Frame([&] { qv::RaiseError(qv::BstrToText(message)); });
  }
  HRESULT STDMETHODCALLTYPE FailWithStatus(LONG status) override {
    return Frame([&] { throw qv::COSException("Системная ошибка"_cp, status); });
  }
  HRESULT STDMETHODCALLTYPE Exhaust() override {
    return Frame([&] { throw std::bad_alloc(); });
  }
  HRESULT STDMETHODCALLTYPE RoleOf(ITestCalc* other, LONG* result) override {
    return Frame([&] {
      qv::CheckOut(result, "result");
      if (!other) qv::RaiseNullArgument("other");
      SIGN_ROLE_TYPES role = SIGN_ROLE_TYPE_UNKNOWN;
      HRESULT hr = other->get_Role(&role);
      if (FAILED(hr)) throw qv::COSException("get_Role", hr);
      *result = role;
    });
  }
  HRESULT STDMETHODCALLTYPE get_LastError(BSTR* Value) override { return GetLastErrorText(Value); }

 private:
  SIGN_ROLE_TYPES role_ = SIGN_ROLE_TYPE_APPLICANT;
};

// A reference-counted test object, released at the end of the test.
class CCalcRef {
 public:
  CCalcRef() : calc_(new CTestCalc()) { calc_->AddRef(); }
  ~CCalcRef() { calc_->Release(); }
  CCalcRef(const CCalcRef&) = delete;
  CCalcRef& operator=(const CCalcRef&) = delete;
  ITestCalc* operator->() { return calc_; }
  ITestCalc* Get() { return calc_; }

 private:
  CTestCalc* calc_;
};

VARIANT I4(LONG value) {
  VARIANT v;
  VariantInit(&v);
  v.vt = VT_I4;
  v.lVal = value;
  return v;
}
VARIANT I2(SHORT value) {
  VARIANT v;
  VariantInit(&v);
  v.vt = VT_I2;
  v.iVal = value;
  return v;
}
VARIANT Str(const char16_t* text) {
  VARIANT v;
  VariantInit(&v);
  v.vt = VT_BSTR;
  v.bstrVal = SysAllocString(text);
  return v;
}
VARIANT Unknown(IUnknown* object) {
  VARIANT v;
  VariantInit(&v);
  v.vt = VT_UNKNOWN;
  v.punkVal = object;
  if (object) object->AddRef();
  return v;
}

std::u16string Wide(BSTR text) {
  return text ? std::u16string(text, SysStringLen(text)) : std::u16string();
}

// One late-bound call; the arguments are given in their natural order.
struct CCall {
  HRESULT hr = S_OK;
  VARIANT result;
  EXCEPINFO excep{};
  UINT argErr = 12345;

  CCall(IDispatch* object, DISPID id, WORD flags, std::vector<VARIANT> args, std::vector<DISPID> named = {}) {
    VariantInit(&result);
    std::vector<VARIANT> reversed(args.rbegin(), args.rend());
    // Named arguments come first in rgvarg, in the order of their identifiers.
    std::vector<VARIANT> ordered;
    for (std::size_t i = 0; i < named.size(); ++i) ordered.push_back(args[args.size() - named.size() + i]);
    for (std::size_t i = named.size(); i < reversed.size(); ++i) ordered.push_back(reversed[i]);
    DISPPARAMS params{ordered.empty() ? nullptr : ordered.data(), named.empty() ? nullptr : named.data(),
                      static_cast<UINT>(ordered.size()), static_cast<UINT>(named.size())};
    hr = object->Invoke(id, IID_NULL, 0, flags, &params, &result, &excep, &argErr);
    for (VARIANT& v : args) VariantClear(&v);
  }
  ~CCall() {
    VariantClear(&result);
    SysFreeString(excep.bstrSource);
    SysFreeString(excep.bstrDescription);
    SysFreeString(excep.bstrHelpFile);
  }
};

class DispatchTest : public testing::Test {
 protected:
  void SetUp() override {
    qv::SetEventLogSink([this](const qv::EventLogEntry& entry) { log_.push_back(entry); });
  }
  void TearDown() override { SetErrorInfo(0, nullptr); }
  std::vector<qv::EventLogEntry> log_;
};

TEST_F(DispatchTest, ArgumentsAreCoercedToTheParameterTypes) {
  CCalcRef calc;
  {
    CCall call(calc.Get(), 1, DISPATCH_METHOD, {Str(u"5"), I2(7)});
    ASSERT_EQ(call.hr, S_OK);
    EXPECT_EQ(call.result.vt, VT_I4);
    EXPECT_EQ(call.result.lVal, 12);
  }
  {
    VARIANT byte;
    VariantInit(&byte);
    byte.vt = VT_UI1;
    byte.bVal = 200;
    VARIANT boolean;
    VariantInit(&boolean);
    boolean.vt = VT_BOOL;
    boolean.boolVal = VARIANT_TRUE;
    CCall call(calc.Get(), 1, DISPATCH_METHOD, {byte, boolean});
    ASSERT_EQ(call.hr, S_OK);
    EXPECT_EQ(call.result.lVal, 199);
  }
  {
    // By reference, and a variant by reference holding a string; a real rounds half to even.
    LONG value = 40;
    VARIANT byRef;
    VariantInit(&byRef);
    byRef.vt = VT_BYREF | VT_I4;
    byRef.plVal = &value;
    VARIANT inner = Str(u" 2 ");
    VARIANT byVariant;
    VariantInit(&byVariant);
    byVariant.vt = VT_BYREF | VT_VARIANT;
    byVariant.pvarVal = &inner;
    CCall call(calc.Get(), 1, DISPATCH_METHOD, {byRef, byVariant});
    ASSERT_EQ(call.hr, S_OK);
    EXPECT_EQ(call.result.lVal, 42);
    VariantClear(&inner);
    VARIANT real;
    VariantInit(&real);
    real.vt = VT_R8;
    real.dblVal = 2.5;
    CCall rounded(calc.Get(), 1, DISPATCH_METHOD, {real, I4(0)});
    EXPECT_EQ(rounded.result.lVal, 2);
  }
  {
    CCall call(calc.Get(), 2, DISPATCH_METHOD, {I4(-17)});
    ASSERT_EQ(call.hr, S_OK);
    ASSERT_EQ(call.result.vt, VT_BSTR);
    EXPECT_EQ(Wide(call.result.bstrVal), u"-17");
  }
  {
    VARIANT empty;
    VariantInit(&empty);
    CCall call(calc.Get(), 2, DISPATCH_METHOD, {empty});
    ASSERT_EQ(call.hr, S_OK);
    EXPECT_EQ(Wide(call.result.bstrVal), u"");
  }
  // Booleans come back as all bits set or zero.
  CCall yes(calc.Get(), 3, DISPATCH_METHOD, {Str(u"3")});
  EXPECT_EQ(yes.result.vt, VT_BOOL);
  EXPECT_EQ(yes.result.boolVal, -1);
  CCall no(calc.Get(), 3, DISPATCH_METHOD | DISPATCH_PROPERTYGET, {I4(-3)});
  EXPECT_EQ(no.result.vt, VT_BOOL);
  EXPECT_EQ(no.result.boolVal, 0);
}

TEST_F(DispatchTest, BadCallsGetTheirDispatchStatus) {
  CCalcRef calc;
  CCall text(calc.Get(), 1, DISPATCH_METHOD, {I4(1), Str(u"five")});
  EXPECT_EQ(text.hr, DISP_E_TYPEMISMATCH);
  EXPECT_EQ(text.argErr, 0u);  // rgvarg[0] is the last argument
  CCall big(calc.Get(), 1, DISPATCH_METHOD, {Str(u"99999999999"), I4(1)});
  EXPECT_EQ(big.hr, DISP_E_OVERFLOW);
  EXPECT_EQ(big.argErr, 1u);
  VARIANT null;
  VariantInit(&null);
  null.vt = VT_NULL;
  EXPECT_EQ(CCall(calc.Get(), 1, DISPATCH_METHOD, {null, I4(1)}).hr, DISP_E_TYPEMISMATCH);
  EXPECT_EQ(CCall(calc.Get(), 1, DISPATCH_METHOD, {I4(1)}).hr, DISP_E_BADPARAMCOUNT);
  EXPECT_EQ(CCall(calc.Get(), 1, DISPATCH_METHOD, {I4(1), I4(2), I4(3)}).hr, DISP_E_BADPARAMCOUNT);
  EXPECT_EQ(CCall(calc.Get(), 7, DISPATCH_METHOD, {I4(1)}).hr, DISP_E_BADPARAMCOUNT);
  VARIANT missing;
  VariantInit(&missing);
  missing.vt = VT_ERROR;
  missing.scode = DISP_E_PARAMNOTFOUND;
  EXPECT_EQ(CCall(calc.Get(), 1, DISPATCH_METHOD, {I4(1), missing}).hr, DISP_E_PARAMNOTOPTIONAL);
  EXPECT_EQ(CCall(calc.Get(), 77, DISPATCH_METHOD, {}).hr, DISP_E_MEMBERNOTFOUND);
  EXPECT_EQ(CCall(calc.Get(), 1, DISPATCH_PROPERTYGET, {I4(1), I4(2)}).hr, DISP_E_MEMBERNOTFOUND);
  EXPECT_EQ(CCall(calc.Get(), 299, DISPATCH_PROPERTYPUT, {Str(u"x")}, {DISPID_PROPERTYPUT}).hr,
            DISP_E_MEMBERNOTFOUND);
  // A put needs its value as the named argument DISPID_PROPERTYPUT.
  EXPECT_EQ(CCall(calc.Get(), 4, DISPATCH_PROPERTYPUT, {I4(3)}).hr, DISP_E_PARAMNOTFOUND);
  EXPECT_EQ(CCall(calc.Get(), 1, DISPATCH_METHOD, {I4(1), I4(2)}, {7}).hr, DISP_E_PARAMNOTFOUND);

  // Malformed parameter blocks are refused before anything is read.
  VARIANT result;
  VariantInit(&result);
  DISPPARAMS noArray{nullptr, nullptr, 2, 0};
  EXPECT_EQ(calc->Invoke(1, IID_NULL, 0, DISPATCH_METHOD, &noArray, &result, nullptr, nullptr), E_INVALIDARG);
  VARIANT one = I4(1);
  DISPID named = 0;
  DISPPARAMS tooManyNames{&one, &named, 1, 2};
  EXPECT_EQ(calc->Invoke(1, IID_NULL, 0, DISPATCH_METHOD, &tooManyNames, &result, nullptr, nullptr),
            E_INVALIDARG);
  EXPECT_EQ(calc->Invoke(7, IID_IUnknown, 0, DISPATCH_METHOD, nullptr, &result, nullptr, nullptr),
            DISP_E_UNKNOWNINTERFACE);
  EXPECT_EQ(calc->Invoke(7, IID_NULL, 0, DISPATCH_METHOD, nullptr, nullptr, nullptr, nullptr), E_OUTOFMEMORY);
  SetErrorInfo(0, nullptr);

  // An interface argument must answer the parameter's interface.
  CCalcRef other;
  EXPECT_EQ(other->put_Role(SIGN_ROLE_TYPE_NOTARY), S_OK);
  CCall peer(calc.Get(), 8, DISPATCH_METHOD, {Unknown(other.Get())});
  ASSERT_EQ(peer.hr, S_OK);
  EXPECT_EQ(peer.result.lVal, SIGN_ROLE_TYPE_NOTARY);
  IErrorInfo* notACalc = nullptr;
  qv::SetThreadErrorInfo(IID_NULL, {}, "x");
  ASSERT_EQ(GetErrorInfo(0, &notACalc), S_OK);
  CCall wrong(calc.Get(), 8, DISPATCH_METHOD, {Unknown(notACalc)});
  notACalc->Release();
  EXPECT_EQ(wrong.hr, DISP_E_TYPEMISMATCH);
  CCall none(calc.Get(), 8, DISPATCH_METHOD, {Unknown(nullptr)});
  EXPECT_EQ(none.hr, DISP_E_EXCEPTION);
  EXPECT_EQ(none.excep.scode, E_POINTER);
  EXPECT_EQ(Wide(none.excep.bstrDescription), qv::Cp1251ToUtf16("Передан пустой аргумент: other"_cp));
}

TEST_F(DispatchTest, NamesAndPropertiesByName) {
  CCalcRef calc;
  LPOLESTR names[] = {const_cast<LPOLESTR>(u"ADD"), const_cast<LPOLESTR>(u"B"), const_cast<LPOLESTR>(u"a")};
  DISPID ids[3] = {};
  ASSERT_EQ(calc->GetIDsOfNames(IID_NULL, names, 3, 0, ids), S_OK);
  EXPECT_EQ(ids[0], 1);
  EXPECT_EQ(ids[1], 1);
  EXPECT_EQ(ids[2], 0);
  // Named arguments by parameter identifier: b := 10, a := 3 (rgvarg holds them in that order).
  VARIANT args[2] = {I4(10), I4(3)};
  DISPID named[2] = {1, 0};
  DISPPARAMS params{args, named, 2, 2};
  VARIANT result;
  VariantInit(&result);
  ASSERT_EQ(calc->Invoke(1, IID_NULL, 0, DISPATCH_METHOD, &params, &result, nullptr, nullptr), S_OK);
  EXPECT_EQ(result.lVal, 13);

  LPOLESTR unknown[] = {const_cast<LPOLESTR>(u"Subtract")};
  DISPID id = 0;
  EXPECT_EQ(calc->GetIDsOfNames(IID_NULL, unknown, 1, 0, &id), DISP_E_UNKNOWNNAME);
  EXPECT_EQ(id, DISPID_UNKNOWN);
  LPOLESTR badParam[] = {const_cast<LPOLESTR>(u"echo"), const_cast<LPOLESTR>(u"value")};
  DISPID two[2] = {};
  EXPECT_EQ(calc->GetIDsOfNames(IID_NULL, badParam, 2, 0, two), DISP_E_UNKNOWNNAME);
  EXPECT_EQ(two[0], 2);
  EXPECT_EQ(two[1], DISPID_UNKNOWN);

  // Put by either put flag, get back as VT_I4.
  EXPECT_EQ(CCall(calc.Get(), 4, DISPATCH_PROPERTYPUT, {Str(u"6")}, {DISPID_PROPERTYPUT}).hr, S_OK);
  CCall get(calc.Get(), 4, DISPATCH_PROPERTYGET, {});
  EXPECT_EQ(get.result.vt, VT_I4);
  EXPECT_EQ(get.result.lVal, SIGN_ROLE_TYPE_DUC);
  EXPECT_EQ(CCall(calc.Get(), 4, DISPATCH_PROPERTYPUTREF, {I2(8)}, {DISPID_PROPERTYPUT}).hr, S_OK);
  SIGN_ROLE_TYPES role = SIGN_ROLE_TYPE_UNKNOWN;
  EXPECT_EQ(calc->get_Role(&role), S_OK);
  EXPECT_EQ(role, SIGN_ROLE_TYPE_IONOTARY);
}

TEST_F(DispatchTest, TheErrorFrame) {
  CCalcRef calc;
  const std::string message = "Документ не открыт"_cp;
  const std::u16string wide = qv::Cp1251ToUtf16(message);
  CCall failed(calc.Get(), 5, DISPATCH_METHOD, {Str(wide.c_str())});
  EXPECT_EQ(failed.hr, DISP_E_EXCEPTION);
  EXPECT_EQ(failed.excep.scode, E_UNEXPECTED);
  EXPECT_EQ(Wide(failed.excep.bstrDescription), wide);
  EXPECT_EQ(Wide(failed.excep.bstrSource), u"");  // objects clients cannot create have no source
  IErrorInfo* error = nullptr;
  EXPECT_EQ(GetErrorInfo(0, &error), S_FALSE);  // handed over in EXCEPINFO
  EXPECT_EQ(error, nullptr);
  // Without EXCEPINFO the thread keeps it for the caller.
  VARIANT text = Str(wide.c_str());
  DISPPARAMS params{&text, nullptr, 1, 0};
  EXPECT_EQ(calc->Invoke(5, IID_NULL, 0, DISPATCH_METHOD, &params, nullptr, nullptr, nullptr), E_UNEXPECTED);
  VariantClear(&text);
  ASSERT_EQ(GetErrorInfo(0, &error), S_OK);
  GUID iid{};
  error->GetGUID(&iid);
  EXPECT_TRUE(IsEqualGUID(iid, IID_ITestCalc));
  error->Release();
  EXPECT_EQ(GetErrorInfo(0, &error), S_FALSE);  // handed over and cleared
  log_.erase(log_.begin() + 1, log_.end());

  ASSERT_EQ(log_.size(), 1u);
  EXPECT_EQ(log_[0].message, message);
  EXPECT_EQ(log_[0].status, "Ошибка"_cp);
  EXPECT_EQ(log_[0].ident, qv::HostExecutableName());
  EXPECT_EQ(log_[0].eventId, 0);

  // A later success keeps LastError; the next failure replaces it.
  LONG sum = 0;
  EXPECT_EQ(calc->Add(1, 2, &sum), S_OK);
  BSTR last = nullptr;
  ASSERT_EQ(calc->get_LastError(&last), S_OK);
  EXPECT_EQ(Wide(last), wide);
  SysFreeString(last);
  EXPECT_EQ(log_.size(), 1u);

  // Statuses: a carried failure status unchanged, an operating-system number as E_UNEXPECTED,
  // memory exhaustion, a null out-pointer.
  EXPECT_EQ(calc->FailWithStatus(static_cast<LONG>(0x80092004)), static_cast<HRESULT>(0x80092004));
  EXPECT_EQ(calc->FailWithStatus(2), E_UNEXPECTED);
  EXPECT_EQ(calc->Exhaust(), E_OUTOFMEMORY);
  EXPECT_EQ(calc->Add(1, 2, nullptr), E_POINTER);
  ASSERT_EQ(calc->get_LastError(&last), S_OK);
  EXPECT_EQ(Wide(last), qv::Cp1251ToUtf16("Передан пустой аргумент: result"_cp));
  SysFreeString(last);
  EXPECT_EQ(calc->get_LastError(nullptr), E_POINTER);
  EXPECT_EQ(log_.size(), 5u);
}

TEST_F(DispatchTest, ObjectBase) {
  CCalcRef calc;
  UINT count = 0;
  EXPECT_EQ(calc->GetTypeInfoCount(&count), S_OK);
  EXPECT_EQ(count, 1u);
  EXPECT_EQ(calc->GetTypeInfoCount(nullptr), E_POINTER);
  ITypeInfo* info = reinterpret_cast<ITypeInfo*>(8);
  EXPECT_EQ(calc->GetTypeInfo(1, 0, &info), DISP_E_BADINDEX);
  EXPECT_EQ(info, nullptr);
  ASSERT_EQ(calc->GetTypeInfo(0, 0, &info), S_OK);
  // The type information invokes on the interface pointer directly.
  VARIANT args[2] = {I4(4), I4(5)};
  DISPPARAMS params{args, nullptr, 2, 0};
  VARIANT result;
  VariantInit(&result);
  ASSERT_EQ(info->Invoke(calc.Get(), 1, DISPATCH_METHOD, &params, &result, nullptr, nullptr), S_OK);
  EXPECT_EQ(result.lVal, 9);
  info->Release();

  IUnknown* unknown = nullptr;
  IDispatch* dispatch = nullptr;
  ASSERT_EQ(calc->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&unknown)), S_OK);
  ASSERT_EQ(calc->QueryInterface(IID_IDispatch, reinterpret_cast<void**>(&dispatch)), S_OK);
  EXPECT_EQ(static_cast<void*>(unknown), static_cast<void*>(calc.Get()));
  EXPECT_EQ(calc->QueryInterface(IID_IVorlent, reinterpret_cast<void**>(&unknown)), E_NOINTERFACE);
  EXPECT_EQ(calc->QueryInterface(IID_IUnknown, nullptr), E_POINTER);
  dispatch->Release();
  calc->Release();  // the extra reference of the first query

  // The second interface shares the object's identity, count and dispatch.
  ITestSecret* secret = nullptr;
  ASSERT_EQ(calc->QueryInterface(IID_ITestSecret, reinterpret_cast<void**>(&secret)), S_OK);
  LONG value = 0;
  EXPECT_EQ(secret->GetSecret(&value), S_OK);
  EXPECT_EQ(value, 4242);
  ASSERT_EQ(secret->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&unknown)), S_OK);
  EXPECT_EQ(static_cast<void*>(unknown), static_cast<void*>(calc.Get()));
  unknown->Release();
  DISPID id = 0;
  LPOLESTR name[] = {const_cast<LPOLESTR>(u"echo")};
  EXPECT_EQ(secret->GetIDsOfNames(IID_NULL, name, 1, 0, &id), S_OK);
  EXPECT_EQ(id, 2);
  secret->Release();

  // With a controlling object, references go to it.
  struct COuter : IUnknown {
    ULONG count = 0;
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void**) override { return E_NOINTERFACE; }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++count; }
    ULONG STDMETHODCALLTYPE Release() override { return --count; }
  } outer;
  auto* inner = new CTestCalc();
  inner->ObjAddRef();
  inner->SetController(&outer);
  inner->Interface()->AddRef();
  inner->Interface()->AddRef();
  EXPECT_EQ(outer.count, 2u);
  inner->Interface()->Release();
  inner->Interface()->Release();
  EXPECT_EQ(outer.count, 0u);
  inner->SetController(nullptr);
  const long objects = qv::ModuleObjectCount();
  inner->Interface()->Release();
  EXPECT_EQ(qv::ModuleObjectCount(), objects - 1);
}

}  // namespace
