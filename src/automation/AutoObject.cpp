#include "automation/AutoObject.h"

#include <new>

#include "foundation/CodePage.h"
#include "foundation/Errors.h"
#include "foundation/ValueCheck.h"

namespace qv {

namespace {

std::atomic<long> g_objects{0};
std::atomic<long> g_locks{0};

}  // namespace

void ModuleLock() {
  ++g_locks;
}
void ModuleUnlock() {
  --g_locks;
}
long ModuleObjectCount() {
  return g_objects.load();
}
long ModuleLockCount() {
  return g_locks.load();
}

// ---------------------------------------------------------------- CInterfacedObject

CInterfacedObject::CInterfacedObject() {
  ++g_objects;
}

CInterfacedObject::~CInterfacedObject() {
  --g_objects;
}

ULONG CInterfacedObject::ObjAddRef() {
  return ++refCount_;
}

ULONG CInterfacedObject::ObjRelease() {
  ULONG count = --refCount_;
  if (count == 0) delete this;
  return count;
}

HRESULT CInterfacedObject::ObjQueryInterface(REFIID riid, void** ppv) {
  if (!ppv) return E_POINTER;
  *ppv = nullptr;
  for (const Entry& entry : table_) {
    if (entry.iid == riid) {
      *ppv = entry.pointer;
      static_cast<IUnknown*>(entry.pointer)->AddRef();
      return S_OK;
    }
  }
  return E_NOINTERFACE;
}

void CInterfacedObject::AddInterface(const IID& iid, void* pointer) {
  table_.push_back(Entry{iid, pointer});
}

// ---------------------------------------------------------------- error information

namespace {

class CErrorInfo final : public CInterfacedObject, public IErrorInfo {
 public:
  CErrorInfo(const IID& iid, std::u16string source, std::u16string description)
      : iid_(iid), source_(std::move(source)), description_(std::move(description)) {
    AddInterface(IID_IUnknown, static_cast<IErrorInfo*>(this));
    AddInterface(IID_IErrorInfo, static_cast<IErrorInfo*>(this));
  }

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
    return ObjQueryInterface(riid, ppv);
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ObjAddRef(); }
  ULONG STDMETHODCALLTYPE Release() override { return ObjRelease(); }

  HRESULT STDMETHODCALLTYPE GetGUID(GUID* pGUID) override {
    if (!pGUID) return E_POINTER;
    *pGUID = iid_;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetSource(BSTR* pBstrSource) override { return Copy(source_, pBstrSource); }
  HRESULT STDMETHODCALLTYPE GetDescription(BSTR* pBstrDescription) override {
    return Copy(description_, pBstrDescription);
  }
  // The server has no help file.
  HRESULT STDMETHODCALLTYPE GetHelpFile(BSTR* pBstrHelpFile) override { return Copy(u"", pBstrHelpFile); }
  HRESULT STDMETHODCALLTYPE GetHelpContext(DWORD* pdwHelpContext) override {
    if (!pdwHelpContext) return E_POINTER;
    *pdwHelpContext = 0;
    return S_OK;
  }

 private:
  static HRESULT Copy(const std::u16string& text, BSTR* out) {
    if (!out) return E_POINTER;
    *out = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
    return *out ? S_OK : E_OUTOFMEMORY;
  }

  IID iid_;
  std::u16string source_;
  std::u16string description_;
};

// The thread's current error information; released when the thread ends.
struct CThreadErrorInfo {
  IErrorInfo* info = nullptr;
  ~CThreadErrorInfo() {
    if (info) info->Release();
  }
};
thread_local CThreadErrorInfo t_errorInfo;

}  // namespace

void SetThreadErrorInfo(const IID& iid, const std::string& source, const std::string& description) noexcept {
  try {
    auto* info = new CErrorInfo(iid, Cp1251ToUtf16(source), Cp1251ToUtf16(description));
    info->AddRef();
    SetErrorInfo(0, info);
    info->Release();
  } catch (...) {
    SetErrorInfo(0, nullptr);
  }
}

}  // namespace qv

STDAPI SetErrorInfo(ULONG /*dwReserved*/, IErrorInfo* perrinfo) {
  if (perrinfo) perrinfo->AddRef();
  IErrorInfo* old = qv::t_errorInfo.info;
  qv::t_errorInfo.info = perrinfo;
  if (old) old->Release();
  return S_OK;
}

STDAPI GetErrorInfo(ULONG /*dwReserved*/, IErrorInfo** pperrinfo) {
  if (!pperrinfo) return E_POINTER;
  *pperrinfo = qv::t_errorInfo.info;
  qv::t_errorInfo.info = nullptr;
  return *pperrinfo ? S_OK : S_FALSE;
}

