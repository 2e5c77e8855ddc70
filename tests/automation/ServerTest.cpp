// The library as a client sees it: libqelvorlent.so loaded with dlopen, registered into
// the test's own registry file, objects created by programmatic identifier.
#include <dlfcn.h>
#include <link.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <string>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "common/TestEnv.h"
#include "foundation/CodePage.h"
#include "qelvorlent/QelVorlentLib.h"

namespace {

using qv::operator""_cp;

// The runtime functions of the loaded library (the test program has its own copies,
// whose thread-local error information is not the library's).
struct CServer {
  void* handle = nullptr;
  decltype(&::DllRegisterServer) Register = nullptr;
  decltype(&::DllUnregisterServer) Unregister = nullptr;
  decltype(&::DllCanUnloadNow) CanUnloadNow = nullptr;
  decltype(&::DllGetClassObject) GetClassObject = nullptr;
  decltype(&::QvCreateObject) CreateObject = nullptr;
  decltype(&::GetErrorInfo) GetError = nullptr;
  decltype(&::SetErrorInfo) SetError = nullptr;

  template <class F>
  void Load(F& function, const char* name) {
    function = reinterpret_cast<F>(dlsym(handle, name));
    ASSERT_NE(function, nullptr) << name;
  }
  void Open() {
    handle = dlopen(QV_SERVER_PATH, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(handle, nullptr) << dlerror();
    Load(Register, "DllRegisterServer");
    Load(Unregister, "DllUnregisterServer");
    Load(CanUnloadNow, "DllCanUnloadNow");
    Load(GetClassObject, "DllGetClassObject");
    Load(CreateObject, "QvCreateObject");
    Load(GetError, "GetErrorInfo");
    Load(SetError, "SetErrorInfo");
  }
  ~CServer() {
    if (handle) dlclose(handle);
  }
};

std::u16string Wide(BSTR text) {
  return text ? std::u16string(text, SysStringLen(text)) : std::u16string();
}
std::u16string Wide(const std::string& cp1251) {
  return qv::Cp1251ToUtf16(cp1251);
}

// What a failed call left for the client.
struct CErrorSeen {
  std::u16string source;
  std::u16string description;
  GUID iid = GUID_NULL;
};

CErrorSeen TakeError(CServer& server) {
  CErrorSeen seen;
  IErrorInfo* error = nullptr;
  if (server.GetError(0, &error) != S_OK || !error) return seen;
  BSTR text = nullptr;
  error->GetSource(&text);
  seen.source = Wide(text);
  SysFreeString(text);
  error->GetDescription(&text);
  seen.description = Wide(text);
  SysFreeString(text);
  error->GetGUID(&seen.iid);
  error->Release();
  return seen;
}

std::u16string LastError(IVorlent* vorlent) {
  BSTR text = nullptr;
  EXPECT_EQ(vorlent->get_LastError(&text), S_OK);
  std::u16string result = Wide(text);
  SysFreeString(text);
  return result;
}

DISPID IdOf(IDispatch* object, const char16_t* name) {
  LPOLESTR names[] = {const_cast<LPOLESTR>(name)};
  DISPID id = DISPID_UNKNOWN;
  EXPECT_EQ(object->GetIDsOfNames(IID_NULL, names, 1, 0, &id), S_OK);
  return id;
}

class ServerTest : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_NO_FATAL_FAILURE(server_.Open());
    // A fresh process has no syslog to spare: the failure reports of the loaded library
    // go to the system log, which is all right for a handful of lines.
    ASSERT_EQ(server_.Register(), S_OK);
  }
  IVorlent* CreateVorlent() {
    IVorlent* vorlent = nullptr;
    EXPECT_EQ(
        server_.CreateObject(u"QelVorlentLib.Vorlent", IID_IVorlent, reinterpret_cast<void**>(&vorlent)),
        S_OK);
    return vorlent;
  }
  CServer server_;
};

