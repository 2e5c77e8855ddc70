// Helpers for tests of the package, file, signature and key objects: owning interface
// pointers, wide texts from 1251 literals, LastError and late-bound calls by name.
#pragma once

#include <initializer_list>
#include <string>
#include <utility>
#include <vector>

#include "automation/Bstr.h"
#include "automation/KeyObject.h"
#include "automation/Server.h"
#include "automation/VorlentObject.h"
#include "common/TestEnv.h"
#include "foundation/CodePage.h"
#include "package/VorlentDoc.h"
#include "qelvorlent/QelVorlentLib.h"

namespace qvtest {

using qv::operator""_cp;

// Owns one interface reference.
template <class I>
class Ref {
 public:
  Ref() = default;
  explicit Ref(I* p) : p_(p) {}
  ~Ref() { Reset(); }
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  Ref(Ref&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
  Ref& operator=(Ref&& o) noexcept {
    if (this != &o) {
      Reset();
      p_ = std::exchange(o.p_, nullptr);
    }
    return *this;
  }
  void Reset() {
    if (p_) p_->Release();
    p_ = nullptr;
  }
  I** Out() {
    Reset();
    return &p_;
  }
  I* Get() const { return p_; }
  I* operator->() const { return p_; }
  explicit operator bool() const { return p_ != nullptr; }

 private:
  I* p_ = nullptr;
};

inline std::u16string W(const std::string& text1251) {
  return qv::Cp1251ToUtf16(text1251);
}

// A BSTR for 1251 text, freed at the end of the full expression.
class B {
 public:
  explicit B(const std::string& text1251) : b_(qv::TextToBstr(text1251)) {}
  operator BSTR() const { return b_.Get(); }

 private:
  qv::CBstr b_;
};

// A path in the test's folder as the library takes it (1251).
inline std::string Path1251(const std::string& utf8Name) {
  return qv::Utf8ToCp1251(TestPath(utf8Name));
}

inline Ref<IVorlent> NewVorlent() {
  Ref<IVorlent> vorlent;
  qv::CreateObject<qv::CVorlent_class>(IID_IVorlent, reinterpret_cast<void**>(vorlent.Out()));
  return vorlent;
}

template <class I>
std::string LastError(I* object) {
  qv::CBstr text;
  object->get_LastError(text.Out());
  return text.Text();
}

// A BSTR-returning member as 1251 text ("<failed>" when the status is a failure).
template <class I>
std::string Text(I* object, HRESULT (STDMETHODCALLTYPE I::*get)(BSTR*)) {
  qv::CBstr text;
  if (FAILED((object->*get)(text.Out()))) return "<failed>";
  return text.Text();
}

// Arguments of a late-bound call, in the order of the member's parameters.
class Args {
 public:
  Args() = default;
  Args(const Args&) = delete;
  Args& operator=(const Args&) = delete;
  ~Args() {
    for (VARIANT& v : values_) VariantClear(&v);
  }
  Args& Str(const std::string& text1251) {
    VARIANT v;
    VariantInit(&v);
    v.vt = VT_BSTR;
    v.bstrVal = qv::TextToBstr(text1251);
    values_.push_back(v);
    return *this;
  }
  Args& Int(LONG value) {
    VARIANT v;
    VariantInit(&v);
    v.vt = VT_I4;
    v.lVal = value;
    values_.push_back(v);
    return *this;
  }
  Args& Bool(bool value) {
    VARIANT v;
    VariantInit(&v);
    v.vt = VT_BOOL;
    v.boolVal = value ? VARIANT_TRUE : VARIANT_FALSE;
    values_.push_back(v);
    return *this;
  }
  Args& Object(IDispatch* object) {
    VARIANT v;
    VariantInit(&v);
    v.vt = VT_DISPATCH;
    v.pdispVal = object;
    if (object) object->AddRef();
    values_.push_back(v);
    return *this;
  }
  // Reversed, as DISPPARAMS wants them.
  std::vector<VARIANT> Reversed() const { return std::vector<VARIANT>(values_.rbegin(), values_.rend()); }

 private:
  std::vector<VARIANT> values_;
};

// The outcome of a late-bound call.
struct Late {
  HRESULT hr = S_OK;     // the status of Invoke
  HRESULT scode = S_OK;  // the member's own status when Invoke reports an exception
  std::string description;
  VARIANT result;
  Late() { VariantInit(&result); }
  ~Late() { VariantClear(&result); }
  Late(const Late&) = delete;
  Late& operator=(const Late&) = delete;
  std::string Str() const { return result.vt == VT_BSTR ? qv::BstrToText(result.bstrVal) : "<not a string>"; }
};

// Calls a member by name: a method, a property get or (with `put`) a property put.
inline void CallByName(IDispatch* object, const char16_t* name, WORD flags, const Args& args, Late& out) {
  LPOLESTR names[] = {const_cast<LPOLESTR>(name)};
  DISPID id = DISPID_UNKNOWN;
  out.hr = object->GetIDsOfNames(IID_NULL, names, 1, 0, &id);
  if (FAILED(out.hr)) return;
  std::vector<VARIANT> values = args.Reversed();
  DISPID putId = DISPID_PROPERTYPUT;
  DISPPARAMS params{values.data(), nullptr, static_cast<UINT>(values.size()), 0};
  if (flags & DISPATCH_PROPERTYPUT) {
    params.rgdispidNamedArgs = &putId;
    params.cNamedArgs = 1;
  }
  EXCEPINFO excep{};
  UINT argErr = 0;
  out.hr = object->Invoke(id, IID_NULL, 0, flags, &params,
                          (flags & DISPATCH_PROPERTYPUT) ? nullptr : &out.result, &excep, &argErr);
  if (out.hr == DISP_E_EXCEPTION) {
    out.scode = excep.scode;
    out.description = qv::BstrToText(excep.bstrDescription);
  }
  SysFreeString(excep.bstrSource);
  SysFreeString(excep.bstrDescription);
  SysFreeString(excep.bstrHelpFile);
}

// A package file with one document, two signatures and a counter-signature under the
// first, made by the package layer with bytes of the test's own (not real signatures).
inline void MakeSignedPackage(const std::string& path, const std::string& content,
                              const std::string& firstSignature) {
  qv::CVorlentDoc doc;
  doc.New();
  doc.SetTransactionType(5);
  doc.SetSenderType(qv::kSubjectSubscriberOther);
  doc.SetSenderIdentifier("1");
  doc.SetReceiverType(qv::kSubjectTaxAuthority);
  doc.SetReceiverIdentifier("2");
  auto entry = doc.AddDocument();
  entry->SetKind(17);
  entry->SetContentType("application/pdf");
  entry->SetSourceFileName("a.pdf");
  entry->SetContent(content);
  auto first = entry->AddSignature(qv::kSubjectApplicant, firstSignature);
  entry->AddSignature(qv::kSubjectNotary, "second");
  first->AddResign(qv::kSubjectTaxAuthority, "counter");
  doc.Save(path);
}

}  // namespace qvtest
