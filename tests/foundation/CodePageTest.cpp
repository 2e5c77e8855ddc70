#include "foundation/CodePage.h"

#include <iconv.h>

#include <gtest/gtest.h>

using namespace qv;

namespace {

// The system's own converter, as an independent reference for the table.
std::string Iconv(const char* from, const char* to, const std::string& text) {
  iconv_t cd = iconv_open(to, from);
  if (cd == reinterpret_cast<iconv_t>(-1)) return "<no iconv>";
  std::string in = text;
  std::string out(text.size() * 4 + 4, '\0');
  char* src = in.data();
  char* dst = out.data();
  size_t srcLeft = in.size(), dstLeft = out.size();
  size_t r = iconv(cd, &src, &srcLeft, &dst, &dstLeft);
  iconv_close(cd);
  if (r == static_cast<size_t>(-1)) return "<failed>";
  out.resize(out.size() - dstLeft);
  return out;
}

}  // namespace

TEST(CodePage, EveryByteSurvivesTheWideRoundTrip) {
  std::string all;
  for (int b = 0; b < 256; ++b) all += static_cast<char>(b);
  std::u16string wide = Cp1251ToUtf16(all);
  ASSERT_EQ(wide.size(), 256u);
  EXPECT_EQ(wide[0x98], u'\u0098');
  EXPECT_EQ(Utf16ToCp1251(wide), all);
  EXPECT_EQ(Utf8ToCp1251(Cp1251ToUtf8(all)), all);
}

TEST(CodePage, TableAgreesWithTheSystemConverter) {
  for (int b = 0x80; b < 256; ++b) {
    if (b == 0x98) continue;
    std::string byte(1, static_cast<char>(b));
    EXPECT_EQ(Cp1251ToUtf8(byte), Iconv("CP1251", "UTF-8", byte)) << "byte " << b;
  }
}

TEST(CodePage, RussianTextBothWays) {
  const std::string utf8 = "Привет";
  const std::string cp = "\xCF\xF0\xE8\xE2\xE5\xF2";
  EXPECT_EQ(Utf8ToCp1251(utf8), cp);
  EXPECT_EQ(Cp1251ToUtf8(cp), utf8);
  EXPECT_EQ(Utf16ToCp1251(u"Привет"), cp);
  EXPECT_EQ(Cp1251ToUtf16(cp), u"Привет");
  EXPECT_EQ("Привет"_cp, cp);
}

TEST(CodePage, CharactersMissingFromTheCodePageBecomeQuestionMarks) {
  EXPECT_EQ(Utf16ToCp1251(u"a\u4E2Db"), "a?b");
  EXPECT_EQ(Utf16ToCp1251(u"x\U0001F600y"), "x?y");  // a surrogate pair is one character
  EXPECT_EQ(Utf8ToCp1251("a\xE4\xB8\xAD"
                         "b"),
            "a?b");
  EXPECT_EQ(Utf8ToCp1251("\xC2\x80"), "?");  // U+0080 is not in 1251
  EXPECT_EQ(Utf8ToCp1251("a\xFF"
                         "b\xD0"),
            "a?b?");                         // malformed and truncated UTF-8
  EXPECT_EQ(Utf8ToCp1251("\xC0\xAF"), "?");  // overlong form
}

// The buffer conversions of whole documents agree with the character table everywhere:
// every byte value at every place of a block, and surrogates on either side of a block edge.
TEST(CodePage, BufferConversionsOfLongTexts) {
  std::string bytes;
  for (int round = 0; round < 37; ++round)
    for (int b = 0; b < 256; ++b) bytes += static_cast<char>((b * 7 + round) & 0xFF);
  std::u16string wide(bytes.size(), u'\0');
  Cp1251ToUtf16(bytes.data(), bytes.size(), wide.data());
  for (std::size_t i = 0; i < bytes.size(); ++i)
    ASSERT_EQ(wide[i], Cp1251CharToUtf16(static_cast<unsigned char>(bytes[i]))) << i;
  std::string back(wide.size(), '\0');
  ASSERT_EQ(Utf16ToCp1251(wide.data(), wide.size(), back.data()), bytes.size());
  EXPECT_EQ(back, bytes);
  EXPECT_EQ(Cp1251ToUtf16(bytes), wide);
  EXPECT_EQ(Utf16ToCp1251(wide), bytes);

  // A pair across a block edge is one "?", a lone half is one "?" each, and a character
  // 1251 lacks is "?", wherever they stand.
  for (std::size_t at : {0u, 30u, 31u, 32u, 63u, 64u, 100u}) {
    std::u16string text(130, u'Ж');
    text[at] = 0xD83D;
    text[at + 1] = 0xDE00;
    text[at + 3] = 0xDC00;
    text[at + 5] = 0x4E2D;
    text[at + 7] = 0xD800;
    std::string expected(130, '\xC6');
    expected[at] = '?';
    expected[at + 3] = '?';
    expected[at + 5] = '?';
    expected[at + 7] = '?';
    expected.erase(at + 1, 1);
    EXPECT_EQ(Utf16ToCp1251(text), expected) << at;
  }
}

TEST(CodePage, CaseInsensitiveCompareFoldsCyrillic) {
  EXPECT_TRUE(SameText("Ёлка Tree"_cp, "ёЛКА tree"_cp));
  EXPECT_FALSE(SameText("Ель"_cp, "Ёль"_cp));
  EXPECT_LT(CompareTextNoCase("abc", "ABD"), 0);
}