TEST_F(ServerTest, RegistrationNamesTheLibraryAndItsClasses) {
  std::string text = qvtest::ReadBytes(std::getenv("QELVORLENT_REGISTRY"));
  EXPECT_THAT(text, testing::HasSubstr("[CLSID\\{78C739B2-31F4-4FF4-9FEE-99F22337AA0E}\\InprocServer32]\n@=" +
                                       std::string(QV_SERVER_PATH) + "\nThreadingModel=Apartment\n"));
  EXPECT_THAT(
      text, testing::HasSubstr("[QelVorlentLib.Vorlent\\CLSID]\n@={78C739B2-31F4-4FF4-9FEE-99F22337AA0E}\n"));
  EXPECT_THAT(text, testing::HasSubstr("[QelVorlentLib.VorlentCrypt\\CLSID]\n"));
  EXPECT_THAT(text, testing::HasSubstr("[QelVorlentLib.CertChecker\\CLSID]\n"));
  EXPECT_THAT(
      text, testing::HasSubstr("[TypeLib\\{DB7256A1-C54B-4C7F-A4C4-3F1DE2696449}\\1.0]\n@=QelVorlentLib\n"));
}

TEST_F(ServerTest, EarlyAndLateBoundCallsBehaveTheSame) {
  IVorlent* vorlent = CreateVorlent();
  ASSERT_NE(vorlent, nullptr);
  EXPECT_EQ(LastError(vorlent), u"");

  // Early-bound: a member on a closed package fails through the frame.
  LONG count = 5;
  HRESULT early = vorlent->GetFileCount(&count);
  CErrorSeen earlyError = TakeError(server_);
  std::u16string earlyLast = LastError(vorlent);
  EXPECT_EQ(early, E_UNEXPECTED);
  EXPECT_EQ(count, 0);
  EXPECT_EQ(earlyError.description, Wide("Документ не открыт"_cp));
  EXPECT_EQ(earlyError.source, u"QelVorlentLib.Vorlent");
  EXPECT_TRUE(IsEqualGUID(earlyError.iid, IID_IVorlent));
  EXPECT_EQ(earlyLast, earlyError.description);

  // Late-bound by name, case-insensitively.
  VARIANT result;
  VariantInit(&result);
  EXCEPINFO excep{};
  UINT argErr = 0;
  DISPPARAMS none{nullptr, nullptr, 0, 0};
  HRESULT late = vorlent->Invoke(IdOf(vorlent, u"getfilecount"), IID_NULL, 0, DISPATCH_METHOD, &none, &result,
                                 &excep, &argErr);
  EXPECT_EQ(late, DISP_E_EXCEPTION);
  EXPECT_EQ(excep.scode, early);
  EXPECT_EQ(Wide(excep.bstrDescription), earlyError.description);
  EXPECT_EQ(Wide(excep.bstrSource), earlyError.source);
  EXPECT_EQ(result.vt, VT_EMPTY);
  SysFreeString(excep.bstrSource);
  SysFreeString(excep.bstrDescription);
  SysFreeString(excep.bstrHelpFile);
  // EXCEPINFO took the error information over: the thread keeps none.
  EXPECT_EQ(TakeError(server_).description, u"");
  EXPECT_EQ(LastError(vorlent), earlyLast);

  // Without EXCEPINFO the member's own status comes back.
  EXPECT_EQ(vorlent->Invoke(208, IID_NULL, 0, DISPATCH_METHOD, &none, &result, nullptr, nullptr),
            E_UNEXPECTED);
  TakeError(server_);

  // A member that works: the same value both ways, and LastError keeps the old failure.
  BSTR version = nullptr;
  ASSERT_EQ(vorlent->get_Version(&version), S_OK);
  EXPECT_FALSE(Wide(version).empty());
  ASSERT_EQ(vorlent->Invoke(IdOf(vorlent, u"Version"), IID_NULL, 0, DISPATCH_PROPERTYGET, &none, &result,
                            nullptr, nullptr),
            S_OK);
  ASSERT_EQ(result.vt, VT_BSTR);
  EXPECT_EQ(Wide(result.bstrVal), Wide(version));
  SysFreeString(version);
  VariantClear(&result);
  EXPECT_EQ(LastError(vorlent), earlyLast);

  VARIANT_BOOL flag = VARIANT_FALSE;
  ASSERT_EQ(vorlent->get_FlagUsageUserStorage(&flag), S_OK);
  EXPECT_EQ(flag, VARIANT_TRUE);
  VARIANT value;
  VariantInit(&value);
  value.vt = VT_I2;
  value.iVal = 0;
  DISPID put = DISPID_PROPERTYPUT;
  DISPPARAMS putParams{&value, &put, 1, 1};
  ASSERT_EQ(vorlent->Invoke(227, IID_NULL, 0, DISPATCH_PROPERTYPUT, &putParams, nullptr, nullptr, nullptr),
            S_OK);
  ASSERT_EQ(vorlent->get_FlagUsageUserStorage(&flag), S_OK);
  EXPECT_EQ(flag, VARIANT_FALSE);
  ASSERT_EQ(vorlent->Invoke(227, IID_NULL, 0, DISPATCH_PROPERTYGET, &none, &result, nullptr, nullptr), S_OK);
  EXPECT_EQ(result.vt, VT_BOOL);
  EXPECT_EQ(result.boolVal, VARIANT_FALSE);

  vorlent->Release();
}

