// The CertChecker object through its interface and through late binding, with key objects
// that hand out certificates of the test PKI.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "automation/AutoObject.h"
#include "automation/Bstr.h"
#include "foundation/CodePage.h"
#include "pki/TestPki.h"
#include "platform/CertServices.h"
#include "qelvorlent/QelVorlentLib.h"

namespace {

using qv::operator""_cp;

// A key object as the library's own ones look to the checker: IVorlentKey, and with
// `library` also IVorlentKeyContext handing out `certificate` (which may be null).
class CTestKey final : public qv::CAutoDual<IVorlentKey>, public IVorlentKeyContext {
 public:
  CTestKey(qv::CertContextPtr certificate, bool library) : certificate_(std::move(certificate)) {
    if (library) AddInterface(IID_IVorlentKeyContext, static_cast<IVorlentKeyContext*>(this));
  }

  QV_AUTO_DUAL_SLOTS(IVorlentKey)

  HRESULT STDMETHODCALLTYPE GetCertificateHandle(void** phCertificate) override {
    if (!phCertificate) return E_POINTER;
    *phCertificate = certificate_ ? &certificate_ : nullptr;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE SetCertificateHandle(void*) override { return E_NOTIMPL; }

  HRESULT STDMETHODCALLTYPE get_ContainerName(BSTR*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE put_ContainerName(BSTR) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE get_Sha1(BSTR*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE put_Sha1(BSTR) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE get_SubjectCN(BSTR*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE put_SubjectCN(BSTR) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE get_SignRole(SIGN_ROLE_TYPES*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE put_SignRole(SIGN_ROLE_TYPES) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE get_CertificateBody(BSTR*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE put_CertificateBody(BSTR) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE get_Subject(BSTR*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE put_Subject(BSTR) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE get_Issuer(BSTR*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE put_Issuer(BSTR) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE Init() override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE get_LastError(BSTR* Value) override { return GetLastErrorText(Value); }
  HRESULT STDMETHODCALLTYPE get_SubjectSN(BSTR*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE put_SubjectSN(BSTR) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE get_SubjectG(BSTR*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE put_SubjectG(BSTR) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE get_FlagCurrentUserStorage(VARIANT_BOOL*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE put_FlagCurrentUserStorage(VARIANT_BOOL) override { return E_NOTIMPL; }

 private:
  qv::CertContextPtr certificate_;
};

// One reference to an interface, released at the end of the scope.
template <class T>
class Ref {
 public:
  explicit Ref(T* p = nullptr) : p_(p) {}
  ~Ref() {
    if (p_) p_->Release();
  }
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  T* operator->() const { return p_; }
  T* get() const { return p_; }
  T** out() { return &p_; }

 private:
  T* p_;
};

IVorlentKey* NewKey(const std::string& pkiFile, bool library = true) {
  qv::CertContextPtr certificate;
  if (!pkiFile.empty()) certificate = qv::CCertContext::FromDer(qvtest::PkiBytes(pkiFile));
  auto* key = new CTestKey(certificate, library);
  key->ObjAddRef();
  return key;
}

class CertCheckerObject : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(
        QvCreateInstanceDirect(CLSID_CertChecker, IID_ICertChecker, reinterpret_cast<void**>(checker_.out())),
        S_OK);
  }
  std::string LastError() {
    BSTR text = nullptr;
    EXPECT_EQ(checker_->get_LastError(&text), S_OK);
    std::string result = qv::BstrToText(text);
    SysFreeString(text);
    return result;
  }
  HRESULT Init(const std::string& pkiFile) {
    BSTR name = qv::TextToBstr(qvtest::PkiPath(pkiFile));
    HRESULT hr = checker_->Init(name);
    SysFreeString(name);
    return hr;
  }

  Ref<ICertChecker> checker_;
};

TEST_F(CertCheckerObject, ChecksThroughTheInterface) {
  Ref<IVorlentKey> user(NewKey("user.cer"));
  Ref<IVorlentKey> root(NewKey("root.cer"));
  Ref<IVorlentKey> nameless(NewKey("nocn.cer"));
  VARIANT_BOOL result = VARIANT_FALSE;

  // The formal check needs no Init; the issuer check does.
  EXPECT_EQ(checker_->CheckFormal(user.get()), S_OK);
  EXPECT_EQ(checker_->CheckIssuer(user.get(), &result), E_UNEXPECTED);
  EXPECT_EQ(LastError(),
            "Не загружены доверенные сертификаты: проверка издателя возможна только после Init"_cp);

  ASSERT_EQ(Init("bundle.p7b"), S_OK);
  ASSERT_EQ(checker_->CheckIssuer(user.get(), &result), S_OK);
  EXPECT_EQ(result, VARIANT_TRUE);
  ASSERT_EQ(checker_->CheckIssuer(root.get(), &result), S_OK);  // self-signed
  EXPECT_EQ(result, VARIANT_FALSE);

  EXPECT_EQ(checker_->CheckFormal(nameless.get()), E_UNEXPECTED);
  EXPECT_EQ(LastError(), "В сертификате отсутствует поле CN"_cp);
  result = VARIANT_TRUE;
  EXPECT_EQ(checker_->CheckCrl(root.get(), &result), E_UNEXPECTED);
  EXPECT_EQ(result, VARIANT_FALSE);
  EXPECT_EQ(LastError(), "Не указана точка распространения CRL"_cp);
  // A later success keeps the text.
  EXPECT_EQ(checker_->CheckFormal(user.get()), S_OK);
  EXPECT_EQ(LastError(), "Не указана точка распространения CRL"_cp);

  // A failed Init keeps the trusted certificates loaded before.
  EXPECT_TRUE(FAILED(Init("no-such-file.p7b")));
  ASSERT_EQ(checker_->CheckIssuer(user.get(), &result), S_OK);
  EXPECT_EQ(result, VARIANT_TRUE);
}

TEST_F(CertCheckerObject, KeysThatCannotBeChecked) {
  Ref<IVorlentKey> foreign(NewKey("user.cer", false));
  Ref<IVorlentKey> empty(NewKey(""));
  Ref<IVorlentKey> user(NewKey("user.cer"));
  VARIANT_BOOL result = VARIANT_FALSE;
  ASSERT_EQ(Init("bundle.p7b"), S_OK);

  EXPECT_EQ(checker_->CheckFormal(nullptr), E_POINTER);
  EXPECT_EQ(LastError(), "Передан пустой аргумент: pKey"_cp);
  EXPECT_EQ(checker_->CheckIssuer(user.get(), nullptr), E_POINTER);
  EXPECT_EQ(LastError(), "Передан пустой аргумент: bResult"_cp);
  for (auto check : {&ICertChecker::CheckIssuer, &ICertChecker::CheckCrl}) {
    EXPECT_EQ((checker_.get()->*check)(nullptr, &result), E_POINTER);
    EXPECT_EQ(LastError(), "Передан пустой аргумент: pKey"_cp);
    EXPECT_EQ((checker_.get()->*check)(foreign.get(), &result), E_NOINTERFACE);
    EXPECT_EQ(LastError(), "Такой интерфейс не поддерживается"_cp);
    EXPECT_EQ((checker_.get()->*check)(empty.get(), &result), E_UNEXPECTED);
    EXPECT_EQ(LastError(), "Объект ключа pKey не содержит сертификата"_cp);
  }
  EXPECT_EQ(checker_->CheckFormal(foreign.get()), E_NOINTERFACE);
  EXPECT_EQ(checker_->CheckFormal(empty.get()), E_UNEXPECTED);
}

VARIANT DispatchArg(IUnknown* object) {
  VARIANT v;
  VariantInit(&v);
  v.vt = VT_DISPATCH;
  object->QueryInterface(IID_IDispatch, reinterpret_cast<void**>(&v.pdispVal));
  return v;
}

TEST_F(CertCheckerObject, ChecksThroughLateBinding) {
  Ref<IVorlentKey> user(NewKey("user.cer"));
  Ref<IVorlentKey> nameless(NewKey("nocn.cer"));
  auto id = [&](const char16_t* name) {
    DISPID dispId = DISPID_UNKNOWN;
    LPOLESTR names[] = {const_cast<LPOLESTR>(name)};
    EXPECT_EQ(checker_->GetIDsOfNames(IID_NULL, names, 1, 0, &dispId), S_OK);
    return dispId;
  };
  auto call = [&](DISPID dispId, VARIANT arg, VARIANT* result, EXCEPINFO* excep) {
    DISPPARAMS params{&arg, nullptr, 1, 0};
    HRESULT hr = checker_->Invoke(dispId, IID_NULL, 0, DISPATCH_METHOD, &params, result, excep, nullptr);
    VariantClear(&arg);
    return hr;
  };

  VARIANT file;
  VariantInit(&file);
  file.vt = VT_BSTR;
  file.bstrVal = qv::TextToBstr(qvtest::PkiPath("bundle.p7b"));
  ASSERT_EQ(call(id(u"init"), file, nullptr, nullptr), S_OK);

  VARIANT result;
  VariantInit(&result);
  ASSERT_EQ(call(id(u"CheckIssuer"), DispatchArg(user.get()), &result, nullptr), S_OK);
  EXPECT_EQ(result.vt, VT_BOOL);
  EXPECT_EQ(result.boolVal, VARIANT_TRUE);

  EXCEPINFO excep{};
  EXPECT_EQ(call(id(u"CheckFormal"), DispatchArg(nameless.get()), nullptr, &excep), DISP_E_EXCEPTION);
  EXPECT_EQ(excep.scode, E_UNEXPECTED);
  EXPECT_EQ(qv::BstrToText(excep.bstrDescription), "В сертификате отсутствует поле CN"_cp);
  SysFreeString(excep.bstrSource);
  SysFreeString(excep.bstrDescription);
  SysFreeString(excep.bstrHelpFile);

  // An object that is no key at all does not reach the checker.
  VariantInit(&result);
  EXPECT_EQ(call(id(u"CheckCrl"), DispatchArg(checker_.get()), &result, nullptr), DISP_E_TYPEMISMATCH);
  VariantClear(&result);
}

}  // namespace
