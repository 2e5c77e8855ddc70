// write -> read -> write gives the same bytes.
#include "manifest/ManifestSamples.h"

using namespace qv;
using namespace qvtest;

namespace {

const std::string& Special() {
  static const std::string text = "\"<>&'  Ёё №«»"_cp;
  return text;
}

void AddCounterSignatures(CXMLGprExtSignature& s, int depth, const std::string& stem) {
  if (depth == 0) return;
  for (int i = 1; i <= 2; ++i) {
    CXMLGprExtSignature* c = s.Signatures().AddExtSignature();
    c->SetFileName(stem + "." + std::to_string(i) + Special());
    c->SetRole(static_cast<SubjectType>(1 + (depth * 5 + i) % 17));
    AddCounterSignatures(*c, depth - 1, stem + "." + std::to_string(i));
  }
}

std::string Build(bool specialOperator, bool content, bool source) {
  CXMLGprExtPackage p;
  FillHeader(p, LegalEntityFlow(), specialOperator);
  p.SetThreadType(Special() + "тип");
  p.SetThreadTypeCode("<&");
  p.SetTransactType("тр" + Special());
  p.SetTransactTypeCode("\">");
  p.SetThreadIdentifier(Special() + "id");
  p.SetProgVersion("v" + Special());
  p.Sender().SetSubjectIdentifier(Special() + "snd");
  if (specialOperator) p.SpecialOperator().SetSubjectIdentifier(Special());
  p.Receiver().SetSubjectIdentifier("rcv" + Special());
  for (int n = 0; n < 3; ++n) {
    auto& d = AddDocument(p, "'&", "док" + Special(), source ? "C:\\" + Special() + ".pdf" : "", n);
    d.SetContentType(Special() + "/x");
    d.SetDocumentCode(Special() + std::string(32 - Special().size(), 'a'));
    d.SetCompressed(n % 2 == 0);
    if (!content) d.SetFileName("");
    if (n == 2) AddCounterSignatures(*d.ExtSignatures().ExtSignature(0), 3, "cs");
  }
  return p.SaveToText();
}

TEST(ManifestRoundTrip, WriteReadWriteGivesTheSameBytes) {
  for (int variant = 0; variant < 8; ++variant) {
    std::string first = Build(variant & 1, variant & 2, variant & 4);
    CXMLGprExtPackage again;
    again.SetText(first);
    again.Parse();
    EXPECT_EQ(again.SaveToText(), first) << variant;
    EXPECT_EQ(again.ThreadTypeCode(), "<&");
    EXPECT_EQ(again.ThreadType(), Special() + "тип");
    EXPECT_EQ(again.Documents().Count(), 3);
    // a second read of the written text is stable as well
    CXMLGprExtPackage third;
    third.SetText(again.SaveToText());
    third.Parse();
    EXPECT_EQ(third.SaveToText(), first) << variant;
  }
}

TEST(ManifestRoundTrip, CounterSignaturesThreeDeepKeepTheirTree) {
  std::string first = Build(true, true, true);
  CXMLGprExtPackage p;
  p.SetText(first);
  p.Parse();
  auto& d = static_cast<CXMLGprExtDocument&>(*p.Documents().Document(2));
  ASSERT_EQ(d.ExtSignatures().Count(), 2);
  CXMLGprExtSignature* s = d.ExtSignatures().ExtSignature(0);
  int depth = 0;
  while (s->Signatures().Count() > 0) {
    EXPECT_EQ(s->Signatures().Count(), 2);
    s = s->Signatures().ExtSignature(1);
    ++depth;
  }
  EXPECT_EQ(depth, 3);
  EXPECT_EQ(s->FileName(), "cs.2.2.2"_cp + Special());
  EXPECT_EQ(d.ExtSignatures().ExtSignature(1)->Signatures().Count(), 0);
}

TEST(ManifestRoundTrip, UnixLineEndsAndTabsInValuesSurvive) {
  CXMLGprExtPackage p;
  FillHeader(p, LegalEntityFlow());
  AddDocument(p, "01", "a\tb\nc\r\nd", "e\n\nf", 1);
  std::string first = p.SaveToText();
  CXMLGprExtPackage again;
  again.SetText(first);
  again.Parse();
  EXPECT_EQ(again.Documents().Document(0)->DocumentType(), "a\tb\nc\r\nd");
  EXPECT_EQ(again.Documents().Document(0)->SourceFileName(), "e\n\nf");
  EXPECT_EQ(again.SaveToText(), first);
}

}  // namespace