TEST_F(ServerTest, TypeInformationAndErrorSupport) {
  IVorlent* vorlent = CreateVorlent();
  ASSERT_NE(vorlent, nullptr);
  UINT count = 0;
  EXPECT_EQ(vorlent->GetTypeInfoCount(&count), S_OK);
  EXPECT_EQ(count, 1u);
  ITypeInfo* info = reinterpret_cast<ITypeInfo*>(1);
  EXPECT_EQ(vorlent->GetTypeInfo(1, 0, &info), DISP_E_BADINDEX);
  EXPECT_EQ(info, nullptr);
  ASSERT_EQ(vorlent->GetTypeInfo(0, 0, &info), S_OK);
  GUID guid{};
  EXPECT_EQ(info->GetGuid(&guid), S_OK);
  EXPECT_TRUE(IsEqualGUID(guid, IID_IVorlent));
  BSTR names[4] = {};
  UINT found = 0;
  ASSERT_EQ(info->GetNames(211, names, 4, &found), S_OK);
  ASSERT_EQ(found, 3u);
  EXPECT_EQ(Wide(names[0]), u"SignFile");
  EXPECT_EQ(Wide(names[2]), u"pKey");
  for (UINT i = 0; i < found; ++i) SysFreeString(names[i]);
  // The members can be listed (a property's get and put are two descriptions), and each has
  // its documentation: what a late-bound client shows its user.
  UINT members = 0;
  ASSERT_EQ(info->GetMemberCount(&members), S_OK);
  EXPECT_EQ(members, 36u);
  MEMBERDESC desc{};
  EXPECT_EQ(info->GetMemberDesc(members, &desc), TYPE_E_ELEMENTNOTFOUND);
  int puts = 0;
  for (UINT i = 0; i < members; ++i) {
    ASSERT_EQ(info->GetMemberDesc(i, &desc), S_OK);
    BSTR doc = nullptr;
    ASSERT_EQ(info->GetDocumentation(desc.memid, nullptr, &doc, nullptr, nullptr), S_OK);
    EXPECT_GT(SysStringLen(doc), 4u) << desc.memid;
    SysFreeString(doc);
    if (desc.invkind == INVOKE_PROPERTYPUT) ++puts;
    if (desc.memid == 207) {  // AddFile
      EXPECT_EQ(desc.invkind, INVOKE_FUNC);
      EXPECT_EQ(desc.cParams, 5u);
      EXPECT_EQ(desc.vtParams[4], VT_BSTR);
      EXPECT_EQ(desc.vtResult, VT_DISPATCH);
    }
    if (desc.memid == 218 && desc.invkind == INVOKE_PROPERTYPUT) {  // SenderType
      EXPECT_EQ(desc.cParams, 1u);
      EXPECT_EQ(desc.vtParams[0], VT_I4);
    }
  }
  EXPECT_EQ(puts, 6);
  BSTR doc = nullptr;
  ASSERT_EQ(info->GetDocumentation(-1, nullptr, &doc, nullptr, nullptr), S_OK);
  EXPECT_EQ(qv::Utf16ToCp1251(std::u16string_view(doc, SysStringLen(doc))).substr(0, 5), "Пакет"_cp);
  SysFreeString(doc);
  info->Release();

  ISupportErrorInfo* support = nullptr;
  ASSERT_EQ(vorlent->QueryInterface(IID_ISupportErrorInfo, reinterpret_cast<void**>(&support)), S_OK);
  EXPECT_EQ(support->InterfaceSupportsErrorInfo(IID_IVorlent), S_OK);
  EXPECT_EQ(support->InterfaceSupportsErrorInfo(IID_IVorlentFile), S_FALSE);
  support->Release();
  IUnknown* unknown = nullptr;
  EXPECT_EQ(vorlent->QueryInterface(IID_IVorlentCrypt, reinterpret_cast<void**>(&unknown)), E_NOINTERFACE);
  EXPECT_EQ(unknown, nullptr);
  vorlent->Release();
}

