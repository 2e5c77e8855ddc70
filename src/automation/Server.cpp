// Class factories, the server's entry points and its registration.
#include "automation/Server.h"

#include <cctype>
#include <cstdio>
#include <new>
#include <string_view>

#include "automation/CertCheckerObject.h"
#include "automation/VorlentCryptObject.h"
#include "automation/VorlentObject.h"
#include "foundation/CodePage.h"
#include "foundation/Errors.h"
#include "foundation/StrArray.h"
#include "foundation/VersionInfo.h"
#include "keys/PackageCryptoService.h"
#include "keys/VorlentCrypt.h"
#include "platform/registry/Registry.h"

namespace qv {

namespace {

// One factory per creatable class: static objects, not counted as live objects; a
// lock keeps the server loaded.
class CClassFactory final : public IClassFactory {
 public:
  explicit CClassFactory(const CClassInfo& info) : info_(info) {}

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    if (riid != IID_IUnknown && riid != IID_IClassFactory) return E_NOINTERFACE;
    *ppv = static_cast<IClassFactory*>(this);
    return S_OK;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
  ULONG STDMETHODCALLTYPE Release() override { return 1; }

  HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* pUnkOuter, REFIID riid, void** ppvObject) override {
    if (!ppvObject) return E_POINTER;
    *ppvObject = nullptr;
    if (pUnkOuter) return CLASS_E_NOAGGREGATION;
    return info_.create(riid, ppvObject);
  }
  HRESULT STDMETHODCALLTYPE LockServer(BOOL fLock) override {
    if (fLock) {
      ModuleLock();
    } else if (ModuleLockCount() > 0) {
      ModuleUnlock();
    }
    return S_OK;
  }

  virtual ~CClassFactory() = default;

 private:
  const CClassInfo& info_;
};

CClassFactory* FactoryFor(REFCLSID clsid) {
  static CClassFactory vorlent(CVorlent_class::ClassInfo());
  static CClassFactory crypt(CVorlentCrypt_class::ClassInfo());
  static CClassFactory checker(CCertChecker_class::ClassInfo());
  if (clsid == CLSID_Vorlent) return &vorlent;
  if (clsid == CLSID_VorlentCrypt) return &crypt;
  if (clsid == CLSID_CertChecker) return &checker;
  return nullptr;
}

}  // namespace

void StartLibraryServices() {
  // every object of the library may reach the package's cryptography, the chain check
  // and the client certificates of downloads
  InstallPackageCrypto();
  InstallKeyServices();
}

namespace {

const char kTypeLibName[] = "QelVorlentLib";
const char kTypeLibVersion[] = "1.0";

std::string ClassKey(const CClassInfo& info) {
  return "CLSID\\" + GuidText(info.clsid);
}
std::string TypeLibKey() {
  return "TypeLib\\" + GuidText(LIBID_QelVorlentLib);
}

}  // namespace

const std::vector<const CClassInfo*>& CreatableClasses() {
  static const std::vector<const CClassInfo*> classes{
      &CVorlent_class::ClassInfo(), &CVorlentCrypt_class::ClassInfo(), &CCertChecker_class::ClassInfo()};
  return classes;
}

std::string LibraryFileVersion() {
  CStrArray list;
  GetVersionInfo(OwnModulePath(), list);
  return list.ValueOf("FileVersion");
}

std::string GuidText(const GUID& guid) {
  char text[40];
  std::snprintf(text, sizeof text, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", guid.Data1,
                guid.Data2, guid.Data3, guid.Data4[0], guid.Data4[1], guid.Data4[2], guid.Data4[3],
                guid.Data4[4], guid.Data4[5], guid.Data4[6], guid.Data4[7]);
  return text;
}

bool ParseGuid(const std::string& text, GUID& guid) {
  // {XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}
  if (text.size() != 38 || text[0] != '{' || text[37] != '}') return false;
  std::string hex;
  for (std::size_t i = 1; i < 37; ++i) {
    char c = text[i];
    bool dash = i == 9 || i == 14 || i == 19 || i == 24;
    if (dash != (c == '-')) return false;
    if (dash) continue;
    if (!std::isxdigit(static_cast<unsigned char>(c))) return false;
    hex += c;
  }
  auto field = [&](std::size_t offset, std::size_t digits) {
    return static_cast<std::uint32_t>(std::stoul(hex.substr(offset, digits), nullptr, 16));
  };
  guid.Data1 = field(0, 8);
  guid.Data2 = static_cast<std::uint16_t>(field(8, 4));
  guid.Data3 = static_cast<std::uint16_t>(field(12, 4));
  for (std::size_t i = 0; i < 8; ++i) guid.Data4[i] = static_cast<std::uint8_t>(field(16 + 2 * i, 2));
  return true;
}

