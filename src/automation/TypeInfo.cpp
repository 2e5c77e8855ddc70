#include "automation/TypeInfo.h"

#include <new>

namespace qv {

namespace {

char16_t Lower(char16_t c) {
  return c >= u'A' && c <= u'Z' ? static_cast<char16_t>(c - u'A' + u'a') : c;
}

bool IsMissing(const VARIANT& v) {
  return v.vt == VT_ERROR && v.scode == DISP_E_PARAMNOTFOUND;
}

// Owns the converted arguments of one call.
class CArguments {
 public:
  explicit CArguments(std::size_t count) : values_(count) {
    for (VARIANT& v : values_) VariantInit(&v);
  }
  ~CArguments() {
    for (VARIANT& v : values_) VariantClear(&v);
  }
  CArguments(const CArguments&) = delete;
  CArguments& operator=(const CArguments&) = delete;
  VARIANT* Data() { return values_.data(); }
  VARIANT& operator[](std::size_t i) { return values_[i]; }

 private:
  std::vector<VARIANT> values_;
};

// The value of an argument as its parameter wants it.
HRESULT Coerce(const VARIANT& source, const ParamDesc& param, VARIANT& target) {
  if (param.type != VT_DISPATCH) return VariantChangeType(&target, &source, 0, param.type);
  VARIANT unknown;
  VariantInit(&unknown);
  HRESULT hr = VariantChangeType(&unknown, &source, 0, VT_UNKNOWN);
  if (FAILED(hr)) return hr;
  target.vt = VT_UNKNOWN;
  target.punkVal = nullptr;
  if (unknown.punkVal) {
    void* wanted = nullptr;
    hr = unknown.punkVal->QueryInterface(param.iid ? *param.iid : IID_IUnknown, &wanted);
    VariantClear(&unknown);
    if (FAILED(hr) || !wanted) return DISP_E_TYPEMISMATCH;
    // The interface pointer is kept as an IUnknown pointer of the same object: released the same way.
    target.punkVal = static_cast<IUnknown*>(wanted);
  }
  return S_OK;
}

}  // namespace

bool SameMemberName(const char16_t* a, const char16_t* b) {
  if (!a || !b) return false;
  for (; *a && *b; ++a, ++b) {
    if (Lower(*a) != Lower(*b)) return false;
  }
  return *a == *b;
}

CTypeInfo::CTypeInfo(const char16_t* name, const IID& iid, std::vector<MemberDesc> members,
                     std::vector<MemberDoc> docs)
    : name_(name), iid_(iid), members_(std::move(members)), docs_(std::move(docs)) {}

HRESULT CTypeInfo::QueryInterface(REFIID riid, void** ppvObject) {
  if (!ppvObject) return E_POINTER;
  *ppvObject = nullptr;
  if (riid != IID_IUnknown && riid != IID_ITypeInfo) return E_NOINTERFACE;
  *ppvObject = static_cast<ITypeInfo*>(this);
  return S_OK;
}

HRESULT CTypeInfo::GetGuid(GUID* pGuid) {
  if (!pGuid) return E_POINTER;
  *pGuid = iid_;
  return S_OK;
}

HRESULT CTypeInfo::GetMemberCount(UINT* pcMembers) {
  if (!pcMembers) return E_POINTER;
  *pcMembers = static_cast<UINT>(members_.size());
  return S_OK;
}

HRESULT CTypeInfo::GetMemberDesc(UINT index, MEMBERDESC* pDesc) {
  if (!pDesc) return E_POINTER;
  *pDesc = MEMBERDESC{};
  if (index >= members_.size()) return TYPE_E_ELEMENTNOTFOUND;
  const MemberDesc& member = members_[index];
  pDesc->memid = member.id;
  pDesc->invkind = member.kind == MemberKind::kMethod        ? INVOKE_FUNC
                   : member.kind == MemberKind::kPropertyGet ? INVOKE_PROPERTYGET
                                                             : INVOKE_PROPERTYPUT;
  pDesc->vtResult = member.resultType;
  pDesc->cParams = static_cast<UINT>(member.params.size());
  for (std::size_t i = 0; i < member.params.size() && i < QV_MAX_MEMBER_PARAMS; ++i)
    pDesc->vtParams[i] = member.params[i].type;
  return S_OK;
}

HRESULT CTypeInfo::GetNames(MEMBERID memid, BSTR* rgBstrNames, UINT cMaxNames, UINT* pcNames) {
  if (!rgBstrNames || !pcNames) return E_POINTER;
  *pcNames = 0;
  const MemberDesc* found = nullptr;
  for (const MemberDesc& member : members_) {
    if (member.id != memid) continue;
    // A property's put names its value; the get does not.
    if (!found || member.params.size() > found->params.size()) found = &member;
  }
  if (!found) return TYPE_E_ELEMENTNOTFOUND;
  UINT count = 0;
  for (std::size_t i = 0; i <= found->params.size(); ++i) {
    if (count == cMaxNames) break;
    rgBstrNames[count] = SysAllocString(i == 0 ? found->name : found->params[i - 1].name);
    if (!rgBstrNames[count]) {
      while (count > 0) SysFreeString(rgBstrNames[--count]);
      return E_OUTOFMEMORY;
    }
    ++count;
  }
  *pcNames = count;
  return S_OK;
}

HRESULT CTypeInfo::GetIDsOfNames(LPOLESTR* rgszNames, UINT cNames, MEMBERID* pMemId) {
  if ((cNames > 0 && !rgszNames) || !pMemId) return E_POINTER;
  if (cNames == 0) return E_INVALIDARG;
  for (UINT i = 0; i < cNames; ++i) pMemId[i] = DISPID_UNKNOWN;
  const MemberDesc* member = nullptr;
  for (const MemberDesc& candidate : members_) {
    if (SameMemberName(candidate.name, rgszNames[0])) {
      // Prefer the description that names the most parameters (a property's put).
      if (!member || candidate.params.size() > member->params.size()) member = &candidate;
    }
  }
  if (!member) return DISP_E_UNKNOWNNAME;
  pMemId[0] = member->id;
  HRESULT hr = S_OK;
  for (UINT i = 1; i < cNames; ++i) {
    for (std::size_t p = 0; p < member->params.size(); ++p) {
      if (SameMemberName(member->params[p].name, rgszNames[i])) pMemId[i] = static_cast<MEMBERID>(p);
    }
    if (pMemId[i] == DISPID_UNKNOWN) hr = DISP_E_UNKNOWNNAME;
  }
  return hr;
}

HRESULT CTypeInfo::GetDocumentation(MEMBERID memid, BSTR* pBstrName, BSTR* pBstrDocString,
                                    DWORD* pdwHelpContext, BSTR* pBstrHelpFile) {
  const char16_t* name = nullptr;
  if (memid == DISPID_UNKNOWN) {
    name = name_;
  } else {
    for (const MemberDesc& member : members_) {
      if (member.id == memid) name = member.name;
    }
  }
  if (!name) return TYPE_E_ELEMENTNOTFOUND;
  if (pBstrName) {
    *pBstrName = SysAllocString(name);
    if (!*pBstrName) return E_OUTOFMEMORY;
  }
  if (pBstrDocString) {
    *pBstrDocString = nullptr;
    for (const MemberDoc& doc : docs_) {
      if (doc.id != memid) continue;
      *pBstrDocString = SysAllocString(doc.text);
      if (!*pBstrDocString) {
        if (pBstrName) SysFreeString(*pBstrName);
        return E_OUTOFMEMORY;
      }
      break;
    }
  }
  if (pdwHelpContext) *pdwHelpContext = 0;
  if (pBstrHelpFile) *pBstrHelpFile = nullptr;
  return S_OK;
}

const MemberDesc* CTypeInfo::Find(MEMBERID memid, WORD flags) const {
  for (const MemberDesc& member : members_) {
    if (member.id != memid) continue;
    switch (member.kind) {
      case MemberKind::kMethod:
        if (flags & DISPATCH_METHOD) return &member;
        break;
      case MemberKind::kPropertyGet:
        if (flags & DISPATCH_PROPERTYGET) return &member;
        break;
      case MemberKind::kPropertyPut:
        if (flags & (DISPATCH_PROPERTYPUT | DISPATCH_PROPERTYPUTREF)) return &member;
        break;
    }
  }
  return nullptr;
}

HRESULT CTypeInfo::Invoke(void* pvInstance, MEMBERID memid, WORD wFlags, DISPPARAMS* pDispParams,
                          VARIANT* pVarResult, EXCEPINFO* pExcepInfo, UINT* puArgErr) {
  if (!pvInstance) return E_INVALIDARG;
  DISPPARAMS none{nullptr, nullptr, 0, 0};
  const DISPPARAMS& params = pDispParams ? *pDispParams : none;
  if ((params.cArgs > 0 && !params.rgvarg) || params.cNamedArgs > params.cArgs ||
      (params.cNamedArgs > 0 && !params.rgdispidNamedArgs)) {
    return E_INVALIDARG;
  }
  // A put is a put whichever of the two put flags the caller gave.
  if (wFlags & (DISPATCH_PROPERTYPUT | DISPATCH_PROPERTYPUTREF))
    wFlags |= DISPATCH_PROPERTYPUT | DISPATCH_PROPERTYPUTREF;
  const MemberDesc* member = Find(memid, wFlags);
  if (!member) return DISP_E_MEMBERNOTFOUND;
  try {
    return DoInvoke(pvInstance, *member, params, pVarResult, pExcepInfo, puArgErr);
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  } catch (...) {
    return E_UNEXPECTED;
  }
}

HRESULT CTypeInfo::DoInvoke(void* instance, const MemberDesc& member, const DISPPARAMS& params,
                            VARIANT* result, EXCEPINFO* excepInfo, UINT* argErr) const {
  const std::size_t count = member.params.size();
  const bool isPut = member.kind == MemberKind::kPropertyPut;
  // Where each parameter's value is: rgvarg holds the named arguments first, then the
  // positional ones in reverse order.
  std::vector<UINT> source(count, params.cArgs);
  const UINT positional = params.cArgs - params.cNamedArgs;
  bool putValueGiven = false;
  for (UINT i = 0; i < params.cNamedArgs; ++i) {
    DISPID id = params.rgdispidNamedArgs[i];
    std::size_t target;
    if (id == DISPID_PROPERTYPUT && isPut) {
      target = count - 1;
      putValueGiven = true;
    } else if (id >= 0 && static_cast<std::size_t>(id) < count &&
               !(isPut && static_cast<std::size_t>(id) == count - 1)) {
      target = static_cast<std::size_t>(id);
    } else {
      if (argErr) *argErr = i;
      return DISP_E_PARAMNOTFOUND;
    }
    if (source[target] != params.cArgs) {
      if (argErr) *argErr = i;
      return DISP_E_PARAMNOTFOUND;
    }
    source[target] = i;
  }
  if (isPut && !putValueGiven) return DISP_E_PARAMNOTFOUND;
  const std::size_t positionalSlots = isPut ? count - 1 : count;
  if (positional > positionalSlots) return DISP_E_BADPARAMCOUNT;
  for (UINT p = 0; p < positional; ++p) {
    if (source[p] != params.cArgs) {
      if (argErr) *argErr = params.cArgs - 1 - p;
      return DISP_E_PARAMNOTFOUND;
    }
    source[p] = params.cArgs - 1 - p;
  }
  for (std::size_t p = 0; p < count; ++p) {
    if (source[p] == params.cArgs)
      return params.cNamedArgs == 0 ? DISP_E_BADPARAMCOUNT : DISP_E_PARAMNOTOPTIONAL;
  }

  CArguments args(count);
  for (std::size_t p = 0; p < count; ++p) {
    const VARIANT& given = params.rgvarg[source[p]];
    if (IsMissing(given)) {
      if (argErr) *argErr = source[p];
      return DISP_E_PARAMNOTOPTIONAL;
    }
    HRESULT hr = Coerce(given, member.params[p], args[p]);
    if (FAILED(hr)) {
      if (argErr) *argErr = source[p];
      return hr == E_OUTOFMEMORY ? hr : (hr == DISP_E_OVERFLOW ? DISP_E_OVERFLOW : DISP_E_TYPEMISMATCH);
    }
  }

  // Error information left over from earlier calls must not be taken for this call's.
  SetErrorInfo(0, nullptr);
  VARIANT value;
  VariantInit(&value);
  HRESULT hr = member.invoke(instance, args.Data(), &value);
  if (SUCCEEDED(hr)) {
    if (result) {
      *result = value;
    } else {
      VariantClear(&value);
    }
    return hr;
  }
  // Without EXCEPINFO the thread keeps the error information for the caller.
  if (!excepInfo) return hr;
  // With it, the error information is handed over into EXCEPINFO and the thread keeps none: a
  // script host never asks for it, and a kept error object would hold the library loaded.
  *excepInfo = EXCEPINFO{};
  excepInfo->scode = hr;
  IErrorInfo* error = nullptr;
  if (GetErrorInfo(0, &error) == S_OK && error) {
    error->GetSource(&excepInfo->bstrSource);
    error->GetDescription(&excepInfo->bstrDescription);
    error->GetHelpFile(&excepInfo->bstrHelpFile);
    error->GetHelpContext(&excepInfo->dwHelpContext);
    error->Release();
  }
  return DISP_E_EXCEPTION;
}

}  // namespace qv
