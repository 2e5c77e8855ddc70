#include "xml/XMLTextWriter.h"

#include "xml/XMLTextReader.h"
#include "xml/XmlTestUtil.h"

using namespace qv;

namespace {

TEST(XMLTextWriter, WritesDeclarationIndentedElementsAndAttributesInOrder) {
  CXMLTextWriter w;
  w.StartDocument();
  w.StartElement("root");
  w.AddAttribute("b", "2");
  w.AddAttribute("a", "1");
  w.StartElement("child");
  w.AddBoolAttribute("on", true);
  w.AddBoolAttribute("off", false);
  w.EndElement();
  w.StartElement("other");
  w.StartElement("leaf");
  w.EndElement();
  w.EndElement();
  w.EndElement();
  w.EndDocument();
  EXPECT_EQ(w.GetText(),
            "<?xml version=\"1.0\" encoding=\"windows-1251\"?>\r\n"
            "<root b=\"2\" a=\"1\">\r\n"
            "\t<child on=\"true\" off=\"false\"/>\r\n"
            "\t<other>\r\n"
            "\t\t<leaf/>\r\n"
            "\t</other>\r\n"
            "</root>\r\n");
  EXPECT_EQ(w.GetText().find("\xEF\xBB\xBF"), std::string::npos);
}

TEST(XMLTextWriter, NestedSameNamesAndEndDocumentClosesInnermostFirst) {
  CXMLTextWriter w;
  w.StartDocument();
  w.StartElement("a");
  w.StartElement("s");
  w.AddAttribute("n", "1");
  w.StartElement("s");
  w.AddAttribute("n", "2");
  w.StartElement("s");
  w.EndDocument();
  EXPECT_EQ(w.GetText(),
            "<?xml version=\"1.0\" encoding=\"windows-1251\"?>\r\n<a>\r\n\t<s n=\"1\">\r\n\t\t<s n=\"2\">\r\n"
            "\t\t\t<s/>\r\n\t\t</s>\r\n\t</s>\r\n</a>\r\n");
  EXPECT_EQ(w.Depth(), 0);
  EXPECT_FALSE(w.CanWrite());
}

TEST(XMLTextWriter, EscapesValuesSoTheyReadBackUnchanged) {
  const std::string value = "a\"b<c>d&e'f\tg\r\nh  i "_cp + "Ёлка №1"_cp;
  CXMLTextWriter w;
  w.StartDocument();
  w.StartElement("x");
  w.AddAttribute("v", value);
  w.EndDocument();
  EXPECT_NE(w.GetText().find("v=\"a&quot;b&lt;c&gt;d&amp;e'f&#9;g&#13;&#10;h  i "), std::string::npos);
  CXMLTextReader r;
  r.SetText(w.GetText());
  r.FindElement("x");
  EXPECT_EQ(r.ReadAttribute("v"), value);
}

TEST(XMLTextWriter, RefusesContentAfterEndAndEmptyValues) {
  CXMLTextWriter w;
  w.StartDocument();
  w.AddAttribute("ignored", "");  // no element open: nothing happens
  w.StartElement("x");
  EXPECT_QV_ERROR(w.AddAttribute("имя"_cp, ""), "Попытка записи пустого значения в атрибут [имя]"_cp);
  w.EndDocument();
  EXPECT_EQ(w.GetText().find("имя"_cp), std::string::npos);
  EXPECT_QV_ERROR(w.StartElement("y"), "Нельзя добавить элемент, уже есть содержимое"_cp);
  EXPECT_QV_ERROR(w.AddAttribute("a", "1"), "Нельзя добавить атрибут, уже есть содержимое"_cp);
  EXPECT_QV_ERROR(w.EndElement(), "Нет открытого элемента XML для закрытия"_cp);
  w.Reset();
  w.StartElement("y");
  w.EndDocument();
  EXPECT_EQ(w.GetText(), "<y/>\r\n");
}

TEST(XMLTextWriter, RefusesControlCharactersThatXmlCannotCarry) {
  CXMLTextWriter w;
  w.StartElement("документ"_cp);
  for (char c : {'\0', '\x01', '\x1b', '\x1f'}) {
    EXPECT_QV_ERROR(
        w.AddAttribute("имяФайла"_cp, std::string("a") + c + "b"),
        "Значение атрибута [имяФайла] элемента [документ] содержит недопустимый в XML символ с кодом "_cp +
            std::to_string(static_cast<int>(c)));
  }
  w.EndDocument();
  EXPECT_EQ(w.GetText(), "<документ/>\r\n"_cp);
}

TEST(XMLTextWriter, AttributesAfterAChildAreNotWritten) {
  CXMLTextWriter w;
  w.StartElement("p");
  w.StartElement("c");
  w.EndElement();
  w.AddAttribute("late", "1");
  w.EndDocument();
  EXPECT_EQ(w.GetText().find("late"), std::string::npos);
}

}  // namespace
