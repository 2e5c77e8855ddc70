// Manifests the library writes, checked by libxml2 against the published schema.
#include "common/TestEnv.h"
#include "manifest/ManifestSamples.h"

using namespace qv;
using namespace qvtest;

namespace {

std::string Schema() {
  return DataPath("manifest/TransInf_FNS_1.0.xsd");
}

void ExpectValid(const std::string& file) {
  std::string output;
  int status = RunCommand("xmllint --noout --schema '" + Schema() + "' '" + file + "' 2>&1", &output);
  EXPECT_EQ(status, 0) << output;
  EXPECT_NE(output.find("validates"), std::string::npos) << output;
}

std::string XPath(const std::string& file, const std::string& expression) {
  std::string output;
  RunCommand("xmllint --xpath '" + expression + "' '" + file + "' 2>&1", &output);
  if (!output.empty() && output.back() == '\n') output.pop_back();
  return output;
}

// libxml2's XPath parser refuses Cyrillic element names in a path; local-name() takes them.
std::string El(const std::string& name) {
  return "*[local-name()=\"" + name + "\"]";
}

void FillDocuments(CXMLGprExtPackage& p) {
  AddDocument(p, "01", "Заявление"_cp, "C:\\Документы\\заявление Р11001 «ООО \"Ромашка\" & Co» <1>.pdf"_cp,
              2);
  AddDocument(p, "02", "Устав"_cp, "устав.tif"_cp, 1);
  auto& unsigned_ = AddDocument(p, "03", "Квитанция"_cp, "", 0);
  unsigned_.SetContentType("image/tiff");
  unsigned_.SetCompressed(true);
  auto& noContent = AddDocument(p, "04", "Иное"_cp, "иное.txt"_cp, 1);
  noContent.SetFileName("");
}

TEST(ManifestSchema, LegalEntityAndEntrepreneurManifestsValidate) {
  int n = 0;
  for (const FlowSample& flow : {LegalEntityFlow(), EntrepreneurFlow()}) {
    for (bool specialOperator : {false, true}) {
      CXMLGprExtPackage p;
      FillHeader(p, flow, specialOperator);
      FillDocuments(p);
      std::string file = TestPath("manifest" + std::to_string(++n) + ".xml");
      p.SaveToFile(file);
      ExpectValid(file);
      // libxml2 reads the bytes as windows-1251
      EXPECT_EQ(XPath(file, "local-name(/*)"), "ТрансИнф");
      EXPECT_EQ(XPath(file, "string(/*/@типДокументооборота)"), flow.threadType);
      EXPECT_EQ(XPath(file, "string(/*/@версияФормата)"), "ФНС:1.0");
      EXPECT_EQ(XPath(file, "string(/*/" + El("документ") + "[1]/@исходноеИмяФайла)"),
                "C:\\Документы\\заявление Р11001 «ООО \"Ромашка\" & Co» <1>.pdf");
      EXPECT_EQ(XPath(file, "string(/*/" + El("документ") + "[1]/" + El("подпись") + "[2]/@роль)"),
                "нотариус");
      EXPECT_EQ(XPath(file, "count(/*/" + El("спецоператор") + ")"), specialOperator ? "1" : "0");
      EXPECT_EQ(XPath(file, "count(/*/" + El("документ") + "[4]/" + El("содержимое") + ")"), "0");
    }
  }
}

TEST(ManifestSchema, AValidatorWouldNoticeABrokenManifest) {
  // the check itself is live: a manifest without documents is refused by the schema
  std::string file = TestPath("broken.xml");
  WriteBytes(file,
             "<?xml version=\"1.0\" encoding=\"windows-1251\"?>\r\n<\xD2\xF0\xE0\xED\xF1\xC8\xED\xF4/>\r\n");
  std::string output;
  EXPECT_NE(RunCommand("xmllint --noout --schema '" + Schema() + "' '" + file + "' 2>&1", &output), 0);
}

}  // namespace
