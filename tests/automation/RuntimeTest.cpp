// Strings, variants, the registry file and the library's interface descriptions.
#include <cstdlib>
#include <map>
#include <set>
#include <string>
#include <utility>

#include <gtest/gtest.h>

#include "automation/Server.h"
#include "automation/TypeInfo.h"
#include "common/TestEnv.h"
#include "foundation/CodePage.h"
#include "foundation/Errors.h"
#include "platform/registry/Registry.h"

namespace {

using qv::operator""_cp;

std::u16string Wide(BSTR text) {
  return text ? std::u16string(text, SysStringLen(text)) : std::u16string();
}

TEST(Bstr, LengthPrefixedWithEmbeddedZeros) {
  const char16_t text[] = {u'a', 0, u'\u0416', u'b'};
  BSTR s = SysAllocStringLen(text, 4);
  ASSERT_NE(s, nullptr);
  EXPECT_EQ(SysStringLen(s), 4u);
  EXPECT_EQ(SysStringByteLen(s), 8u);
  EXPECT_EQ(s[4], 0);
  EXPECT_EQ(Wide(s), std::u16string(text, 4));
  SysFreeString(s);
  EXPECT_EQ(SysAllocString(nullptr), nullptr);
  EXPECT_EQ(SysStringLen(nullptr), 0u);
  SysFreeString(nullptr);
  BSTR blank = SysAllocStringLen(nullptr, 3);
  EXPECT_EQ(Wide(blank), std::u16string(3, u'\0'));
  SysFreeString(blank);
  EXPECT_EQ(SysAllocStringLen(nullptr, 0xFFFFFFFFu), nullptr);
  // Every byte survives the trip through a wide string.
  std::string bytes;
  for (int i = 0; i < 256; ++i) bytes += static_cast<char>(i);
  qv::CBstr wide(qv::TextToBstr(bytes));
  EXPECT_EQ(wide.Text(), bytes);
}

struct Conversion {
  VARIANT from;
  VARTYPE to;
  HRESULT status;
};

VARIANT Make(VARTYPE vt, long long value) {
  VARIANT v;
  VariantInit(&v);
  v.vt = vt;
  switch (vt) {
    case VT_I2:
      v.iVal = static_cast<SHORT>(value);
      break;
    case VT_UI1:
      v.bVal = static_cast<BYTE>(value);
      break;
    case VT_BOOL:
      v.boolVal = static_cast<VARIANT_BOOL>(value);
      break;
    default:
      v.llVal = value;
      break;
  }
  return v;
}

VARIANT Text(const char16_t* text) {
  VARIANT v;
  VariantInit(&v);
  v.vt = VT_BSTR;
  v.bstrVal = SysAllocString(text);
  return v;
}

TEST(Variant, ChangeTypeBetweenTheAutomationTypes) {
  VARIANT out;
  VariantInit(&out);
  VARIANT in = Make(VT_I2, -5);
  ASSERT_EQ(VariantChangeType(&out, &in, 0, VT_I4), S_OK);
  EXPECT_EQ(out.vt, VT_I4);
  EXPECT_EQ(out.lVal, -5);
  ASSERT_EQ(VariantChangeType(&out, &in, 0, VT_BOOL), S_OK);
  EXPECT_EQ(out.boolVal, VARIANT_TRUE);
  EXPECT_EQ(VariantChangeType(&out, &in, 0, VT_UI1), DISP_E_OVERFLOW);
  EXPECT_EQ(out.vt, VT_BOOL);  // untouched on failure

  VARIANT yes = Make(VT_BOOL, VARIANT_TRUE);
  ASSERT_EQ(VariantChangeType(&out, &yes, 0, VT_I4), S_OK);
  EXPECT_EQ(out.lVal, -1);
  ASSERT_EQ(VariantChangeType(&out, &yes, 0, VT_BSTR), S_OK);
  EXPECT_EQ(Wide(out.bstrVal), u"-1");
  ASSERT_EQ(VariantChangeType(&out, &yes, VARIANT_ALPHABOOL, VT_BSTR), S_OK);
  EXPECT_EQ(Wide(out.bstrVal), u"True");

  VARIANT words = Text(u"false");
  ASSERT_EQ(VariantChangeType(&out, &words, 0, VT_BOOL), S_OK);
  EXPECT_EQ(out.boolVal, VARIANT_FALSE);
  VariantClear(&words);
  VARIANT number = Text(u"\t300 ");
  ASSERT_EQ(VariantChangeType(&out, &number, 0, VT_I2), S_OK);
  EXPECT_EQ(out.iVal, 300);
  EXPECT_EQ(VariantChangeType(&out, &number, 0, VT_UI1), DISP_E_OVERFLOW);
  EXPECT_EQ(VariantChangeType(&out, &number, 0, VT_DISPATCH), DISP_E_TYPEMISMATCH);
  VariantClear(&number);
  for (const char16_t* bad : {u"0x10", u"inf", u"nan", u"", u"  ", u"1 2", u"--1"}) {
    VARIANT text = Text(bad);
    EXPECT_EQ(VariantChangeType(&out, &text, 0, VT_I4), DISP_E_TYPEMISMATCH);
    VariantClear(&text);
  }
  for (const char16_t* huge : {u"9223372036854775808", u"1e19", u"-1e19"}) {
    VARIANT text = Text(huge);
    EXPECT_EQ(VariantChangeType(&out, &text, 0, VT_I8), DISP_E_OVERFLOW);
    VariantClear(&text);
  }
  VARIANT largest = Text(u"-9223372036854775808");
  ASSERT_EQ(VariantChangeType(&out, &largest, 0, VT_I8), S_OK);
  EXPECT_EQ(out.llVal, INT64_MIN);
  VariantClear(&largest);
  VARIANT exponent = Text(u"1.5e1");
  ASSERT_EQ(VariantChangeType(&out, &exponent, 0, VT_I4), S_OK);
  EXPECT_EQ(out.lVal, 15);
  VariantClear(&exponent);
  VARIANT cyrillic = Text(u"\u043f\u044f\u0442\u044c");
  EXPECT_EQ(VariantChangeType(&out, &cyrillic, 0, VT_I4), DISP_E_TYPEMISMATCH);
  // In place: the source string is replaced by its copy.
  ASSERT_EQ(VariantChangeType(&cyrillic, &cyrillic, 0, VT_BSTR), S_OK);
  EXPECT_EQ(Wide(cyrillic.bstrVal), u"\u043f\u044f\u0442\u044c");
  VariantClear(&cyrillic);

  VARIANT empty;
  VariantInit(&empty);
  ASSERT_EQ(VariantChangeType(&out, &empty, 0, VT_I4), S_OK);
  EXPECT_EQ(out.lVal, 0);
  ASSERT_EQ(VariantChangeType(&out, &empty, 0, VT_UNKNOWN), S_OK);
  EXPECT_EQ(out.punkVal, nullptr);
  VARIANT null;
  VariantInit(&null);
  null.vt = VT_NULL;
  EXPECT_EQ(VariantChangeType(&out, &null, 0, VT_I4), DISP_E_TYPEMISMATCH);
  VARIANT array;
  VariantInit(&array);
  array.vt = VT_ARRAY | VT_I4;
  EXPECT_EQ(VariantChangeType(&out, &array, 0, VT_I4), DISP_E_BADVARTYPE);
  EXPECT_EQ(VariantChangeType(&out, &in, 0, VT_ARRAY | VT_I4), DISP_E_BADVARTYPE);
  EXPECT_EQ(VariantChangeType(nullptr, &in, 0, VT_I4), E_INVALIDARG);
  VARIANT dangling;
  VariantInit(&dangling);
  dangling.vt = VT_BYREF | VT_I4;
  EXPECT_EQ(VariantChangeType(&out, &dangling, 0, VT_I4), E_INVALIDARG);
  VariantClear(&out);
}

TEST(Variant, CopyAndClearKeepReferencesRight) {
  VARIANT a = Text(u"abc");
  VARIANT b;
  VariantInit(&b);
  ASSERT_EQ(VariantCopy(&b, &a), S_OK);
  EXPECT_NE(b.bstrVal, a.bstrVal);
  EXPECT_EQ(Wide(b.bstrVal), u"abc");
  ASSERT_EQ(VariantCopy(&b, &b), S_OK);
  VariantClear(&a);
  EXPECT_EQ(a.vt, VT_EMPTY);
  EXPECT_EQ(Wide(b.bstrVal), u"abc");
  VariantClear(&b);
  EXPECT_EQ(VariantClear(nullptr), E_INVALIDARG);
}

TEST(Registry, FileNameFromTheEnvironment) {
  EXPECT_EQ(qv::CRegistry::FileName(), std::getenv("QELVORLENT_REGISTRY"));
  std::string saved = std::getenv("QELVORLENT_REGISTRY");
  unsetenv("QELVORLENT_REGISTRY");
  setenv("XDG_CONFIG_HOME", "/cfg", 1);
  EXPECT_EQ(qv::CRegistry::FileName(), "/cfg/qelvorlent/registry");
  unsetenv("XDG_CONFIG_HOME");
  std::string home = std::getenv("HOME") ? std::getenv("HOME") : "";
  setenv("HOME", "/home/u", 1);
  EXPECT_EQ(qv::CRegistry::FileName(), "/home/u/.config/qelvorlent/registry");
  setenv("HOME", home.c_str(), 1);
  setenv("QELVORLENT_REGISTRY", saved.c_str(), 1);
}

TEST(Registry, KeysValuesAndTreesRoundTrip) {
  qv::CRegistry registry;
  registry.SetValue("CLSID\\{A}", "@", "Класс"_cp);
  registry.SetValue("CLSID\\{A}\\InprocServer32", "", "/opt/lib\\x\nnext");
  registry.SetValue("CLSID\\{A}\\InprocServer32", "ThreadingModel", "Apartment");
  registry.SetValue("CLSID\\{A}X", "@", "sibling");
  registry.SetValue("clsid\\{a}\\inprocserver32", "threadingmodel", "Both");  // same key, same value
  std::string data;
  ASSERT_TRUE(registry.GetValue("CLSID\\{A}\\InprocServer32", "@", data));
  EXPECT_EQ(data, "/opt/lib\\x\nnext");
  ASSERT_TRUE(registry.GetValue("CLSID\\{A}\\INPROCSERVER32", "ThreadingModel", data));
  EXPECT_EQ(data, "Both");
  EXPECT_FALSE(registry.GetValue("CLSID\\{A}", "Missing", data));
  EXPECT_THROW(registry.SetValue("Key", "a=b", "x"), qv::CVorlentException);
  EXPECT_THROW(registry.SetValue("Key\n[Other]", "a", "x"), qv::CVorlentException);

  std::string file = qvtest::TestPath("sub/registry");
  registry.Save(file);
  std::string text = qvtest::ReadBytes(file);
  EXPECT_EQ(text,
            "QelVorlent registry 1\n\n[CLSID\\{A}]\n@=Класс\n\n[CLSID\\{A}\\InprocServer32]\n"
            "@=/opt/lib\\\\x\\nnext\nThreadingModel=Both\n\n[CLSID\\{A}X]\n@=sibling\n");
  qv::CRegistry again;
  again.Load(file);
  EXPECT_EQ(again.Text(), text);

  again.DeleteKeyTree("clsid\\{a}");
  EXPECT_FALSE(again.KeyExists("CLSID\\{A}\\InprocServer32"));
  EXPECT_TRUE(again.KeyExists("CLSID\\{A}X"));
  again.DeleteKeyTree("CLSID\\{A}X");
  again.Save(file);
  std::string unused;
  EXPECT_NE(qvtest::RunCommand("test -e '" + file + "'", &unused), 0);  // no keys, no file
  std::string listing;
  qvtest::RunCommand("ls -A '" + qvtest::TestPath("sub") + "'", &listing);
  EXPECT_EQ(listing, "");  // no temporary files left behind
}

TEST(Registry, UpdateAndReadTheCurrentFile) {
  qv::CRegistry::Update([](qv::CRegistry& r) { r.SetValue("A\\B", "@", "1"); });
  qv::CRegistry::Update([](qv::CRegistry& r) { r.SetValue("A\\C", "n", "2"); });
  std::string data;
  ASSERT_TRUE(qv::CRegistry::Read("a\\b", "", data));
  EXPECT_EQ(data, "1");
  ASSERT_TRUE(qv::CRegistry::Read("A\\C", "N", data));
  EXPECT_EQ(data, "2");
  // A change that fails leaves the file as it was.
  std::string before = qvtest::ReadBytes(std::getenv("QELVORLENT_REGISTRY"));
  EXPECT_THROW(qv::CRegistry::Update([](qv::CRegistry& r) {
                 r.DeleteKeyTree("A");
                 qv::RaiseError("stop");
               }),
               qv::CVorlentException);
  EXPECT_EQ(qvtest::ReadBytes(std::getenv("QELVORLENT_REGISTRY")), before);
  // Unknown lines of a hand-edited file are skipped.
  qv::CRegistry parsed;
  parsed.Parse("; comment\r\ngarbage\n[K]\r\nv=1\r\nno equals sign\n[]\nlost=1\n");
  EXPECT_EQ(parsed.Keys().size(), 1u);
  ASSERT_TRUE(parsed.GetValue("K", "v", data));
  EXPECT_EQ(data, "1");
}

TEST(Guid, TextBothWays) {
  EXPECT_EQ(qv::GuidText(CLSID_Vorlent), "{78C739B2-31F4-4FF4-9FEE-99F22337AA0E}");
  GUID guid{};
  ASSERT_TRUE(qv::ParseGuid("{45b8ce27-886e-476b-83c1-7649dbe7c1f9}", guid));
  EXPECT_TRUE(IsEqualGUID(guid, CLSID_CertChecker));
  EXPECT_FALSE(qv::ParseGuid("45B8CE27-886E-476B-83C1-7649DBE7C1F9", guid));
  EXPECT_FALSE(qv::ParseGuid("{45B8CE27-886E-476B-83C1-7649DBE7C1FG}", guid));
  EXPECT_FALSE(qv::ParseGuid("{45B8CE27+886E-476B-83C1-7649DBE7C1F9}", guid));
}

TEST(LibraryTypeInfo, EveryInterfaceDescribedSlotBySlot) {
  using Ids = std::map<std::u16string, DISPID>;
  // Every member's published dispatch identifier: late-bound clients and type libraries made
  // elsewhere call by these numbers.
  struct Expected {
    IID iid;
    std::size_t members;
    Ids ids;
  } expected[] = {{IID_IVorlent,
                   36,
                   {{u"New", 201},
                    {u"Open", 202},
                    {u"Close", 203},
                    {u"Save", 204},
                    {u"Encrypt", 205},
                    {u"Decrypt", 206},
                    {u"AddFile", 207},
                    {u"GetFileCount", 208},
                    {u"GetFile", 209},
                    {u"IsOpened", 210},
                    {u"SignFile", 211},
                    {u"ReSignFile", 212},
                    {u"GetFileSignatureCount", 213},
                    {u"GetFileSignature", 214},
                    {u"GetFileResignCount", 215},
                    {u"GetFileResign", 216},
                    {u"IsEncrypted", 217},
                    {u"SenderType", 218},
                    {u"SenderIdentifier", 219},
                    {u"ReceiverType", 220},
                    {u"ReceiverIdentifier", 221},
                    {u"DocTransactType", 222},
                    {u"DeleteFile", 223},
                    {u"DeleteFileSignatures", 224},
                    {u"DeleteFileResignatures", 225},
                    {u"EncryptByCertificate", 226},
                    {u"FlagUsageUserStorage", 227},
                    {u"DeleteFileSignature", 228},
                    {u"Version", 229},
                    {u"LastError", 299}}},
                  {IID_IVorlentFile,
                   21,
                   {{u"DocType", 201},
                    {u"DocTypeCode", 202},
                    {u"ContentType", 203},
                    {u"IsCompressed", 204},
                    {u"IsEncrypted", 205},
                    {u"DocumentCode", 206},
                    {u"OriginalFilename", 207},
                    {u"Filename", 208},
                    {u"CheckSign", 209},
                    {u"Sign", 210},
                    {u"Resign", 211},
                    {u"RawContent", 212},
                    {u"CheckSignEx", 213},
                    {u"AddSign", 214},
                    {u"SaveRawContent", 215},
                    {u"LastError", 299}}},
                  {IID_IVorlentSignature,
                   6,
                   {{u"Filename", 201},
                    {u"SignKey", 202},
                    {u"AddSign", 203},
                    {u"SignatureContent", 204},
                    {u"LastError", 299}}},
                  {IID_IVorlentKey,
                   22,
                   {{u"ContainerName", 201},
                    {u"Sha1", 202},
                    {u"SubjectCN", 203},
                    {u"SignRole", 204},
                    {u"CertificateBody", 205},
                    {u"Subject", 206},
                    {u"Issuer", 207},
                    {u"Init", 208},
                    {u"SubjectSN", 209},
                    {u"SubjectG", 210},
                    {u"FlagCurrentUserStorage", 211},
                    {u"LastError", 299}}},
                  {IID_IVorlentCrypt,
                   21,
                   {{u"Init", 201},
                    {u"GetPrivateKeyCount", 202},
                    {u"GetPrivateKey", 203},
                    {u"CheckSignature", 204},
                    {u"GetOpponentKeyCount", 205},
                    {u"GetOpponentKey", 206},
                    {u"GetContainerCount", 207},
                    {u"ImportP7BChain", 208},
                    {u"ImportOpponentCertificate", 209},
                    {u"ImportPrivateCertificate", 210},
                    {u"GetContainer", 211},
                    {u"GetOpponentKeyBySha1", 212},
                    {u"GetPrivateKeyBySha1", 213},
                    {u"IsCryptographyOk", 214},
                    {u"FlagUsageUserStorage", 215},
                    {u"LinkPrivateKey", 216},
                    {u"SignFile", 217},
                    {u"SetPrivateKeyCaching", 218},
                    {u"DownloadFile", 219},
                    {u"LastError", 299}}},
                  {IID_ICertChecker,
                   5,
                   {{u"Init", 201},
                    {u"CheckFormal", 202},
                    {u"CheckIssuer", 203},
                    {u"LastError", 204},
                    {u"CheckCrl", 205}}}};
  ASSERT_EQ(qv::LibraryTypeInfos().size(), 6u);
  for (const Expected& item : expected) {
    qv::CTypeInfo* info = qv::LibraryTypeInfo(item.iid);
    ASSERT_NE(info, nullptr);
    EXPECT_EQ(info->Members().size(), item.members) << qv::GuidText(item.iid);
    std::set<std::pair<DISPID, int>> seen;
    for (const qv::MemberDesc& member : info->Members()) {
      EXPECT_TRUE(seen.insert({member.id, static_cast<int>(member.kind)}).second) << member.id;
      for (const qv::ParamDesc& param : member.params)
        EXPECT_NE(std::u16string(param.name), u"") << member.id;
      auto id = item.ids.find(member.name);
      ASSERT_NE(id, item.ids.end()) << qv::GuidText(item.iid) << " has no member "
                                    << qv::Utf16ToCp1251(member.name);
      EXPECT_EQ(member.id, id->second) << qv::Utf16ToCp1251(member.name);
      if (id->first == u"LastError") {
        EXPECT_EQ(member.resultType, VT_BSTR);
      }
    }
    // And by name, as a late-bound client asks.
    for (const auto& [name, dispid] : item.ids) {
      LPOLESTR names[] = {const_cast<LPOLESTR>(name.c_str())};
      MEMBERID found = 0;
      ASSERT_EQ(info->GetIDsOfNames(names, 1, &found), S_OK) << qv::Utf16ToCp1251(name);
      EXPECT_EQ(found, dispid) << qv::Utf16ToCp1251(name);
    }
  }
  const qv::MemberDesc& addFile = qv::LibraryTypeInfo(IID_IVorlent)->Members()[6];
  EXPECT_EQ(std::u16string(addFile.name), u"AddFile");
  EXPECT_EQ(addFile.params.size(), 5u);
  EXPECT_EQ(addFile.resultType, VT_DISPATCH);
  const qv::MemberDesc& signFile = qv::LibraryTypeInfo(IID_IVorlentCrypt)->Members()[17];
  ASSERT_EQ(signFile.params.size(), 3u);
  EXPECT_EQ(signFile.params[1].type, VT_DISPATCH);
  EXPECT_TRUE(IsEqualGUID(*signFile.params[1].iid, IID_IVorlentKey));
  EXPECT_EQ(signFile.resultType, VT_EMPTY);
}

TEST(CreatableObjects, MembersFailThroughTheFrame) {
  std::vector<qv::EventLogEntry> log;
  qv::SetEventLogSink([&](const qv::EventLogEntry& entry) { log.push_back(entry); });
  IVorlentCrypt* crypt = nullptr;
  ASSERT_EQ(QvCreateInstanceDirect(CLSID_VorlentCrypt, IID_IVorlentCrypt, reinterpret_cast<void**>(&crypt)),
            S_OK);
  VARIANT_BOOL flag = VARIANT_FALSE;
  ASSERT_EQ(crypt->get_FlagUsageUserStorage(&flag), S_OK);
  EXPECT_EQ(flag, VARIANT_TRUE);
  EXPECT_EQ(crypt->put_FlagUsageUserStorage(VARIANT_TRUE), S_OK);  // unchanged: no reload
  LONG count = 3;
  EXPECT_EQ(crypt->GetPrivateKeyCount(nullptr), E_POINTER);
  EXPECT_EQ(crypt->GetPrivateKeyCount(&count), S_OK);
  EXPECT_EQ(count, 0);
  IVorlentKey* key = nullptr;
  EXPECT_EQ(crypt->GetPrivateKey(0, &key), E_UNEXPECTED);  // the provider guard before Init
  EXPECT_EQ(key, nullptr);
  ASSERT_FALSE(log.empty());
  EXPECT_EQ(log.back().message,
            "Не установлен СКЗИ, который требуется для операции: получение личного ключа"_cp);
  IErrorInfo* error = nullptr;
  ASSERT_EQ(GetErrorInfo(0, &error), S_OK);
  BSTR source = nullptr;
  error->GetSource(&source);
  EXPECT_EQ(Wide(source), u"QelVorlentLib.VorlentCrypt");
  SysFreeString(source);
  error->Release();
  crypt->Release();

  ICertChecker* checker = nullptr;
  ASSERT_EQ(QvCreateInstanceDirect(CLSID_CertChecker, IID_ICertChecker, reinterpret_cast<void**>(&checker)),
            S_OK);
  VARIANT_BOOL result = VARIANT_TRUE;
  EXPECT_EQ(checker->CheckIssuer(nullptr, &result), E_POINTER);
  BSTR last = nullptr;
  ASSERT_EQ(checker->get_LastError(&last), S_OK);
  EXPECT_EQ(qv::BstrToText(last), "Передан пустой аргумент: pKey"_cp);
  SysFreeString(last);
  checker->Release();
  SetErrorInfo(0, nullptr);
  EXPECT_EQ(QvCreateInstanceDirect(IID_IVorlent, IID_IUnknown, reinterpret_cast<void**>(&checker)),
            CLASS_E_CLASSNOTAVAILABLE);
}

}  // namespace