namespace qv {

// ---------------------------------------------------------------- the error frame

namespace {

// The message and status of the exception being handled.
void Classify(std::string& message, HRESULT& status) noexcept {
  status = E_UNEXPECTED;
  try {
    throw;
  } catch (const COSException& e) {
    // A failure status of the system or of the automation runtime is returned as it is, and a
    // failed file-system call gives the status the system has for its errno value.
    if (FAILED(e.Status())) status = e.Status();
    message = e.Message();
  } catch (const CVorlentException& e) {
    message = e.Message();
  } catch (const std::bad_alloc&) {
    status = E_OUTOFMEMORY;
    try {
      message = "Недостаточно памяти"_cp;
    } catch (...) {
    }
  } catch (const std::exception& e) {
    try {
      message = e.what();
    } catch (...) {
    }
  } catch (...) {
    try {
      message = "Непредвиденная ошибка"_cp;
    } catch (...) {
    }
  }
}

}  // namespace

HRESULT CErrorFrame::StatusOfCurrentException() noexcept {
  std::string message;
  HRESULT status;
  Classify(message, status);
  return status;
}

HRESULT CErrorFrame::Fail() noexcept {
  std::string message;
  HRESULT status;
  Classify(message, status);
  try {
    lastError_ = message;
  } catch (...) {
    lastError_.clear();
  }
  try {
    WriteEventLogError(message, {}, 0, 0);
  } catch (...) {
  }
  SetThreadErrorInfo(iid_, source_, message);
  return status;
}

void RaiseNullArgument(const std::string& name) {
  try {
    CValueCheckTool::CheckNotNil(nullptr, name);
  } catch (const CVorlentException& e) {
    throw COSException(e.Message(), E_POINTER);
  }
  throw COSException(name, E_POINTER);
}

void RaiseNotAvailable(const char* member) {
  RaiseErrorFmt("Операция %s недоступна: эта часть библиотеки ещё не реализована"_cp, {member});
}

// ---------------------------------------------------------------- CAutoIntfObject

CAutoIntfObject::CAutoIntfObject(const IID& iid, std::string source, CTypeInfo* typeInfo)
    : iid_(iid), typeInfo_(typeInfo ? typeInfo : LibraryTypeInfo(iid)), frame_(iid, std::move(source)) {}

HRESULT CAutoIntfObject::GetLastErrorText(BSTR* value) noexcept {
  if (!value) return E_POINTER;
  *value = nullptr;
  std::lock_guard<std::recursive_mutex> guard(*lock_);
  try {
    *value = TextToBstr(frame_.LastError());
    return S_OK;
  } catch (...) {
    return E_OUTOFMEMORY;
  }
}

HRESULT CAutoIntfObject::DispGetTypeInfoCount(UINT* pctinfo) {
  if (!pctinfo) return E_POINTER;
  *pctinfo = 1;
  return S_OK;
}

HRESULT CAutoIntfObject::DispGetTypeInfo(UINT iTInfo, ITypeInfo** ppTInfo) {
  if (!ppTInfo) return E_POINTER;
  *ppTInfo = nullptr;
  if (iTInfo != 0) return DISP_E_BADINDEX;
  if (!typeInfo_) return TYPE_E_ELEMENTNOTFOUND;
  typeInfo_->AddRef();
  *ppTInfo = typeInfo_;
  return S_OK;
}

HRESULT CAutoIntfObject::DispGetIDsOfNames(REFIID riid, LPOLESTR* rgszNames, UINT cNames, DISPID* rgDispId) {
  if (riid != IID_NULL) return DISP_E_UNKNOWNINTERFACE;
  if (!typeInfo_) return TYPE_E_ELEMENTNOTFOUND;
  return typeInfo_->GetIDsOfNames(rgszNames, cNames, rgDispId);
}

HRESULT CAutoIntfObject::DispInvoke(void* dual, DISPID dispIdMember, REFIID riid, WORD wFlags,
                                    DISPPARAMS* pDispParams, VARIANT* pVarResult, EXCEPINFO* pExcepInfo,
                                    UINT* puArgErr) {
  if (riid != IID_NULL) return DISP_E_UNKNOWNINTERFACE;
  if (!typeInfo_) return TYPE_E_ELEMENTNOTFOUND;
  return typeInfo_->Invoke(dual, dispIdMember, wFlags, pDispParams, pVarResult, pExcepInfo, puArgErr);
}

}  // namespace qv
