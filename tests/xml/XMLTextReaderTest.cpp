#include "xml/XMLTextReader.h"

#include <vector>

#include "xml/XMLTokenizer.h"
#include "xml/XmlTestUtil.h"

using namespace qv;
using namespace std::string_literals;

namespace {

std::vector<int> Kinds(const std::string& text, std::size_t window = TXMLTokenizer::kWindowSize) {
  CStringStream stream(text);
  TXMLTokenizer t(stream, window);
  std::vector<int> kinds;
  for (int guard = 0; guard < 1000; ++guard) {
    kinds.push_back(t.Kind());
    if (t.Kind() == TXMLTokenizer::kEndOfInput) break;
    t.Next();
  }
  return kinds;
}

TEST(XMLTokenizer, ClassifiesEveryTokenKind) {
  std::string text =
      "<?xml version=\"1.0\"?>\n<!-- a > b --><!DOCTYPE r><r a=\"1\">text  <![CDATA[ x > ]] y ]]>"
      "<e/></r>  \r\n";
  EXPECT_EQ(Kinds(text), (std::vector<int>{8, 6, 8, 10, 9, 13, 12, 11, 0}));
  // the same with a window far smaller than the text: tokens move along with each refill
  EXPECT_EQ(Kinds(text, 40), (std::vector<int>{8, 6, 8, 10, 9, 13, 12, 11, 0}));
  EXPECT_EQ(Kinds(""), (std::vector<int>{0}));
  EXPECT_EQ(Kinds(" \r\n\t "), (std::vector<int>{0}));
}

TEST(XMLTokenizer, TokenTextJoinsLinesButKeepsQuotedValues) {
  CStringStream stream("<a\r\n   b=\"x  y\"\n\tc='1'>  some\r\n  text   <![CDATA[a\r\n b]]>");
  TXMLTokenizer t(stream);
  EXPECT_EQ(t.TokenText(), "<a b=\"x  y\" c='1'>");
  t.Next();
  EXPECT_EQ(t.TokenText(), "some text");
  t.Next();
  EXPECT_EQ(t.TokenText(), "<![CDATA[a\r\n b]]>");
}

TEST(XMLTokenizer, NeverReadsPastTheDataAndRefusesTagsLongerThanTheWindow) {
  // a "<" without ">" ends the token with the data
  CStringStream open("<a b=\"1\"  <c");
  TXMLTokenizer t(open);
  EXPECT_EQ(t.Kind(), TXMLTokenizer::kStartTag);
  EXPECT_EQ(std::string(t.RawText()), "<a b=\"1\"  <c");
  EXPECT_EQ(t.Next(), TXMLTokenizer::kEndOfInput);
  EXPECT_EQ(t.Next(), TXMLTokenizer::kEndOfInput);

  std::string longTag = "<a v=\"" + std::string(100, 'x') + "\"/>";
  CStringStream big(longTag + "<b/>");
  try {
    TXMLTokenizer small(big, 64);
    ADD_FAILURE() << "a tag longer than the window was accepted";
  } catch (const CVorlentException& e) {
    EXPECT_NE(e.Message().find("Тег XML длиннее окна чтения (64 байт)"_cp), std::string::npos);
  }
  // text longer than the window is passed over piece by piece
  CStringStream text("<a>" + std::string(200, 't') + "</a><b/>");
  TXMLTokenizer pieces(text, 64);
  std::vector<int> kinds;
  while (pieces.Kind() != TXMLTokenizer::kEndOfInput) kinds.push_back(pieces.Kind()), pieces.Next();
  EXPECT_EQ(kinds, (std::vector<int>{10, 9, 9, 9, 9, 11, 12}));
  // the same tag fits a window of its own size
  CStringStream fits(longTag);
  TXMLTokenizer ok(fits, longTag.size());
  EXPECT_EQ(ok.Kind(), TXMLTokenizer::kEmptyTag);
}

TEST(XMLTokenizer, UnterminatedCommentsAndSectionsEndWithTheData) {
  EXPECT_EQ(Kinds("<r><!-- never closed > <a/>"), (std::vector<int>{10, 6, 0}));
  EXPECT_EQ(Kinds("<r><![CDATA[ never > closed"), (std::vector<int>{10, 13, 0}));
  EXPECT_EQ(Kinds("<!-->x"), (std::vector<int>{6, 0}));
}

const char* const kSample =
    "<?xml version=\"1.0\" encoding=\"windows-1251\"?>\r\n"
    "<!-- comment > with <fake a=\"1\"/> inside -->\r\n"
    "<root  one=\"1\" two='2'\r\n   three = \"3\" "
    "amp=\"a&amp;b&lt;&gt;&quot;&apos;&#65;&#x42;&#1025;&unknown;\">\r\n"
    "  <![CDATA[ <hidden/> ]]> some text\r\n"
    "  <item n=\"1\"/>\r\n"
    "  <item\r\n  n=\"2\">\r\n    <sub/>\r\n  </item>\r\n"
    "  <tail/>\r\n"
    "</root>\r\n";

TEST(XMLTextReader, SkipsEverythingButStartTagsAndReadsAttributes) {
  CXMLTextReader r;
  r.SetText(kSample);
  r.FindElement("root");
  EXPECT_EQ(r.CurrentElementName(), "root");
  EXPECT_EQ(r.ReadAttribute("one"), "1");
  EXPECT_EQ(r.ReadAttribute("two"), "2");
  EXPECT_EQ(r.ReadAttribute("three"), "3");
  EXPECT_EQ(r.ReadAttribute("amp"), "a&b<>\"'AB"_cp + "Ё"_cp + "&unknown;");
  EXPECT_EQ(r.ReadAttribute("missing"), "");
  EXPECT_EQ(r.CurrentDepth(), 0);
  r.ReadStartElement("root");
  EXPECT_EQ(r.CurrentElementName(), "item");
  EXPECT_EQ(r.CurrentDepth(), 1);
  EXPECT_EQ(r.ReadAttribute("n"), "1");
  r.ReadStartElement("item");
  EXPECT_EQ(r.ReadAttribute("n"), "2");
  r.ReadStartElement("");
  EXPECT_EQ(r.CurrentElementName(), "sub");
  EXPECT_EQ(r.CurrentDepth(), 2);
  r.ReadStartElement("sub");
  EXPECT_EQ(r.CurrentElementName(), "tail");
  EXPECT_EQ(r.CurrentDepth(), 1);
  r.ReadEndElement("root");
  r.ReadStartElement("tail");
  EXPECT_TRUE(r.AtEnd());
  EXPECT_EQ(r.CurrentElementName(), "");
  EXPECT_QV_ERROR(r.FindElement("root"), "Элемент [root] не найден"_cp);
}

TEST(XMLTextReader, ReportsTheUnexpectedElement) {
  CXMLTextReader r;
  r.SetText("<a><b x=\"1\"\r\n y=\"2\"/></a>");
  r.ReadStartElement("a");
  EXPECT_QV_ERROR(r.ReadStartElement("c"),
                  "Не найден ожидаемый узел [c] (вместо найденного <b x=\"1\" y=\"2\"/>)"_cp);
  r.ReadStartElement("b");
  EXPECT_QV_ERROR(r.ReadStartElement("c"), "Не найден ожидаемый узел [c] (вместо найденного )"_cp);
  EXPECT_QV_ERROR(r.FindElement("a"), "Элемент [a] не найден"_cp);
}

TEST(XMLTextReader, BoolAttributes) {
  CXMLTextReader r;
  r.SetText("<a t1=\"TRUE\" t2=\"1\" t3=\"true\" f1=\"yes\" f2=\"0\" f3=\"false\"/>");
  EXPECT_TRUE(r.ReadBoolAttribute("t1"));
  EXPECT_TRUE(r.ReadBoolAttribute("t2"));
  EXPECT_TRUE(r.ReadBoolAttribute("t3"));
  EXPECT_FALSE(r.ReadBoolAttribute("f1"));
  EXPECT_FALSE(r.ReadBoolAttribute("f2"));
  EXPECT_FALSE(r.ReadBoolAttribute("f3"));
  EXPECT_FALSE(r.ReadBoolAttribute("missing"));
}

TEST(XMLTextReader, Utf8TextIsReadAsCodePage1251) {
  const std::string cp = "<?xml version=\"1.0\" encoding=\"windows-1251\"?>\r\n<док имя=\"Ёж\"/>"_cp;
  for (const char* declaration :
       {"<?xml version=\"1.0\" encoding=\"utf-8\"?>", "<?xml version='1.0' encoding='UTF-8'?>",
        "\xEF\xBB\xBF<?xml version=\"1.0\"?>"}) {
    CXMLTextReader r;
    r.SetText(std::string(declaration) + "\n<док имя=\"Ёж\"/>");
    r.FindElement("док"_cp);
    EXPECT_EQ(r.ReadAttribute("имя"_cp), "Ёж"_cp) << declaration;
  }
  CXMLTextReader r;
  r.SetText(cp);
  r.FindElement("док"_cp);
  EXPECT_EQ(r.ReadAttribute("имя"_cp), "Ёж"_cp);
}

TEST(XMLTextReader, MalformedTextNeverCrashesOrHangs) {
  const std::string inputs[] = {"<"s,
                                "<<<<"s,
                                ">>>"s,
                                "<a b=\""s,
                                "<a b='x"s,
                                "</"s,
                                "<!--"s,
                                "<![CDATA["s,
                                "<a/"s,
                                "&#xFFFFFFFF;"s,
                                "\0\0<a/>"s,
                                "<a\0b>"s,
                                "<a v=\"&#99999999;&\"/>"s};
  for (const std::string& input : inputs) {
    CXMLTextReader r;
    r.SetText(input);
    r.ReadAttribute("b");
    r.ReadAttribute("v");
    try {
      r.FindElement("z");
      ADD_FAILURE();
    } catch (const CVorlentException&) {
    }
    EXPECT_TRUE(r.AtEnd());
  }
  CXMLTextReader r;
  r.SetText("<a =\"1\" b=\"2\" c d=3/>");
  EXPECT_EQ(r.ReadAttribute("b"), "2");
  EXPECT_EQ(r.ReadAttribute("d"), "3");
}

}  // namespace