TEST_F(ServerTest, EveryCreatableClassByNameAndUnknownNames) {
  struct Class {
    const char16_t* progId;
    IID iid;
  } classes[] = {{u"QelVorlentLib.Vorlent", IID_IVorlent},
                 {u"qelvorlentlib.vorlentcrypt", IID_IVorlentCrypt},
                 {u"QelVorlentLib.CertChecker", IID_ICertChecker},
                 {u"{45B8CE27-886E-476B-83C1-7649DBE7C1F9}", IID_ICertChecker}};
  for (const Class& item : classes) {
    IDispatch* object = nullptr;
    ASSERT_EQ(server_.CreateObject(item.progId, item.iid, reinterpret_cast<void**>(&object)), S_OK);
    VARIANT result;
    VariantInit(&result);
    DISPPARAMS none{nullptr, nullptr, 0, 0};
    EXPECT_EQ(object->Invoke(IdOf(object, u"LastError"), IID_NULL, 0, DISPATCH_PROPERTYGET, &none, &result,
                             nullptr, nullptr),
              S_OK);
    EXPECT_EQ(result.vt, VT_BSTR);
    VariantClear(&result);
    object->Release();
  }
  void* object = reinterpret_cast<void*>(1);
  EXPECT_EQ(server_.CreateObject(u"QelVorlentLib.Nothing", IID_IUnknown, &object), CO_E_CLASSSTRING);
  EXPECT_EQ(object, nullptr);
  EXPECT_EQ(server_.CreateObject(u"QelVorlentLib.Vorlent", IID_IVorlentFile, &object), E_NOINTERFACE);
  EXPECT_EQ(server_.CreateObject(nullptr, IID_IUnknown, &object), E_POINTER);
  EXPECT_EQ(server_.GetClassObject(IID_IVorlent, IID_IClassFactory, &object), CLASS_E_CLASSNOTAVAILABLE);

  IClassFactory* factory = nullptr;
  ASSERT_EQ(server_.GetClassObject(CLSID_Vorlent, IID_IClassFactory, reinterpret_cast<void**>(&factory)),
            S_OK);
  IUnknown* outer = reinterpret_cast<IUnknown*>(factory);
  EXPECT_EQ(factory->CreateInstance(outer, IID_IUnknown, &object), CLASS_E_NOAGGREGATION);
  EXPECT_EQ(factory->CreateInstance(nullptr, IID_IUnknown, nullptr), E_POINTER);
  factory->Release();
}

TEST_F(ServerTest, CanUnloadOnlyWithoutObjectsAndLocks) {
  server_.SetError(0, nullptr);
  EXPECT_EQ(server_.CanUnloadNow(), S_OK);
  IVorlent* vorlent = CreateVorlent();
  ASSERT_NE(vorlent, nullptr);
  EXPECT_EQ(server_.CanUnloadNow(), S_FALSE);
  IDispatch* second = nullptr;
  ASSERT_EQ(vorlent->QueryInterface(IID_IDispatch, reinterpret_cast<void**>(&second)), S_OK);
  vorlent->Release();
  EXPECT_EQ(server_.CanUnloadNow(), S_FALSE);  // still referenced through IDispatch
  second->Release();
  EXPECT_EQ(server_.CanUnloadNow(), S_OK);

  IClassFactory* factory = nullptr;
  ASSERT_EQ(server_.GetClassObject(CLSID_CertChecker, IID_IClassFactory, reinterpret_cast<void**>(&factory)),
            S_OK);
  EXPECT_EQ(factory->LockServer(TRUE), S_OK);
  EXPECT_EQ(server_.CanUnloadNow(), S_FALSE);
  EXPECT_EQ(factory->LockServer(FALSE), S_OK);
  EXPECT_EQ(server_.CanUnloadNow(), S_OK);
  factory->Release();

  // An error information object is an object of the library as long as the thread holds it.
  vorlent = CreateVorlent();
  LONG count = 0;
  EXPECT_EQ(vorlent->GetFileCount(&count), E_UNEXPECTED);
  vorlent->Release();
  EXPECT_EQ(server_.CanUnloadNow(), S_FALSE);
  server_.SetError(0, nullptr);
  EXPECT_EQ(server_.CanUnloadNow(), S_OK);

  // A late-bound failure hands its error object over in EXCEPINFO: a script host that reads
  // EXCEPINFO and never asks for the error object does not keep the library loaded.
  vorlent = CreateVorlent();
  LPOLESTR name = const_cast<LPOLESTR>(u"GetFileCount");
  DISPID id = 0;
  ASSERT_EQ(vorlent->GetIDsOfNames(IID_NULL, &name, 1, 0, &id), S_OK);
  VARIANT result;
  VariantInit(&result);
  DISPPARAMS none{};
  EXCEPINFO excep{};
  EXPECT_EQ(vorlent->Invoke(id, IID_NULL, 0, DISPATCH_METHOD, &none, &result, &excep, nullptr),
            DISP_E_EXCEPTION);
  EXPECT_EQ(excep.scode, E_UNEXPECTED);
  SysFreeString(excep.bstrSource);
  SysFreeString(excep.bstrDescription);
  SysFreeString(excep.bstrHelpFile);
  vorlent->Release();
  EXPECT_EQ(server_.CanUnloadNow(), S_OK);
}

