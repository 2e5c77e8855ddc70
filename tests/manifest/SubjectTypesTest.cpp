#include "manifest/SubjectTypes.h"

#include "xml/XmlTestUtil.h"

using namespace qv;

namespace {

TEST(SubjectTypes, NamesBothWays) {
  const char* const names[] = {"абонент",      "налоговыйОрган",
                               "спецоператор", "абонент",
                               "заявитель",    "нотариус",
                               "доверенныйУЦ", "органЦБРФ",
                               "ИОнотариус",   "органМинюста",
                               "ФЦОД",         "участник",
                               "ОФР",          "ФНС",
                               "РФМ",          "ЦБР",
                               "МФЦ"};
  for (int n = 1; n <= 17; ++n) {
    std::string name = Utf8ToCp1251(names[n - 1]);
    EXPECT_EQ(SubjectTypeToName(n), name) << n;
    EXPECT_EQ(SubjectTypeFromName(name), n == 4 ? 1 : n) << n;  // "абонент" always reads as 1
  }
  EXPECT_QV_ERROR(SubjectTypeToName(0), "Неизвестный тип субъекта: [0]"_cp);
  EXPECT_QV_ERROR(SubjectTypeToName(18), "Неизвестный тип субъекта: [18]"_cp);
  EXPECT_QV_ERROR(SubjectTypeToName(255), "Неизвестный тип субъекта: [255]"_cp);
  EXPECT_QV_ERROR(SubjectTypeFromName("Абонент"_cp), "Неизвестный тип субъекта: [Абонент]"_cp);
  EXPECT_QV_ERROR(SubjectTypeFromName("ФНС "_cp), "Неизвестный тип субъекта: [ФНС ]"_cp);
  EXPECT_QV_ERROR(SubjectTypeFromName(""), "Неизвестный тип субъекта: []"_cp);
}

TEST(SubjectTypes, FlowCodeSets) {
  for (const char* code : {"UF", "UR", "ZR", "IR"}) {
    EXPECT_TRUE(IsUFRThread(code));
    EXPECT_FALSE(IsCRSThread(code));
  }
  EXPECT_TRUE(IsCRSThread("US"));
  for (const char* code : {"ur", "US ", "", "U"}) EXPECT_FALSE(IsUFRThread(code)) << code;
  EXPECT_FALSE(IsUFRThread("ЮЛ"_cp));
  EXPECT_FALSE(IsCRSThread("us"));
}

}  // namespace
