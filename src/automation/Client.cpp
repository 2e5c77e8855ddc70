// The client side of the object model: creating objects the way CoCreateInstance does
// for in-process servers (registry, dlopen, DllGetClassObject, CreateInstance).
#include <dlfcn.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>

#include <mutex>
#include <new>
#include <string>
#include <vector>

#include "automation/Bstr.h"
#include "automation/Server.h"
#include "foundation/CodePage.h"
#include "foundation/Format.h"
#include "platform/registry/Registry.h"

namespace qv {

namespace {

struct CLoadedServer {
  std::string path;
  void* handle;
};

std::mutex& ServersLock() {
  static std::mutex lock;
  return lock;
}

std::vector<CLoadedServer>& Servers() {
  static std::vector<CLoadedServer> servers;
  return servers;
}

using GetClassObjectProc = HRESULT (*)(REFCLSID, REFIID, void**);
using CanUnloadNowProc = HRESULT (*)();

// The server library of a class: loaded once and kept until it may be unloaded.
HRESULT LoadServer(const std::string& path, void*& handle) {
  std::lock_guard<std::mutex> guard(ServersLock());
  for (const CLoadedServer& server : Servers()) {
    if (server.path == path) {
      handle = server.handle;
      return S_OK;
    }
  }
  handle = dlopen(SysPath(path).c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!handle) {
    const char* error = dlerror();
    SetThreadErrorInfo(IID_NULL, {}, Utf8ToCp1251(error ? error : path.c_str()));
    return CO_E_DLLNOTFOUND;
  }
  Servers().push_back(CLoadedServer{path, handle});
  return S_OK;
}

// The first file or folder on the way to `path` (UTF-8, absolute) that someone other than the
// superuser or the caller could change: owned by another user, or writable by a group or by
// others (a folder with the sticky bit excepted: there no one replaces what is not theirs).
// Empty when there is none; what does not exist is left to the loader to report.
std::string ChangeableByOthers(const std::string& path) {
  const uid_t self = ::geteuid();
  std::size_t end = 0;
  while (end != std::string::npos) {
    end = path.find('/', end + 1);
    std::string part = end == std::string::npos ? path : path.substr(0, end == 0 ? 1 : end);
    struct stat st {};
    if (::lstat(part.c_str(), &st) != 0) return {};
    bool others = st.st_uid != 0 && st.st_uid != self;
    if (S_ISDIR(st.st_mode))
      others = others || ((st.st_mode & 022) && !(st.st_mode & S_ISVTX));
    else if (!S_ISLNK(st.st_mode))
      others = others || (st.st_mode & 022);
    if (others) return part;
  }
  return {};
}

// Whether the server a registry names may be loaded; when not, the error information is set.
// A relative path names another file in every folder a program runs in. An entry of the machine's
// registry serves every user, so neither the file nor a folder on its way (nor on the way to
// what links lead to) may be open to changes by anyone but the superuser (or the caller, who
// could only harm themselves).
HRESULT CheckServerPath(const CLSID& clsid, const std::string& path, bool machine) {
  if (path.empty() || path[0] != '/') {
    SetThreadErrorInfo(IID_NULL, {},
                       FormatText("В реестре указан относительный путь к библиотеке класса %s: [%s]; "
                                  "такой путь не принимается, зарегистрируйте библиотеку заново"_cp,
                                  {GuidText(clsid), path}));
    return REGDB_E_READREGDB;
  }
  if (!machine) return S_OK;
  std::string file = SysPath(path);
  std::string open = ChangeableByOthers(file);
  if (open.empty()) {
    char* resolved = ::realpath(file.c_str(), nullptr);
    if (resolved) open = ChangeableByOthers(resolved);
    std::free(resolved);
  }
  if (open.empty()) return S_OK;
  SetThreadErrorInfo(IID_NULL, {},
                     FormatText("Библиотека класса %s из реестра компьютера не загружена: [%s] может "
                                "изменить не только администратор"_cp,
                                {GuidText(clsid), Utf8ToCp1251(open)}));
  return E_ACCESSDENIED;
}

}  // namespace

}  // namespace qv

STDAPI QvStringFromGUID(REFGUID rguid, BSTR* pbstr) {
  if (!pbstr) return E_POINTER;
  *pbstr = nullptr;
  try {
    *pbstr = qv::TextToBstr(qv::GuidText(rguid));
    return S_OK;
  } catch (...) {
    return E_OUTOFMEMORY;
  }
}

