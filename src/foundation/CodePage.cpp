#include "foundation/CodePage.h"

#include <array>

#include "foundation/Errors.h"

namespace qv {
namespace {

// Bytes 0x80..0xBF of code page 1251; 0xC0..0xFF are U+0410..U+044F. 0x98 is undefined
// in 1251 and maps to U+0098 so that the table stays a bijection.
constexpr char16_t kHigh[64] = {
    0x0402, 0x0403, 0x201A, 0x0453, 0x201E, 0x2026, 0x2020, 0x2021,  // 80
    0x20AC, 0x2030, 0x0409, 0x2039, 0x040A, 0x040C, 0x040B, 0x040F,  // 88
    0x0452, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,  // 90
    0x0098, 0x2122, 0x0459, 0x203A, 0x045A, 0x045C, 0x045B, 0x045F,  // 98
    0x00A0, 0x040E, 0x045E, 0x0408, 0x00A4, 0x0490, 0x00A6, 0x00A7,  // A0
    0x0401, 0x00A9, 0x0404, 0x00AB, 0x00AC, 0x00AD, 0x00AE, 0x0407,  // A8
    0x00B0, 0x00B1, 0x0406, 0x0456, 0x0491, 0x00B5, 0x00B6, 0x00B7,  // B0
    0x0451, 0x2116, 0x0454, 0x00BB, 0x0458, 0x0405, 0x0455, 0x0457,  // B8
};

constexpr char16_t ForwardChar(unsigned c) {
  return c < 0x80    ? static_cast<char16_t>(c)
         : c >= 0xC0 ? static_cast<char16_t>(0x0410 + (c - 0xC0))
                     : kHigh[c - 0x80];
}

constexpr std::array<char16_t, 256> MakeForward() {
  std::array<char16_t, 256> table{};
  for (unsigned c = 0; c < 256; ++c) table[c] = ForwardChar(c);
  return table;
}

constexpr std::array<char16_t, 256> kForward = MakeForward();

// Every UTF-16 unit to its byte: characters 1251 lacks (surrogates included) to "?".
struct ReverseTable {
  std::array<char, 0x10000> bytes;
  ReverseTable() {
    bytes.fill('?');
    for (unsigned c = 0; c < 256; ++c) bytes[kForward[c]] = static_cast<char>(c);
  }
  char Lookup(char32_t u) const { return u < 0x10000 ? bytes[u] : '?'; }
};

const ReverseTable& Reverse() {
  static const ReverseTable table;
  return table;
}

constexpr bool IsHighSurrogate(char16_t u) {
  return (u & 0xFC00) == 0xD800;
}

void AppendUtf8(std::string& out, char32_t u) {
  if (u < 0x80) {
    out += static_cast<char>(u);
  } else if (u < 0x800) {
    out += static_cast<char>(0xC0 | (u >> 6));
    out += static_cast<char>(0x80 | (u & 0x3F));
  } else {
    out += static_cast<char>(0xE0 | (u >> 12));
    out += static_cast<char>(0x80 | ((u >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (u & 0x3F));
  }
}

}  // namespace

char16_t Cp1251CharToUtf16(unsigned char c) {
  return kForward[c];
}

void Cp1251ToUtf16(const char* in, std::size_t count, char16_t* out) {
  const auto* bytes = reinterpret_cast<const unsigned char*>(in);
  for (std::size_t i = 0; i < count; ++i) out[i] = kForward[bytes[i]];
}

std::size_t Utf16ToCp1251(const char16_t* in, std::size_t count, char* out) {
  const char* table = Reverse().bytes.data();
  std::size_t o = 0;
  for (std::size_t i = 0; i < count; ++i) {
    char16_t u = in[i];
    // a character outside the basic plane (a pair of surrogates) is one "?": 1251 has none of them
    if (__builtin_expect(IsHighSurrogate(u), 0) && i + 1 < count && (in[i + 1] & 0xFC00) == 0xDC00) ++i;
    out[o++] = table[u];
  }
  return o;
}

std::u16string Cp1251ToUtf16(std::string_view text) {
  std::u16string out(text.size(), u'\0');
  Cp1251ToUtf16(text.data(), text.size(), out.data());
  return out;
}

std::string Utf16ToCp1251(std::u16string_view text) {
  std::string out(text.size(), '\0');
  out.resize(Utf16ToCp1251(text.data(), text.size(), out.data()));
  return out;
}

std::string Cp1251ToUtf8(std::string_view text) {
  std::string out;
  out.reserve(text.size() * 2);
  for (char c : text) AppendUtf8(out, Cp1251CharToUtf16(static_cast<unsigned char>(c)));
  return out;
}

std::string Utf8ToCp1251(std::string_view text) {
  const ReverseTable& table = Reverse();
  std::string out;
  out.reserve(text.size());
  std::size_t i = 0;
  const std::size_t n = text.size();
  auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
  while (i < n) {
    unsigned char b = byte(i);
    if (b < 0x80) {
      out += static_cast<char>(b);
      ++i;
      continue;
    }
    int extra = 0;
    char32_t u = 0;
    char32_t min = 0;
    if ((b & 0xE0) == 0xC0) {
      extra = 1, u = b & 0x1F, min = 0x80;
    } else if ((b & 0xF0) == 0xE0) {
      extra = 2, u = b & 0x0F, min = 0x800;
    } else if ((b & 0xF8) == 0xF0) {
      extra = 3, u = b & 0x07, min = 0x10000;
    } else {
      out += '?';  // a stray continuation byte or an invalid lead byte
      ++i;
      continue;
    }
    std::size_t k = 1;
    for (; k <= static_cast<std::size_t>(extra); ++k) {
      if (i + k >= n || (byte(i + k) & 0xC0) != 0x80) break;
      u = (u << 6) | (byte(i + k) & 0x3F);
    }
    if (k <= static_cast<std::size_t>(extra) || u < min || u > 0x10FFFF) {
      out += '?';
      i += k;
      continue;
    }
    out += table.Lookup(u);
    i += k;
  }
  return out;
}

namespace {

[[noreturn]] void RaiseUnfitFileName(const std::string& shown) {
  RaiseErrorFmt("Имя файла [%s] содержит знаки, которых нет в кодировке windows-1251"_cp, {shown});
}

}  // namespace

std::string FileNameToCp1251(std::u16string_view name) {
  std::string text = Utf16ToCp1251(name);
  if (Cp1251ToUtf16(text) != name) RaiseUnfitFileName(text);
  return text;
}

std::string FileNameUtf8ToCp1251(std::string_view name) {
  std::string text = Utf8ToCp1251(name);
  if (Cp1251ToUtf8(text) != name) RaiseUnfitFileName(text);
  return text;
}

unsigned char Cp1251Upper(unsigned char c) {
  if (c >= 'a' && c <= 'z') return static_cast<unsigned char>(c - 32);
  if (c >= 0xE0) return static_cast<unsigned char>(c - 32);
  switch (c) {
    case 0xB8:
      return 0xA8;  // ё
    case 0xA2:
      return 0xA1;  // ў
    case 0xB3:
      return 0xB2;  // і
    case 0xB4:
      return 0xA5;  // ґ
    case 0xBA:
      return 0xAA;  // є
    case 0xBF:
      return 0xAF;  // ї
    case 0xBC:
      return 0xA3;  // ј
    case 0xBE:
      return 0xBD;  // ѕ
    case 0x83:
      return 0x81;  // ѓ
    case 0x90:
      return 0x80;  // ђ
    case 0x9A:
      return 0x8A;  // љ
    case 0x9C:
      return 0x8C;  // њ
    case 0x9D:
      return 0x8D;  // ќ
    case 0x9E:
      return 0x8E;  // ћ
    case 0x9F:
      return 0x8F;  // џ
    default:
      return c;
  }
}

int CompareTextNoCase(std::string_view a, std::string_view b) {
  std::size_t n = a.size() < b.size() ? a.size() : b.size();
  for (std::size_t i = 0; i < n; ++i) {
    unsigned char x = Cp1251Upper(static_cast<unsigned char>(a[i]));
    unsigned char y = Cp1251Upper(static_cast<unsigned char>(b[i]));
    if (x != y) return x < y ? -1 : 1;
  }
  if (a.size() == b.size()) return 0;
  return a.size() < b.size() ? -1 : 1;
}

bool SameText(std::string_view a, std::string_view b) {
  return a.size() == b.size() && CompareTextNoCase(a, b) == 0;
}

}  // namespace qv