void RegisterServer(const std::string& serverPath, const std::string& registryFile) {
  CRegistry::Update(registryFile, [&](CRegistry& registry) {
    // The type library, found in the library file itself.
    std::string lib = TypeLibKey() + "\\" + kTypeLibVersion;
    registry.SetValue(lib, "@", kTypeLibName);
    registry.SetValue(lib + "\\0\\linux64", "@", serverPath);
    registry.SetValue(lib + "\\FLAGS", "@", "0");
    registry.SetValue(lib + "\\HELPDIR", "@", "");
    for (CTypeInfo* info : LibraryTypeInfos()) {
      std::string key = "Interface\\" + GuidText(info->Iid());
      std::u16string name(info->Name());
      registry.SetValue(key, "@", Utf16ToCp1251(name));
      registry.SetValue(key + "\\TypeLib", "@", GuidText(LIBID_QelVorlentLib));
      registry.SetValue(key + "\\TypeLib", "Version", kTypeLibVersion);
    }
    for (const CClassInfo* info : CreatableClasses()) {
      std::string key = ClassKey(*info);
      registry.SetValue(key, "@", info->name);
      registry.SetValue(key + "\\InprocServer32", "@", serverPath);
      registry.SetValue(key + "\\InprocServer32", "ThreadingModel", "Apartment");
      registry.SetValue(key + "\\ProgID", "@", info->progId);
      registry.SetValue(key + "\\TypeLib", "@", GuidText(LIBID_QelVorlentLib));
      registry.SetValue(key + "\\Version", "@", kTypeLibVersion);
      registry.SetValue(info->progId, "@", info->name);
      registry.SetValue(std::string(info->progId) + "\\CLSID", "@", GuidText(info->clsid));
    }
  });
}

void UnregisterServer(const std::string& registryFile) {
  CRegistry::Update(registryFile, [&](CRegistry& registry) {
    for (const CClassInfo* info : CreatableClasses()) {
      registry.DeleteKeyTree(info->progId);
      registry.DeleteKeyTree(ClassKey(*info));
    }
    for (CTypeInfo* info : LibraryTypeInfos()) registry.DeleteKeyTree("Interface\\" + GuidText(info->Iid()));
    registry.DeleteKeyTree(TypeLibKey());
  });
}

}  // namespace qv

// ---------------------------------------------------------------- entry points

STDAPI DllGetClassObject(REFCLSID rclsid, REFIID riid, void** ppv) {
  if (!ppv) return E_POINTER;
  *ppv = nullptr;
  qv::CClassFactory* factory = qv::FactoryFor(rclsid);
  if (!factory) return CLASS_E_CLASSNOTAVAILABLE;
  return factory->QueryInterface(riid, ppv);
}

STDAPI DllCanUnloadNow() {
  return qv::ModuleObjectCount() == 0 && qv::ModuleLockCount() == 0 ? S_OK : S_FALSE;
}

namespace qv {
namespace {

// Registration in the user's or the machine's registry file, its failures turned into statuses.
HRESULT Registration(bool install, bool machine) {
  try {
    std::string file = machine ? CRegistry::MachineFileName() : CRegistry::FileName();
    if (install) {
      // absolute, links resolved: every client in every folder loads this very file
      std::string path = OwnModulePath();
      if (path.empty() || path[0] != '/')
        RaiseErrorFmt("Не удалось определить полный путь библиотеки: [%s]"_cp, {path});
      RegisterServer(path, file);
    } else {
      UnregisterServer(file);
    }
    return S_OK;
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  } catch (const std::exception& e) {
    SetThreadErrorInfo(IID_NULL, {}, e.what());
    return REGDB_E_WRITEREGDB;
  } catch (...) {
    return E_UNEXPECTED;
  }
}

}  // namespace
}  // namespace qv

STDAPI DllRegisterServer() {
  return qv::Registration(true, false);
}

STDAPI DllUnregisterServer() {
  return qv::Registration(false, false);
}

// "user" (or nothing) and "machine" choose the registry file, as regsvr32 /i passes them.
STDAPI DllInstall(BOOL bInstall, LPCOLESTR pszCmdLine) {
  std::u16string_view where = pszCmdLine ? pszCmdLine : u"";
  if (where != u"" && where != u"user" && where != u"machine") return E_INVALIDARG;
  return qv::Registration(bInstall != 0, where == u"machine");
}