STDAPI QvGUIDFromString(LPCOLESTR lpsz, GUID* pguid) {
  if (!lpsz || !pguid) return E_POINTER;
  try {
    std::u16string wide(lpsz);
    std::string text = qv::Utf16ToCp1251(wide);
    return qv::ParseGuid(text, *pguid) ? S_OK : CO_E_CLASSSTRING;
  } catch (...) {
    return E_OUTOFMEMORY;
  }
}

STDAPI QvCLSIDFromProgID(LPCOLESTR lpszProgID, CLSID* pclsid) {
  if (!lpszProgID || !pclsid) return E_POINTER;
  *pclsid = GUID_NULL;
  try {
    std::string progId = qv::Utf16ToCp1251(std::u16string(lpszProgID));
    std::string text;
    if (progId.empty() || !qv::CRegistry::Read(progId + "\\CLSID", "@", text)) return CO_E_CLASSSTRING;
    return qv::ParseGuid(text, *pclsid) ? S_OK : CO_E_CLASSSTRING;
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  } catch (const std::exception& e) {
    qv::SetThreadErrorInfo(IID_NULL, {}, e.what());
    return REGDB_E_READREGDB;
  }
}

STDAPI QvCoGetClassObject(REFCLSID rclsid, DWORD dwClsContext, REFIID riid, void** ppv) {
  if (!ppv) return E_POINTER;
  *ppv = nullptr;
  if ((dwClsContext & CLSCTX_INPROC_SERVER) == 0) return REGDB_E_CLASSNOTREG;
  try {
    std::string path;
    bool machine = false;
    if (!qv::CRegistry::Read("CLSID\\" + qv::GuidText(rclsid) + "\\InprocServer32", "@", path, &machine) ||
        path.empty()) {
      return REGDB_E_CLASSNOTREG;
    }
    HRESULT hr = qv::CheckServerPath(rclsid, path, machine);
    if (FAILED(hr)) return hr;
    void* handle = nullptr;
    hr = qv::LoadServer(path, handle);
    if (FAILED(hr)) return hr;
    auto getClassObject = reinterpret_cast<qv::GetClassObjectProc>(dlsym(handle, "DllGetClassObject"));
    if (!getClassObject) return CO_E_ERRORINDLL;
    return getClassObject(rclsid, riid, ppv);
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  } catch (const std::exception& e) {
    qv::SetThreadErrorInfo(IID_NULL, {}, e.what());
    return REGDB_E_READREGDB;
  }
}

STDAPI QvCoCreateInstance(REFCLSID rclsid, IUnknown* pUnkOuter, DWORD dwClsContext, REFIID riid, void** ppv) {
  if (!ppv) return E_POINTER;
  *ppv = nullptr;
  IClassFactory* factory = nullptr;
  HRESULT hr =
      QvCoGetClassObject(rclsid, dwClsContext, IID_IClassFactory, reinterpret_cast<void**>(&factory));
  if (FAILED(hr)) return hr;
  hr = factory->CreateInstance(pUnkOuter, riid, ppv);
  factory->Release();
  return hr;
}

STDAPI QvCreateObject(LPCOLESTR lpszProgIDOrClsid, REFIID riid, void** ppv) {
  if (!lpszProgIDOrClsid || !ppv) return E_POINTER;
  *ppv = nullptr;
  CLSID clsid;
  HRESULT hr = lpszProgIDOrClsid[0] == u'{' ? QvGUIDFromString(lpszProgIDOrClsid, &clsid)
                                            : QvCLSIDFromProgID(lpszProgIDOrClsid, &clsid);
  if (FAILED(hr)) return hr;
  return QvCoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, riid, ppv);
}

STDAPI QvCreateInstanceDirect(REFCLSID rclsid, REFIID riid, void** ppv) {
  if (!ppv) return E_POINTER;
  *ppv = nullptr;
  IClassFactory* factory = nullptr;
  HRESULT hr = DllGetClassObject(rclsid, IID_IClassFactory, reinterpret_cast<void**>(&factory));
  if (FAILED(hr)) return hr;
  hr = factory->CreateInstance(nullptr, riid, ppv);
  factory->Release();
  return hr;
}

STDAPI_(void) QvCoFreeUnusedLibraries() {
  std::lock_guard<std::mutex> guard(qv::ServersLock());
  auto& servers = qv::Servers();
  for (std::size_t i = servers.size(); i-- > 0;) {
    auto canUnload = reinterpret_cast<qv::CanUnloadNowProc>(dlsym(servers[i].handle, "DllCanUnloadNow"));
    if (canUnload && canUnload() == S_OK) {
      dlclose(servers[i].handle);
      servers.erase(servers.begin() + static_cast<std::ptrdiff_t>(i));
    }
  }
}