TEST_F(ServerTest, UnregisterLeavesTheRegistryAsBefore) {
  std::string file = std::getenv("QELVORLENT_REGISTRY");
  // Registered in SetUp; the file goes away with the last entry.
  ASSERT_EQ(server_.Unregister(), S_OK);
  EXPECT_FALSE(std::ifstream(file).good());

  const std::string foreign =
      "QelVorlent registry 1\n\n[CLSID\\{00000000-1111-2222-3333-444444444444}\\InprocServer32]\n"
      "@=/opt/other/libother.so\nThreadingModel=Both\n\n[Other.Class\\CLSID]\n@={00000000-1111-2222-3333-"
      "444444444444}\n";
  qvtest::WriteBytes(file, foreign);
  ASSERT_EQ(server_.Register(), S_OK);
  ASSERT_EQ(server_.Register(), S_OK);  // twice: the same entries, once
  std::string registered = qvtest::ReadBytes(file);
  EXPECT_THAT(registered, testing::StartsWith(foreign));
  ASSERT_EQ(server_.Unregister(), S_OK);
  EXPECT_EQ(qvtest::ReadBytes(file), foreign);
  ASSERT_EQ(server_.Unregister(), S_OK);
  EXPECT_EQ(qvtest::ReadBytes(file), foreign);
}

TEST_F(ServerTest, MachineRegistrationServesUsersWithoutTheirOwnEntries) {
  auto install = reinterpret_cast<decltype(&::DllInstall)>(dlsym(server_.handle, "DllInstall"));
  ASSERT_NE(install, nullptr);
  std::string user = std::getenv("QELVORLENT_REGISTRY");
  std::string machine = std::getenv("QELVORLENT_MACHINE_REGISTRY");
  ASSERT_EQ(install(FALSE, u"user"), S_OK);  // SetUp registered for the user
  EXPECT_FALSE(std::ifstream(user).good());

  const std::string foreign =
      "QelVorlent registry 1\n\n[Other.Class\\CLSID]\n@={00000000-1111-2222-3333-444444444444}\n";
  qvtest::WriteBytes(machine, foreign);
  ASSERT_EQ(install(TRUE, u"machine"), S_OK);
  EXPECT_FALSE(std::ifstream(user).good());
  EXPECT_THAT(qvtest::ReadBytes(machine), testing::StartsWith(foreign));
  IVorlent* vorlent = CreateVorlent();  // no entry of the user's: the machine's serves
  ASSERT_NE(vorlent, nullptr);
  vorlent->Release();

  // The user's entry wins over the machine's: here it names the certificate checker.
  qvtest::WriteBytes(user,
                     "QelVorlent registry 1\n\n[QelVorlentLib.Vorlent\\CLSID]\n"
                     "@={45B8CE27-886E-476B-83C1-7649DBE7C1F9}\n");
  void* object = nullptr;
  EXPECT_EQ(server_.CreateObject(u"QelVorlentLib.Vorlent", IID_IVorlent, &object), E_NOINTERFACE);
  ASSERT_EQ(server_.CreateObject(u"QelVorlentLib.Vorlent", IID_ICertChecker, &object), S_OK);
  static_cast<IUnknown*>(object)->Release();

  // Removal from the machine leaves its foreign entries byte for byte and the user's file alone.
  std::string userText = qvtest::ReadBytes(user);
  ASSERT_EQ(install(FALSE, u"machine"), S_OK);
  EXPECT_EQ(qvtest::ReadBytes(machine), foreign);
  EXPECT_EQ(qvtest::ReadBytes(user), userText);
  EXPECT_EQ(server_.CreateObject(u"{78C739B2-31F4-4FF4-9FEE-99F22337AA0E}", IID_IUnknown, &object),
            REGDB_E_CLASSNOTREG);
  EXPECT_EQ(install(TRUE, u"everyone"), E_INVALIDARG);
  EXPECT_EQ(qvtest::ReadBytes(machine), foreign);
}

