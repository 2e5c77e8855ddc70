// Type information of the library's dual interfaces: one static description per
// interface (member name, dispatch identifier, get/put/method, argument names and
// types, the result argument) that answers GetIDsOfNames and Invoke. Invoke converts
// the arguments and calls the member through the interface's own slot, so a late-bound
// call runs exactly the code of the early-bound one.
#pragma once

#include <cstddef>
#include <initializer_list>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

#include "qelvorlent/QelVorlentLib.h"

namespace qv {

enum class MemberKind { kMethod, kPropertyGet, kPropertyPut };

// Calls one member on an interface pointer with converted arguments (args[i] is the
// i-th argument, already of the parameter's type) and writes the result into `result`.
using MemberInvoker = HRESULT (*)(void* instance, VARIANT* args, VARIANT* result);

struct ParamDesc {
  const char16_t* name;
  VARTYPE type;    // VT_BSTR, VT_I4, VT_BOOL, VT_DISPATCH (an interface)
  const IID* iid;  // the interface an argument of type VT_DISPATCH must answer, or null
};

struct MemberDesc {
  const char16_t* name;
  DISPID id;
  MemberKind kind;
  std::vector<ParamDesc> params;  // the arguments, without the result
  VARTYPE resultType;             // VT_EMPTY when the member returns nothing but its status
  MemberInvoker invoke;
};

// ---------------------------------------------------------------- argument traits

template <class T, class = void>
struct InArg;  // an argument the caller passes

template <>
struct InArg<BSTR> {
  static constexpr VARTYPE kType = VT_BSTR;
  static const IID* Iid() { return nullptr; }
  static BSTR Get(VARIANT& v) { return v.bstrVal; }
};
template <>
struct InArg<LONG> {
  static constexpr VARTYPE kType = VT_I4;
  static const IID* Iid() { return nullptr; }
  static LONG Get(VARIANT& v) { return v.lVal; }
};
template <>
struct InArg<VARIANT_BOOL> {
  static constexpr VARTYPE kType = VT_BOOL;
  static const IID* Iid() { return nullptr; }
  static VARIANT_BOOL Get(VARIANT& v) { return v.boolVal; }
};
template <class E>
struct InArg<E, std::enable_if_t<std::is_enum_v<E>>> {
  static constexpr VARTYPE kType = VT_I4;
  static const IID* Iid() { return nullptr; }
  static E Get(VARIANT& v) { return static_cast<E>(v.lVal); }
};
template <class I>
struct InArg<I*, std::enable_if_t<std::is_base_of_v<IUnknown, I>>> {
  static constexpr VARTYPE kType = VT_DISPATCH;
  static const IID* Iid() { return &QvInterfaceId<I>::iid(); }
  // The dispatcher has already asked the object for interface I.
  static I* Get(VARIANT& v) { return static_cast<I*>(static_cast<void*>(v.punkVal)); }
};

template <class T, class = void>
struct OutArg {
  static constexpr bool kIsOut = false;
};
template <>
struct OutArg<BSTR*> {
  static constexpr bool kIsOut = true;
  static constexpr VARTYPE kType = VT_BSTR;
  using Value = BSTR;
  static void Put(Value value, VARIANT& v) { v.bstrVal = value; }
};
template <>
struct OutArg<LONG*> {
  static constexpr bool kIsOut = true;
  static constexpr VARTYPE kType = VT_I4;
  using Value = LONG;
  static void Put(Value value, VARIANT& v) { v.lVal = value; }
};
template <>
struct OutArg<VARIANT_BOOL*> {
  static constexpr bool kIsOut = true;
  static constexpr VARTYPE kType = VT_BOOL;
  using Value = VARIANT_BOOL;
  static void Put(Value value, VARIANT& v) { v.boolVal = value; }
};
template <class E>
struct OutArg<E*, std::enable_if_t<std::is_enum_v<E>>> {
  static constexpr bool kIsOut = true;
  static constexpr VARTYPE kType = VT_I4;
  using Value = E;
  static void Put(Value value, VARIANT& v) { v.lVal = static_cast<LONG>(value); }
};
template <class I>
struct OutArg<I**, std::enable_if_t<std::is_base_of_v<IDispatch, I>>> {
  static constexpr bool kIsOut = true;
  static constexpr VARTYPE kType = VT_DISPATCH;
  using Value = I*;
  static void Put(Value value, VARIANT& v) { v.pdispVal = value; }
};

// ---------------------------------------------------------------- member descriptions

template <class PM>
struct MemberTraits;
template <class I, class... A>
struct MemberTraits<HRESULT (STDMETHODCALLTYPE I::*)(A...)> {
  using Interface = I;
  using Args = std::tuple<A...>;
  static constexpr std::size_t kCount = sizeof...(A);
};

template <auto PM>
class MemberBuilder {
  using Traits = MemberTraits<decltype(PM)>;
  using I = typename Traits::Interface;
  using Args = typename Traits::Args;
  static constexpr std::size_t kCount = Traits::kCount;

  template <std::size_t N, class = void>
  struct LastIsOut : std::false_type {};
  template <std::size_t N>
  struct LastIsOut<N, std::enable_if_t<(N > 0)>>
      : std::bool_constant<OutArg<std::tuple_element_t<N - 1, Args>>::kIsOut> {};

 public:
  static constexpr bool kHasResult = LastIsOut<kCount>::value;
  static constexpr std::size_t kInCount = kHasResult ? kCount - 1 : kCount;

