// The in-process server: the creatable classes, their class factories, registration
// and the library's own version.
#pragma once

#include <string>
#include <vector>

#include "automation/AutoObject.h"

namespace qv {

// Makes one new object of a creatable class and answers `riid` from it.
using ObjectCreator = HRESULT (*)(REFIID riid, void** ppv);

struct CClassInfo {
  CLSID clsid;
  IID defaultInterface;
  const char* name;    // the class name in the type library
  const char* progId;  // "QelVorlentLib.<name>"
  ObjectCreator create;
};

// The base of the creatable classes: the frame's source is the programmatic identifier.
// The engine is made by CreateEngine, inside the error frame, when the factory creates
// the object; a failure there makes the creation fail.
template <class Itf>
class CAutoObject : public CAutoDual<Itf> {
 public:
  explicit CAutoObject(std::string progId) : CAutoDual<Itf>(std::move(progId)) {}

  HRESULT Initialize() {
    return this->Frame([&] { CreateEngine(); });
  }

 protected:
  virtual void CreateEngine() {}
};

// Library start-up, run before every object is made (the work is done once per process):
// installs the services the lower layers take from the keys layer (the package's
// cryptography, the chain check of signature verification, client certificates of the
// HTTP client).
void StartLibraryServices();

template <class T>
HRESULT CreateObject(REFIID riid, void** ppv) {
  if (!ppv) return E_POINTER;
  *ppv = nullptr;
  T* object;
  try {
    StartLibraryServices();
    object = new T();
  } catch (...) {
    return E_OUTOFMEMORY;
  }
  object->ObjAddRef();
  HRESULT hr = object->Initialize();
  if (SUCCEEDED(hr)) hr = object->ObjQueryInterface(riid, ppv);
  object->ObjRelease();
  return hr;
}

// The creatable classes, in registration order: Vorlent, VorlentCrypt, CertChecker.
const std::vector<const CClassInfo*>& CreatableClasses();

// The "FileVersion" of the library file's own version strings; empty when it has none.
std::string LibraryFileVersion();

// The registry entries of the server (type library, interfaces, classes) for the library
// at `serverPath`, in the registry file `registryFile` (the user's or the machine's);
// UnregisterServer removes exactly what RegisterServer writes.
void RegisterServer(const std::string& serverPath, const std::string& registryFile);
void UnregisterServer(const std::string& registryFile);

// "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}" and back (false for malformed text).
std::string GuidText(const GUID& guid);
bool ParseGuid(const std::string& text, GUID& guid);

}  // namespace qv