TEST_F(ServerTest, ARegistryThatCannotBeWrittenFailsTheRegistration) {
  std::string saved = std::getenv("QELVORLENT_REGISTRY");
  qvtest::WriteBytes(qvtest::TestPath("plain"), "not a folder");
  std::string blocked = qvtest::TestPath("plain/registry");
  setenv("QELVORLENT_REGISTRY", blocked.c_str(), 1);
  EXPECT_EQ(server_.Register(), REGDB_E_WRITEREGDB);
  CErrorSeen error = TakeError(server_);
  EXPECT_EQ(error.description.rfind(Wide("Не удалось записать реестр ["_cp + blocked + "]: "), 0), 0u);
  void* object = nullptr;
  EXPECT_EQ(server_.CreateObject(u"QelVorlentLib.Vorlent", IID_IUnknown, &object), REGDB_E_READREGDB);
  TakeError(server_);
  setenv("QELVORLENT_REGISTRY", saved.c_str(), 1);
}

TEST_F(ServerTest, UnusedServersAreUnloadedOnlyWhenIdle) {
  auto freeUnused = reinterpret_cast<decltype(&::QvCoFreeUnusedLibraries)>(
      dlsym(server_.handle, "QvCoFreeUnusedLibraries"));
  ASSERT_NE(freeUnused, nullptr);
  IVorlent* vorlent = CreateVorlent();
  ASSERT_NE(vorlent, nullptr);
  freeUnused();  // the object still lives: the server stays
  BSTR version = nullptr;
  EXPECT_EQ(vorlent->get_Version(&version), S_OK);
  SysFreeString(version);
  vorlent->Release();
  freeUnused();
  vorlent = CreateVorlent();  // loaded again on demand
  ASSERT_NE(vorlent, nullptr);
  vorlent->Release();
}