  static MemberDesc Make(const char16_t* name, DISPID id, MemberKind kind,
                         std::initializer_list<const char16_t*> names) {
    MemberDesc desc{name, id, kind, {}, VT_EMPTY, &Invoke};
    Params(desc, names, std::make_index_sequence<kInCount>());
    if constexpr (kHasResult) desc.resultType = OutArg<std::tuple_element_t<kCount - 1, Args>>::kType;
    return desc;
  }

 private:
  template <std::size_t... Is>
  static void Params(MemberDesc& desc, std::initializer_list<const char16_t*> names,
                     std::index_sequence<Is...>) {
    const char16_t* const* name = names.begin();
    auto next = [&]() -> const char16_t* { return name != names.end() ? *name++ : u""; };
    ((desc.params.push_back(ParamDesc{next(), InArg<std::tuple_element_t<Is, Args>>::kType,
                                      InArg<std::tuple_element_t<Is, Args>>::Iid()})),
     ...);
    (void)next;
  }

  template <std::size_t... Is>
  static HRESULT Call(I* self, VARIANT* args, VARIANT* result, std::index_sequence<Is...>) {
    if constexpr (kHasResult) {
      using Out = OutArg<std::tuple_element_t<kCount - 1, Args>>;
      typename Out::Value value{};
      HRESULT hr = (self->*PM)(InArg<std::tuple_element_t<Is, Args>>::Get(args[Is])..., &value);
      if (SUCCEEDED(hr)) {
        result->vt = Out::kType;
        Out::Put(value, *result);
      } else {
        // A failing member leaves nothing behind, but may have written its out-value.
        VARIANT drop;
        VariantInit(&drop);
        drop.vt = Out::kType;
        Out::Put(value, drop);
        VariantClear(&drop);
      }
      return hr;
    } else {
      (void)result;
      return (self->*PM)(InArg<std::tuple_element_t<Is, Args>>::Get(args[Is])...);
    }
  }

  static HRESULT Invoke(void* instance, VARIANT* args, VARIANT* result) {
    return Call(static_cast<I*>(instance), args, result, std::make_index_sequence<kInCount>());
  }
};

// One line per member of an interface table:
//   QV_METHOD(IVorlent, Open, 202, u"wsFilename")
//   QV_PROPGET(IVorlent, SenderType, 218)
//   QV_PROPPUT(IVorlent, SenderType, 218)
#define QV_METHOD(I, name, id, ...) \
  (::qv::MemberBuilder<&I::name>::Make(u## #name, id, ::qv::MemberKind::kMethod, {__VA_ARGS__}))
#define QV_PROPGET(I, name, id) \
  (::qv::MemberBuilder<&I::get_##name>::Make(u## #name, id, ::qv::MemberKind::kPropertyGet, {}))
#define QV_PROPPUT(I, name, id) \
  (::qv::MemberBuilder<&I::put_##name>::Make(u## #name, id, ::qv::MemberKind::kPropertyPut, {u"Value"}))

// ---------------------------------------------------------------- the type information object

// The documentation string of a member (of the interface itself for DISPID_UNKNOWN); a
// property's get and put share theirs.
struct MemberDoc {
  DISPID id;
  const char16_t* text;
};

class CTypeInfo final : public ITypeInfo {
 public:
  CTypeInfo(const char16_t* name, const IID& iid, std::vector<MemberDesc> members,
            std::vector<MemberDoc> docs = {});

  const IID& Iid() const { return iid_; }
  const char16_t* Name() const { return name_; }
  const std::vector<MemberDesc>& Members() const { return members_; }

  // IUnknown: a static object, never destroyed.
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppvObject) override;
  ULONG STDMETHODCALLTYPE AddRef() override { return 1; }
  ULONG STDMETHODCALLTYPE Release() override { return 1; }

  // ITypeInfo
  HRESULT STDMETHODCALLTYPE GetNames(MEMBERID memid, BSTR* rgBstrNames, UINT cMaxNames,
                                     UINT* pcNames) override;
  HRESULT STDMETHODCALLTYPE GetIDsOfNames(LPOLESTR* rgszNames, UINT cNames, MEMBERID* pMemId) override;
  HRESULT STDMETHODCALLTYPE Invoke(void* pvInstance, MEMBERID memid, WORD wFlags, DISPPARAMS* pDispParams,
                                   VARIANT* pVarResult, EXCEPINFO* pExcepInfo, UINT* puArgErr) override;
  HRESULT STDMETHODCALLTYPE GetDocumentation(MEMBERID memid, BSTR* pBstrName, BSTR* pBstrDocString,
                                             DWORD* pdwHelpContext, BSTR* pBstrHelpFile) override;
  HRESULT STDMETHODCALLTYPE GetGuid(GUID* pGuid) override;
  HRESULT STDMETHODCALLTYPE GetMemberCount(UINT* pcMembers) override;
  HRESULT STDMETHODCALLTYPE GetMemberDesc(UINT index, MEMBERDESC* pDesc) override;

  virtual ~CTypeInfo() = default;

 private:
  const MemberDesc* Find(MEMBERID memid, WORD flags) const;
  HRESULT DoInvoke(void* instance, const MemberDesc& member, const DISPPARAMS& params, VARIANT* result,
                   EXCEPINFO* excepInfo, UINT* argErr) const;

  const char16_t* name_;
  IID iid_;
  std::vector<MemberDesc> members_;
  std::vector<MemberDoc> docs_;
};

// Case-insensitive comparison of member names (Latin letters).
bool SameMemberName(const char16_t* a, const char16_t* b);

// The type information of each of the library's dual interfaces, or null.
CTypeInfo* LibraryTypeInfo(REFIID iid);
// Every described interface, for checks.
const std::vector<CTypeInfo*>& LibraryTypeInfos();

}  // namespace qv
