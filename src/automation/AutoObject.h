// The base of every automation object of the library: reference counting and the
// interface table (CInterfacedObject), the dispatch interface answered from the type
// information, error information support and the error frame (CAutoIntfObject), and
// the module counts behind DllCanUnloadNow.
#pragma once

#include <atomic>
#include <exception>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "automation/Bstr.h"
#include "automation/TypeInfo.h"
#include "qelvorlent/QelVorlentLib.h"

namespace qv {

// Live objects of the library and class factory locks.
void ModuleLock();
void ModuleUnlock();
long ModuleObjectCount();
long ModuleLockCount();

class CInterfacedObject {
 public:
  CInterfacedObject();
  virtual ~CInterfacedObject();
  CInterfacedObject(const CInterfacedObject&) = delete;
  CInterfacedObject& operator=(const CInterfacedObject&) = delete;

  // In slot order: add reference, release, query interface. The reference count
  // changes atomically; the release that brings it to zero destroys the object.
  virtual ULONG ObjAddRef();
  virtual ULONG ObjRelease();
  virtual HRESULT ObjQueryInterface(REFIID riid, void** ppv);

 protected:
  // The table of implemented interfaces; the first entry added is the object's identity
  // (answered for IUnknown).
  void AddInterface(const IID& iid, void* pointer);

 private:
  struct Entry {
    IID iid;
    void* pointer;
  };
  std::atomic<ULONG> refCount_{0};
  std::vector<Entry> table_;
};

// Reports a failure as the error frame does: LastError, the system log, the thread's
// error information; returns the status. Never raises.
class CErrorFrame {
 public:
  CErrorFrame(const IID& iid, std::string source) : iid_(iid), source_(std::move(source)) {}

  // The status for the exception being handled (call inside a catch block).
  HRESULT Fail() noexcept;
  // The status without LastError, log or error information (frame-less members).
  static HRESULT StatusOfCurrentException() noexcept;

  const std::string& LastError() const { return lastError_; }
  const IID& Iid() const { return iid_; }
  const std::string& Source() const { return source_; }

 private:
  IID iid_;
  std::string source_;
  std::string lastError_;
};

// Sets the thread's error information (interface, source, description; no help file).
void SetThreadErrorInfo(const IID& iid, const std::string& source, const std::string& description) noexcept;

// Raised for a null out-pointer or a null required interface argument: the message of
// the argument check with status E_POINTER.
[[noreturn]] void RaiseNullArgument(const std::string& name);

template <class T>
T* CheckOut(T* pointer, const char* name) {
  if (!pointer) RaiseNullArgument(name);
  *pointer = T{};
  return pointer;
}

// A missing engine: the member fails with a clear message until its engine is built.
[[noreturn]] void RaiseNotAvailable(const char* member);

// The lock a call holds on its object. Objects that show parts of one engine share one: a
// package object and the views of its entries (see ShareLock).
using ObjectLock = std::shared_ptr<std::recursive_mutex>;

// The dispatch and error-information half of every automation object. A concrete class
// derives from CAutoDual<Interface> (below), which lays out the interface's slots.
class CAutoIntfObject : public CInterfacedObject {
 public:
  // `source`: the programmatic identifier for creatable classes, empty otherwise.
  // `typeInfo`: the interface's description, by default the library's own.
  CAutoIntfObject(const IID& iid, std::string source, CTypeInfo* typeInfo = nullptr);

  // With a controlling object set, adding and releasing references goes to it.
  void SetController(IUnknown* controller) { controller_ = controller; }
  IUnknown* Controller() const { return controller_; }

  const std::string& LastError() const { return frame_.LastError(); }
  const IID& DualIid() const { return iid_; }

  // Members run one at a time under this lock, their error frame included, whatever the
  // threads that call them. An object that shows a part of another object's engine takes
  // that object's lock before it is handed out, so that a call on it and a call on the
  // owner, or the owner's destruction, never overlap. Recursive: a member may call another
  // member of an object under the same lock.
  const ObjectLock& Lock() const { return lock_; }
  void ShareLock(ObjectLock lock) { lock_ = std::move(lock); }

 protected:
  // The error frame around a member's body (see CErrorFrame), under the object's lock.
  template <class F>
  HRESULT Frame(F&& body) noexcept {
    std::lock_guard<std::recursive_mutex> guard(*lock_);
    try {
      body();
      return S_OK;
    } catch (...) {
      return frame_.Fail();
    }
  }
  // A member without the frame: a failure is a status and nothing else.
  template <class F>
  HRESULT Plain(F&& body) noexcept {
    std::lock_guard<std::recursive_mutex> guard(*lock_);
    try {
      body();
      return S_OK;
    } catch (...) {
      return CErrorFrame::StatusOfCurrentException();
    }
  }
  // The LastError getter (frame-less).
  HRESULT GetLastErrorText(BSTR* value) noexcept;