TEST_F(ServerTest, UnregisteredClassesCannotBeCreated) {
  ASSERT_EQ(server_.Unregister(), S_OK);
  void* object = nullptr;
  EXPECT_EQ(server_.CreateObject(u"QelVorlentLib.Vorlent", IID_IUnknown, &object), CO_E_CLASSSTRING);
  EXPECT_EQ(server_.CreateObject(u"{78C739B2-31F4-4FF4-9FEE-99F22337AA0E}", IID_IUnknown, &object),
            REGDB_E_CLASSNOTREG);
  EXPECT_EQ(server_.CreateObject(u"{78C739B2-31F4-4FF4-9FEE-99F22337AA0}", IID_IUnknown, &object),
            CO_E_CLASSSTRING);

  // A registered server that cannot be loaded, a library that is no server, and a path relative
  // to whatever folder a program runs in, which is refused.
  void* libm = dlopen("libm.so.6", RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(libm, nullptr);
  link_map* map = nullptr;
  ASSERT_EQ(dlinfo(libm, RTLD_DI_LINKMAP, &map), 0);
  const std::string libmPath = map->l_name;
  dlclose(libm);
  std::string file = std::getenv("QELVORLENT_REGISTRY");
  qvtest::WriteBytes(file,
                     "[Missing.Class\\CLSID]\n@={00000000-0000-0000-0000-000000000001}\n"
                     "[CLSID\\{00000000-0000-0000-0000-000000000001}\\InprocServer32]\n@=" +
                         qvtest::TestPath("nothing.so") +
                         "\n[NotAServer.Class\\CLSID]\n@={00000000-0000-0000-0000-000000000002}\n"
                         "[CLSID\\{00000000-0000-0000-0000-000000000002}\\InprocServer32]\n@=" +
                         libmPath +
                         "\n[Relative.Class\\CLSID]\n@={00000000-0000-0000-0000-000000000003}\n"
                         "[CLSID\\{00000000-0000-0000-0000-000000000003}\\InprocServer32]\n@=libm.so.6\n");
  EXPECT_EQ(server_.CreateObject(u"Missing.Class", IID_IUnknown, &object), CO_E_DLLNOTFOUND);
  EXPECT_FALSE(TakeError(server_).description.empty());  // the loader's reason
  EXPECT_EQ(server_.CreateObject(u"NotAServer.Class", IID_IUnknown, &object), CO_E_ERRORINDLL);
  EXPECT_EQ(server_.CreateObject(u"Relative.Class", IID_IUnknown, &object), REGDB_E_READREGDB);
  EXPECT_EQ(
      TakeError(server_).description,
      Wide("В реестре указан относительный путь к библиотеке класса {00000000-0000-0000-0000-000000000003}: "
           "[libm.so.6]; такой путь не принимается, зарегистрируйте библиотеку заново"_cp));
  EXPECT_EQ(object, nullptr);
}

// An entry of the machine's registry serves every user: its library is loaded only when no one
// but the superuser (or the caller) can change the file or a folder on the way to it.
TEST_F(ServerTest, MachineEntriesOthersCouldChangeAreRefused) {
  std::string user = std::getenv("QELVORLENT_REGISTRY");
  ASSERT_EQ(server_.Unregister(), S_OK);
  const std::string shared = qvtest::TestPath("shared");
  ASSERT_EQ(mkdir(shared.c_str(), 0755), 0);
  ASSERT_EQ(chmod(qvtest::TestFolder().c_str(), 0755), 0);
  // a link to this build's library, and a copy of it
  ASSERT_EQ(symlink(QV_SERVER_PATH, (shared + "/server.so").c_str()), 0);
  ASSERT_EQ(qvtest::RunCommand("cp '" QV_SERVER_PATH "' '" + shared + "/copy.so'"), 0);
  auto entry = [&](const std::string& path) {
    qvtest::WriteBytes(std::getenv("QELVORLENT_MACHINE_REGISTRY"),
                       "[CLSID\\{78C739B2-31F4-4FF4-9FEE-99F22337AA0E}\\InprocServer32]\n@=" + path + "\n");
  };
  auto created = [&] {
    IUnknown* object = nullptr;
    HRESULT hr = server_.CreateObject(u"{78C739B2-31F4-4FF4-9FEE-99F22337AA0E}", IID_IUnknown,
                                      reinterpret_cast<void**>(&object));
    if (object) object->Release();
    return hr;
  };
  auto refusal = [&](const std::string& part) {
    return Wide(
        "Библиотека класса {78C739B2-31F4-4FF4-9FEE-99F22337AA0E} из реестра компьютера не загружена: ["_cp +
        part + "] может изменить не только администратор"_cp);
  };
  entry(shared + "/server.so");
  EXPECT_EQ(created(), S_OK);

  ASSERT_EQ(chmod(shared.c_str(), 0777), 0);  // anyone may put another file in its place
  EXPECT_EQ(created(), E_ACCESSDENIED);
  EXPECT_EQ(TakeError(server_).description, refusal(shared));
  ASSERT_EQ(chmod(shared.c_str(), 01777), 0);  // the sticky bit: no one replaces what is not theirs
  EXPECT_EQ(created(), S_OK);
  ASSERT_EQ(chmod(shared.c_str(), 0755), 0);

  entry(shared + "/copy.so");
  ASSERT_EQ(chmod((shared + "/copy.so").c_str(), 0666), 0);
  EXPECT_EQ(created(), E_ACCESSDENIED);
  EXPECT_EQ(TakeError(server_).description, refusal(shared + "/copy.so"));
  ASSERT_EQ(chmod((shared + "/copy.so").c_str(), 0644), 0);
  if (geteuid() == 0) {  // a file of another user's
    ASSERT_EQ(chown((shared + "/copy.so").c_str(), 65534, 65534), 0);
    EXPECT_EQ(created(), E_ACCESSDENIED);
    EXPECT_EQ(TakeError(server_).description, refusal(shared + "/copy.so"));
  }

  // the user's own entries are the user's business
  qvtest::WriteBytes(
      user, "[CLSID\\{78C739B2-31F4-4FF4-9FEE-99F22337AA0E}\\InprocServer32]\n@=" + shared + "/server.so\n");
  ASSERT_EQ(chmod(shared.c_str(), 0777), 0);
  EXPECT_EQ(created(), S_OK);
  ASSERT_EQ(chmod(shared.c_str(), 0755), 0);
}

TEST(SharedLibrary, ExportsOnlyTheServerAndTheClientRuntime) {
  std::string output;
  ASSERT_EQ(
      qvtest::RunCommand("nm -D --defined-only '" QV_SERVER_PATH "' | awk '{print $3}' | sort", &output), 0);
  EXPECT_EQ(
      output,
      "DllCanUnloadNow\nDllGetClassObject\nDllInstall\nDllRegisterServer\nDllUnregisterServer\nGetErrorInfo\n"
      "QvCLSIDFromProgID\nQvCoCreateInstance\nQvCoFreeUnusedLibraries\nQvCoGetClassObject\n"
      "QvCreateInstanceDirect\nQvCreateObject\nQvGUIDFromString\nQvStringFromGUID\nQvToolAddFile\n"
      "QvToolAddFileFrom\n"
      "QvToolBeginVerification\nQvToolCheckDetachedSignature\nQvToolCheckDetachedSignatureOfDocument\n"
      "QvToolCheckDetachedSignatureOfFile\nQvToolCreateContainer\nQvToolDecrypt\nQvToolDigestDocuments\n"
      "QvToolEncrypt\nQvToolEndVerification\nQvToolFileContent\nQvToolFree\nQvToolImportContainer\n"
      "QvToolImportKey\nQvToolKeyFromCertificate\nQvToolLastError\nQvToolPackageFlow\nQvToolReceive\n"
      "QvToolSetPinPrompt\nQvToolSignAndSave\n"
      "QvToolSigningTime\n"
      "QvToolStoreAdd\nQvToolStoreCertificates\nQvToolStoreRemove\nQvToolWriteFileContent\nSetErrorInfo\n"
      "SysAllocString\nSysAllocStringLen\nSysFreeString\nSysStringByteLen\nSysStringLen\nVariantChangeType\n"
      "VariantClear\nVariantCopy\nVariantInit\n");
}

TEST(SharedLibrary, AClientWithOnlyThePublicHeadersCreatesEveryClass) {
  typedef HRESULT (*RegisterProc)();
  void* handle = dlopen(QV_SERVER_PATH, RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(handle, nullptr);
  ASSERT_EQ(reinterpret_cast<RegisterProc>(dlsym(handle, "DllRegisterServer"))(), S_OK);
  dlclose(handle);
  std::string output;
  ASSERT_EQ(qvtest::RunCommand(QV_TEST_CLIENT, &output), 0) << output;
  const std::string message = "Документ не открыт";
  EXPECT_EQ(output,
            "create QelVorlentLib.Vorlent 00000000\nlasterror 00000000 vt=8 []\n"
            "create QelVorlentLib.VorlentCrypt 00000000\nlasterror 00000000 vt=8 []\n"
            "create QelVorlentLib.CertChecker 00000000\nlasterror 00000000 vt=8 []\n"
            "early 8000FFFF [" +
                message + "]\nlate 80020009 8000FFFF [QelVorlentLib.Vorlent] [" + message +
                "]\nunload 00000000\n");
}

TEST(SharedLibrary, ACClientCallsThroughTheInterfaceTables) {
  typedef HRESULT (*RegisterProc)();
  void* handle = dlopen(QV_SERVER_PATH, RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(handle, nullptr);
  ASSERT_EQ(reinterpret_cast<RegisterProc>(dlsym(handle, "DllRegisterServer"))(), S_OK);
  dlclose(handle);
  std::string output;
  ASSERT_EQ(qvtest::RunCommand(QV_TEST_C_CLIENT, &output), 0) << output;
  // "QelVorlentLib.Vorlent" as UTF-16 code units; the message has 18 characters.
  EXPECT_EQ(
      output,
      "create 00000000\nearly 8000FFFF 0\nsource [0051 0065 006C 0056 006F 0072 006C 0065 006E 0074 004C "
      "0069 "
      "0062 002E 0056 006F 0072 006C 0065 006E 0074]\nlate 208 80020009 8000FFFF\nlasterror 00000000 " +
          std::to_string(qv::Cp1251ToUtf16("Документ не открыт"_cp).size()) +
          "\nflag 00000000 -1\nchecker 00000000\nunload 00000000\n");
}

}  // namespace
