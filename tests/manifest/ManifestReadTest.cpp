#include "manifest/ManifestSamples.h"

using namespace qv;
using namespace qvtest;

namespace {

// A manifest as another program might write it: UTF-8 or 1251, single quotes, attributes in
// another order and split over lines, comments, character data and text between elements.
const char* const kForeign =
    "<?xml version='1.0' encoding='%s'?>\n"
    "<!-- written elsewhere > by hand -->\n"
    "<ТрансИнф ВерсПрог='Другая 1.0' идентификаторДокументооборота='0123456789abcdef0123456789abcdef'\n"
    "    типТранзакции=\"ДокумРегистрацияИП\" кодТипаТранзакции='01'\n"
    "    типДокументооборота='РегистрацияИП' кодТипаДокументооборота='ИП' версияФормата='ФНС:1.0'>\n"
    "  <отправитель типСубъекта='заявитель' идентификаторСубъекта='770000000001'/>\n"
    "  <![CDATA[ <спецоператор идентификаторСубъекта='zzz' типСубъекта='спецоператор'/> ]]>\n"
    "  <получатель\n     типСубъекта='налоговыйОрган'\n     идентификаторСубъекта='7746'></получатель>\n"
    "  some text\n"
    "  <документ идентификаторДокумента='fedcba9876543210fedcba9876543210' зашифрован='TRUE' сжат='0'\n"
    "     типСодержимого='image/tiff' типДокумента='Заявление &amp; &#1025;' кодТипаДокумента='01'\n"
    "     исходноеИмяФайла='a&apos;b.tif' лишний='x'>\n"
    "    <!-- <подпись имяФайла='fake' роль='абонент'/> -->\n"
    "    <содержимое имяФайла='c.tif'/>\n"
    "    <подпись роль='заявитель' имяФайла='c.tif.p7s'></подпись>\n"
    "  </документ>\n"
    "</ТрансИнф>\n";

void ExpectForeignRead(const CXMLGprExtPackage& p) {
  EXPECT_EQ(p.ThreadType(), "РегистрацияИП"_cp);
  EXPECT_EQ(p.ThreadTypeCode(), "ИП"_cp);
  EXPECT_EQ(p.TransactType(), "ДокумРегистрацияИП"_cp);
  EXPECT_EQ(p.TransactTypeCode(), "01");
  EXPECT_EQ(p.ThreadIdentifier(), "0123456789abcdef0123456789abcdef");
  EXPECT_EQ(p.ProgVersion(), "Другая 1.0"_cp);
  EXPECT_EQ(p.Sender().SubjectIdentifier(), "770000000001");
  EXPECT_EQ(p.Sender().GetSubjectType(), kSubjectApplicant);
  EXPECT_EQ(p.SpecialOperator().SubjectIdentifier(), "");
  EXPECT_EQ(p.Receiver().SubjectIdentifier(), "7746");
  EXPECT_EQ(p.Receiver().GetSubjectType(), kSubjectTaxAuthority);
  ASSERT_EQ(p.Documents().Count(), 1);
  const CXMLGprDocument& d = *p.Documents().Document(0);
  EXPECT_EQ(d.DocumentType(), "Заявление & Ё"_cp);
  EXPECT_EQ(d.DocumentTypeCode(), "01");
  EXPECT_EQ(d.ContentType(), "image/tiff");
  EXPECT_TRUE(d.Encrypted());
  EXPECT_FALSE(d.Compressed());
  EXPECT_EQ(d.SourceFileName(), "a'b.tif");
  EXPECT_EQ(d.FileName(), "c.tif");
  ASSERT_EQ(d.Signatures().Count(), 1);
  EXPECT_EQ(d.Signatures().Signature(0)->FileName(), "c.tif.p7s");
  EXPECT_EQ(d.Signatures().Signature(0)->Role(), kSubjectApplicant);
}

std::string Foreign(const std::string& encoding) {
  std::string utf8 = FormatText(kForeign, {encoding});
  return encoding == "windows-1251" ? Utf8ToCp1251(utf8) : utf8;
}

TEST(ManifestRead, ForeignLayoutInUtf8AndCodePage1251) {
  for (const char* encoding : {"utf-8", "windows-1251", "UTF-8"}) {
    CXMLGprExtPackage p;
    p.SetText(Foreign(encoding));
    p.Parse();
    ExpectForeignRead(p);
  }
  // the same through a small reading window that is refilled many times
  for (std::size_t window : {400, 1000}) {
    CXMLGprExtPackage p;
    p.Reader().SetWindowSize(window);
    p.SetText(Foreign("windows-1251"));
    p.Parse();
    ExpectForeignRead(p);
  }
}

std::string Header() {
  return "<?xml version=\"1.0\" encoding=\"windows-1251\"?>\r\n"
         "<ТрансИнф версияФормата=\"ФНС:1.0\" кодТипаДокументооборота=\"ЮЛ\" "
         "типДокументооборота=\"РегистрацияЮЛ\" "
         "кодТипаТранзакции=\"01\" типТранзакции=\"ДокумРегистрацияЮЛ\" "
         "идентификаторДокументооборота=\"0123456789abcdef0123456789abcdef\" ВерсПрог=\"QelVorlent\">\r\n"
         "<отправитель идентификаторСубъекта=\"1\" типСубъекта=\"заявитель\"/>\r\n"
         "<получатель идентификаторСубъекта=\"2\" типСубъекта=\"налоговыйОрган\"/>\r\n"_cp;
}

std::string Document(const std::string& code, const std::string& signatures = {}) {
  return "<документ кодТипаДокумента=\""_cp + code +
         "\" типДокумента=\"Заявление\" типСодержимого=\"application/pdf\" сжат=\"false\" "
         "зашифрован=\"false\" "
         "идентификаторДокумента=\"fedcba9876543210fedcba9876543210\">"_cp +
         signatures + "</документ>\r\n"_cp;
}

void ExpectReadError(const std::string& text, const std::string& message) {
  CXMLGprExtPackage p;
  p.SetText(text);
  EXPECT_QV_ERROR(p.Parse(), message);
}

TEST(ManifestRead, FailuresWithTheirMessages) {
  const std::string end = "</ТрансИнф>"_cp;
  ExpectReadError("", "Элемент [ТрансИнф] не найден"_cp);
  ExpectReadError("<?xml version=\"1.0\"?><Трансинф/>"_cp, "Элемент [ТрансИнф] не найден"_cp);
  ExpectReadError(Header() + end, "Элемент [документ] не найден"_cp);
  ExpectReadError(Header() + Document("012") + end,
                  "Длина переменной [DocumentTypeCode = \"012\"] должна быть равной [2]"_cp);
  ExpectReadError(Header() + Document("01", "<подпись имяФайла=\"s.p7s\"/>"_cp) + end,
                  "Неизвестный тип субъекта: []"_cp);
  ExpectReadError(Header() + Document("01", "<подпись имяФайла=\"s.p7s\" роль=\"Абонент\"/>"_cp) + end,
                  "Неизвестный тип субъекта: [Абонент]"_cp);
  std::string text = Header();
  text.replace(text.find("заявитель"_cp), 9, "никто"_cp);
  ExpectReadError(text + Document("01") + end, "Неизвестный тип субъекта: [никто]"_cp);
  text = Header();
  text.replace(text.find("получатель"_cp), 10, "адресат"_cp);
  ExpectReadError(
      text + Document("01") + end,
      "Не найден ожидаемый узел [получатель] (вместо найденного <адресат идентификаторСубъекта=\"2\" "
      "типСубъекта=\"налоговыйОрган\"/>)"_cp);
  text = Header();
  text.replace(text.find("идентификаторСубъекта=\"1\""_cp), 25, ""_cp);
  ExpectReadError(text + Document("01") + end, "Передан пустой аргумент: SubjectIdentifier"_cp);
}

TEST(ManifestRead, AnUnknownElementEndsTheDocumentList) {
  CXMLGprExtPackage p;
  p.SetText(Header() + Document("01") + "<ДопСв/>"_cp + Document("02") + "</ТрансИнф>"_cp);
  p.Parse();
  ASSERT_EQ(p.Documents().Count(), 1);
  EXPECT_EQ(p.Documents().Document(0)->DocumentTypeCode(), "01");
}

TEST(ManifestRead, AdditionalDataBeforeTheDocumentsIsPassedOver) {
  CXMLGprExtPackage p;
  p.SetText(Header() + "<ДопСв><документ кодТипаДокумента=\"99\"/><x/></ДопСв>"_cp + Document("01") +
            Document("02") + "</ТрансИнф>"_cp);
  p.Parse();
  ASSERT_EQ(p.Documents().Count(), 2);
  EXPECT_EQ(p.Documents().Document(0)->DocumentTypeCode(), "01");

  CXMLGprExtPackage none;
  none.SetText(Header() + "<ДопСв><документ кодТипаДокумента=\"99\"/></ДопСв></ТрансИнф>"_cp);
  EXPECT_QV_ERROR(none.Parse(), "Элемент [документ] не найден"_cp);
}

TEST(ManifestRead, SpecialOperatorIsReadWhenPresent) {
  std::string text = Header();
  text.insert(text.find("<получатель"_cp),
              "<спецоператор идентификаторСубъекта=\"2AL\" типСубъекта=\"спецоператор\"/>"_cp);
  CXMLGprExtPackage p;
  p.SetText(text + Document("01") + "</ТрансИнф>"_cp);
  p.Parse();
  EXPECT_EQ(p.SpecialOperator().SubjectIdentifier(), "2AL");
  EXPECT_EQ(p.SpecialOperator().GetSubjectType(), kSubjectSpecialOperator);
}

TEST(ManifestRead, NestedCounterSignaturesKeepTheirPlace) {
  const std::string signatures =
      "<подпись имяФайла=\"a.p7s\" роль=\"заявитель\">"
      "  <подпись имяФайла=\"a1.p7s\" роль=\"нотариус\"><подпись имяФайла=\"a11.p7s\" "
      "роль=\"налоговыйОрган\"/></подпись>"
      "  <подпись имяФайла=\"a2.p7s\" роль=\"ФНС\"/>"
      "</подпись>"
      "<подпись имяФайла=\"b.p7s\" роль=\"абонент\"/>"_cp;
  std::string text = Header() + Document("01", signatures) + Document("02") + "</ТрансИнф>"_cp;

  CXMLGprExtPackage ext;
  ext.SetText(text);
  ext.Parse();
  ASSERT_EQ(ext.Documents().Count(), 2);
  auto& doc = static_cast<CXMLGprExtDocument&>(*ext.Documents().Document(0));
  ASSERT_EQ(doc.ExtSignatures().Count(), 2);
  CXMLGprExtSignature* a = doc.ExtSignatures().ExtSignature(0);
  EXPECT_EQ(a->FileName(), "a.p7s");
  EXPECT_EQ(a->Owner(), &doc);
  ASSERT_EQ(a->Signatures().Count(), 2);
  CXMLGprExtSignature* a1 = a->Signatures().ExtSignature(0);
  EXPECT_EQ(a1->FileName(), "a1.p7s");
  EXPECT_EQ(a1->Role(), kSubjectNotary);
  EXPECT_EQ(a1->Owner(), a);
  EXPECT_EQ(a1->Document(), &doc);
  ASSERT_EQ(a1->Signatures().Count(), 1);
  EXPECT_EQ(a1->Signatures().ExtSignature(0)->FileName(), "a11.p7s");
  EXPECT_EQ(a->Signatures().ExtSignature(1)->FileName(), "a2.p7s");
  EXPECT_EQ(doc.ExtSignatures().ExtSignature(1)->FileName(), "b.p7s");
  EXPECT_EQ(doc.ExtSignatures().ExtSignature(1)->Signatures().Count(), 0);

  // the plain classes see the signatures as one flat list, in document order
  CXMLGprPackage plain;
  plain.SetText(text);
  EXPECT_QV_ERROR(plain.Parse(), "Длина переменной [FileName = \"a.p7s\"] должна быть равной [36]"_cp);
}

}  // namespace