  ULONG DispAddRef() { return controller_ ? controller_->AddRef() : ObjAddRef(); }
  ULONG DispRelease() { return controller_ ? controller_->Release() : ObjRelease(); }
  HRESULT DispGetTypeInfoCount(UINT* pctinfo);
  HRESULT DispGetTypeInfo(UINT iTInfo, ITypeInfo** ppTInfo);
  HRESULT DispGetIDsOfNames(REFIID riid, LPOLESTR* rgszNames, UINT cNames, DISPID* rgDispId);
  HRESULT DispInvoke(void* dual, DISPID dispIdMember, REFIID riid, WORD wFlags, DISPPARAMS* pDispParams,
                     VARIANT* pVarResult, EXCEPINFO* pExcepInfo, UINT* puArgErr);
  HRESULT DispInterfaceSupportsErrorInfo(REFIID riid) { return riid == iid_ ? S_OK : S_FALSE; }

 private:
  IID iid_;
  CTypeInfo* typeInfo_;
  IUnknown* controller_ = nullptr;  // not referenced: it owns this object
  CErrorFrame frame_;
  ObjectLock lock_ = std::make_shared<std::recursive_mutex>();
};

// Lays out the slots of dual interface Itf (and ISupportErrorInfo) over CAutoIntfObject.
template <class Itf>
class CAutoDual : public CAutoIntfObject, public Itf, public ISupportErrorInfo {
 public:
  explicit CAutoDual(std::string source = {}, CTypeInfo* typeInfo = nullptr)
      : CAutoIntfObject(QvInterfaceId<Itf>::iid(), std::move(source), typeInfo) {
    AddInterface(IID_IUnknown, static_cast<Itf*>(this));
    AddInterface(IID_IDispatch, static_cast<Itf*>(this));
    AddInterface(QvInterfaceId<Itf>::iid(), static_cast<Itf*>(this));
    AddInterface(IID_ISupportErrorInfo, static_cast<ISupportErrorInfo*>(this));
  }

  Itf* Interface() { return this; }

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
    return ObjQueryInterface(riid, ppv);
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return DispAddRef(); }
  ULONG STDMETHODCALLTYPE Release() override { return DispRelease(); }
  HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* pctinfo) override { return DispGetTypeInfoCount(pctinfo); }
  HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT iTInfo, LCID, ITypeInfo** ppTInfo) override {
    return DispGetTypeInfo(iTInfo, ppTInfo);
  }
  HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID riid, LPOLESTR* rgszNames, UINT cNames, LCID,
                                          DISPID* rgDispId) override {
    return DispGetIDsOfNames(riid, rgszNames, cNames, rgDispId);
  }
  HRESULT STDMETHODCALLTYPE Invoke(DISPID dispIdMember, REFIID riid, LCID, WORD wFlags,
                                   DISPPARAMS* pDispParams, VARIANT* pVarResult, EXCEPINFO* pExcepInfo,
                                   UINT* puArgErr) override {
    return DispInvoke(static_cast<Itf*>(this), dispIdMember, riid, wFlags, pDispParams, pVarResult,
                      pExcepInfo, puArgErr);
  }
  HRESULT STDMETHODCALLTYPE InterfaceSupportsErrorInfo(REFIID riid) override {
    return DispInterfaceSupportsErrorInfo(riid);
  }
};

// A class that adds another interface derived from IDispatch (IVorlentKeyContext) to
// CAutoDual<Itf> declares the basic slots of both interfaces once, with this macro, and
// adds the interface to the table in its constructor:
//   AddInterface(IID_IVorlentKeyContext, static_cast<IVorlentKeyContext*>(this));
// The dispatch slots of the other interface answer for Itf.
// Itf names a type: it cannot be put in parentheses.
// NOLINTBEGIN(bugprone-macro-parentheses)
#define QV_AUTO_DUAL_SLOTS(Itf)                                                                         \
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {                          \
    return ObjQueryInterface(riid, ppv);                                                                \
  }                                                                                                     \
  ULONG STDMETHODCALLTYPE AddRef() override {                                                           \
    return DispAddRef();                                                                                \
  }                                                                                                     \
  ULONG STDMETHODCALLTYPE Release() override {                                                          \
    return DispRelease();                                                                               \
  }                                                                                                     \
  HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* pctinfo) override {                                  \
    return DispGetTypeInfoCount(pctinfo);                                                               \
  }                                                                                                     \
  HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT iTInfo, LCID, ITypeInfo** ppTInfo) override {              \
    return DispGetTypeInfo(iTInfo, ppTInfo);                                                            \
  }                                                                                                     \
  HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID riid, LPOLESTR* rgszNames, UINT cNames, LCID,          \
                                          DISPID* rgDispId) override {                                  \
    return DispGetIDsOfNames(riid, rgszNames, cNames, rgDispId);                                        \
  }                                                                                                     \
  HRESULT STDMETHODCALLTYPE Invoke(DISPID dispIdMember, REFIID riid, LCID, WORD wFlags,                 \
                                   DISPPARAMS* pDispParams, VARIANT* pVarResult, EXCEPINFO* pExcepInfo, \
                                   UINT* puArgErr) override {                                           \
    return DispInvoke(static_cast<Itf*>(this), dispIdMember, riid, wFlags, pDispParams, pVarResult,     \
                      pExcepInfo, puArgErr);                                                            \
  }
// NOLINTEND(bugprone-macro-parentheses)

// Automation Booleans.
inline VARIANT_BOOL ToVariantBool(bool value) {
  return value ? VARIANT_TRUE : VARIANT_FALSE;
}
inline bool FromVariantBool(VARIANT_BOOL value) {
  return value != VARIANT_FALSE;
}

}  // namespace qv
