#include <regex>

#include "common/TestEnv.h"
#include "foundation/Files.h"
#include "manifest/ManifestSamples.h"

using namespace qv;
using namespace qvtest;

namespace {

TEST(ManifestWrite, ExactTextOfASmallManifest) {
  CXMLGprExtPackage p;
  FillHeader(p, LegalEntityFlow());
  p.SetThreadIdentifier("0123456789abcdef0123456789abcdef");
  auto& d = AddDocument(p, "01", "Заявление"_cp, "з.pdf"_cp, 1);
  d.SetDocumentCode("fedcba9876543210fedcba9876543210");
  d.ExtSignatures().ExtSignature(0)->Signatures().AddExtSignature()->SetFileName("c.p7s");
  d.ExtSignatures().ExtSignature(0)->Signatures().ExtSignature(0)->SetRole(kSubjectTaxAuthority);
  std::string expected =
      "<?xml version=\"1.0\" encoding=\"windows-1251\"?>\r\n"
      "<ТрансИнф версияФормата=\"ФНС:1.0\" кодТипаДокументооборота=\"ЮЛ\" "
      "типДокументооборота=\"РегистрацияЮЛ\" "
      "кодТипаТранзакции=\"01\" типТранзакции=\"ДокумРегистрацияЮЛ\" "
      "идентификаторДокументооборота=\"0123456789abcdef0123456789abcdef\" ВерсПрог=\"QelVorlent\">\r\n"
      "\t<отправитель идентификаторСубъекта=\"1027700132195\" типСубъекта=\"заявитель\"/>\r\n"
      "\t<получатель идентификаторСубъекта=\"7746\" типСубъекта=\"налоговыйОрган\"/>\r\n"
      "\t<документ кодТипаДокумента=\"01\" типДокумента=\"Заявление\" типСодержимого=\"application/pdf\" "
      "сжат=\"false\" зашифрован=\"true\" идентификаторДокумента=\"fedcba9876543210fedcba9876543210\" "
      "исходноеИмяФайла=\"з.pdf\">\r\n"
      "\t\t<содержимое имяФайла=\"Заявление_01.pdf\"/>\r\n"
      "\t\t<подпись имяФайла=\"Заявление_01.pdf.1.p7s\" роль=\"заявитель\">\r\n"
      "\t\t\t<подпись имяФайла=\"c.p7s\" роль=\"налоговыйОрган\"/>\r\n"
      "\t\t</подпись>\r\n"
      "\t</документ>\r\n"
      "</ТрансИнф>\r\n";
  EXPECT_EQ(Cp1251ToUtf8(p.SaveToText()), expected);
  std::string file = TestPath(ManifestFileName());
  p.SaveToFile(file);
  EXPECT_EQ(Cp1251ToUtf8(ReadFileBytes(file)), expected);
}

TEST(ManifestWrite, FormatVersionFollowsTheFlowCode) {
  struct Case {
    const char* code;
    const char* version;
  } cases[] = {{"UR", "UFR:1.0"}, {"UF", "UFR:1.0"}, {"ZR", "UFR:1.0"}, {"IR", "UFR:1.0"},
               {"US", "CRS:1.0"}, {"ЮЛ", "ФНС:1.0"}, {"ИП", "ФНС:1.0"}, {"ur", "ФНС:1.0"}};
  for (const Case& c : cases) {
    CXMLGprExtPackage p;
    FillHeader(p, LegalEntityFlow());
    p.SetThreadTypeCode(Utf8ToCp1251(c.code));
    EXPECT_EQ(p.FormatVersion(), Utf8ToCp1251(c.version)) << c.code;
    EXPECT_NE(p.SaveToText().find(Utf8ToCp1251(std::string("версияФормата=\"") + c.version + "\"")),
              std::string::npos);
  }
}

TEST(ManifestWrite, OptionalPartsAreLeftOut) {
  CXMLGprExtPackage p;
  FillHeader(p, EntrepreneurFlow());
  auto& d = AddDocument(p, "01", "Заявление"_cp, "", 0);
  d.SetFileName("");
  std::string text = p.SaveToText();
  EXPECT_EQ(text.find("спецоператор"_cp), std::string::npos);
  EXPECT_EQ(text.find("содержимое"_cp), std::string::npos);
  EXPECT_EQ(text.find("исходноеИмяФайла"_cp), std::string::npos);
  EXPECT_EQ(text.find("подпись"_cp), std::string::npos);
}

TEST(ManifestWrite, GeneratedIdentifiersStayAcrossSaves) {
  CXMLGprExtPackage p;
  FillHeader(p, LegalEntityFlow());
  AddDocument(p, "01", "Заявление"_cp, "", 0);
  AddDocument(p, "02", "Устав"_cp, "", 0);
  std::string first = p.SaveToText();
  EXPECT_EQ(p.SaveToText(), first);
  std::regex hex("[0-9a-f]{32}");
  EXPECT_TRUE(std::regex_match(p.ThreadIdentifier(), hex));
  EXPECT_TRUE(std::regex_match(p.Documents().Document(0)->DocumentCode(), hex));
  EXPECT_NE(p.Documents().Document(0)->DocumentCode(), p.Documents().Document(1)->DocumentCode());
  EXPECT_NE(first.find(p.ThreadIdentifier()), std::string::npos);
}

TEST(ManifestWrite, FailuresStopTheSaveBeforeTheFileIsTouched) {
  std::string file = TestPath(ManifestFileName());
  CXMLGprExtPackage p;
  FillHeader(p, LegalEntityFlow());
  AddDocument(p, "01", "Заявление"_cp, "", 1);
  p.SaveToFile(file);
  std::string good = ReadFileBytes(file);

  p.Receiver().SetSubjectType(0);
  EXPECT_QV_ERROR(p.SaveToFile(file), "Неизвестный тип субъекта: [0]"_cp);
  p.Receiver().SetSubjectType(kSubjectTaxAuthority);
  p.Documents().Document(0)->Signatures().Signature(0)->SetRole(18);
  EXPECT_QV_ERROR(p.SaveToFile(file), "Неизвестный тип субъекта: [18]"_cp);
  p.Documents().Document(0)->Signatures().Signature(0)->SetRole(kSubjectApplicant);
  p.Documents().Document(0)->Signatures().Signature(0)->SetFileName("");
  EXPECT_QV_ERROR(p.SaveToFile(file), "Попытка записи пустого значения в атрибут [имяФайла]"_cp);
  EXPECT_EQ(ReadFileBytes(file), good);

  CXMLGprExtPackage empty;
  EXPECT_QV_ERROR(empty.SaveToFile(file),
                  "Попытка записи пустого значения в атрибут [кодТипаДокументооборота]"_cp);
  EXPECT_EQ(ReadFileBytes(file), good);
}

TEST(ManifestWrite, SettersCheckAndKeepTheOldValue) {
  CXMLGprExtPackage p;
  FillHeader(p, LegalEntityFlow());
  EXPECT_QV_ERROR(p.SetThreadType(""), "Передан пустой аргумент: ThreadType"_cp);
  EXPECT_QV_ERROR(p.SetThreadType(std::string(51, 'x')), "Длина переменной [ThreadType] больше [50]"_cp);
  EXPECT_QV_ERROR(p.SetThreadTypeCode("ЮЛЬ"_cp),
                  "Длина переменной [ThreadTypeCode = \"ЮЛЬ\"] должна быть равной [2]"_cp);
  EXPECT_QV_ERROR(p.SetTransactType(std::string(51, 'x')), "Длина переменной [TransactType] больше [50]"_cp);
  EXPECT_QV_ERROR(p.SetTransactTypeCode("1"),
                  "Длина переменной [TransactTypeCode = \"1\"] должна быть равной [2]"_cp);
  EXPECT_QV_ERROR(p.SetProgVersion(""), "ProgVersion: длина строки должна быть от 1 до 40 символов"_cp);
  EXPECT_QV_ERROR(p.SetProgVersion(std::string(41, 'v')),
                  "ProgVersion: длина строки должна быть от 1 до 40 символов"_cp);
  p.SetProgVersion(std::string(40, 'v'));
  EXPECT_QV_ERROR(p.Sender().SetSubjectIdentifier(""), "Передан пустой аргумент: SubjectIdentifier"_cp);
  EXPECT_EQ(p.ThreadType(), "РегистрацияЮЛ"_cp);
  EXPECT_EQ(p.ThreadTypeCode(), "ЮЛ"_cp);
  EXPECT_EQ(p.Sender().SubjectIdentifier(), "1027700132195");

  CXMLGprDocument& d = *p.Documents().AddDocument();
  EXPECT_QV_ERROR(d.SetDocumentType(std::string(51, 'x')), "Длина переменной [DocumentType] больше [50]"_cp);
  EXPECT_QV_ERROR(d.SetDocumentTypeCode("123"),
                  "Длина переменной [DocumentTypeCode = \"123\"] должна быть равной [2]"_cp);
  EXPECT_QV_ERROR(d.SetContentType(""), "Передан пустой аргумент: ContentType"_cp);
  EXPECT_QV_ERROR(d.SetDocumentCode("abc"),
                  "Длина переменной [DocumentCode = \"abc\"] должна быть равной [32]"_cp);
  // the Ext document takes any content file name
  d.SetFileName("x.pdf");
  EXPECT_EQ(d.FileName(), "x.pdf");

  CXMLGprPackage plain;
  CXMLGprDocument& pd = *plain.Documents().AddDocument();
  EXPECT_QV_ERROR(pd.SetFileName("x.pdf"),
                  "Длина переменной [FileName = \"x.pdf\"] должна быть равной [36]"_cp);
  pd.SetFileName("");
  pd.SetFileName(std::string(36, 'f'));
  CXMLGprSignature& ps = *pd.Signatures().AddSignature();
  EXPECT_QV_ERROR(ps.SetFileName(""), "Передан пустой аргумент: FileName"_cp);
  EXPECT_QV_ERROR(ps.SetFileName("s.p7s"),
                  "Длина переменной [FileName = \"s.p7s\"] должна быть равной [36]"_cp);
}

TEST(ManifestWrite, PlainSignaturesLeaveOutTheRoleInUfrAndCrsFlows) {
  for (const char* code : {"UR", "US", "ЮЛ"}) {
    CXMLGprPackage p;
    FillHeader(p, LegalEntityFlow());
    p.SetThreadTypeCode(Utf8ToCp1251(code));
    CXMLGprDocument& d = *p.Documents().AddDocument();
    d.SetDocumentTypeCode("01");
    d.SetDocumentType("x");
    d.SetContentType("y");
    d.Signatures().AddSignature()->SetFileName(std::string(36, 's'));
    d.Signatures().Signature(0)->SetRole(kSubjectApplicant);
    bool role = p.SaveToText().find("роль"_cp) != std::string::npos;
    EXPECT_EQ(role, std::string(code) == "ЮЛ") << code;
  }
}

}  // namespace
