#include "Client.h"

#include <algorithm>
#include <iterator>
#include <new>

namespace vorlent {

namespace {

// The upper half of code page 1251 in UTF-16 (0x98, undefined there, as U+0098).
const char16_t kUpper1251[128] = {
    0x0402, 0x0403, 0x201A, 0x0453, 0x201E, 0x2026, 0x2020, 0x2021, 0x20AC, 0x2030, 0x0409, 0x2039, 0x040A,
    0x040C, 0x040B, 0x040F, 0x0452, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014, 0x0098, 0x2122,
    0x0459, 0x203A, 0x045A, 0x045C, 0x045B, 0x045F, 0x00A0, 0x040E, 0x045E, 0x0408, 0x00A4, 0x0490, 0x00A6,
    0x00A7, 0x0401, 0x00A9, 0x0404, 0x00AB, 0x00AC, 0x00AD, 0x00AE, 0x0407, 0x00B0, 0x00B1, 0x0406, 0x0456,
    0x0491, 0x00B5, 0x00B6, 0x00B7, 0x0451, 0x2116, 0x0454, 0x00BB, 0x0458, 0x0405, 0x0455, 0x0457,
};

}  // namespace

std::u16string FromUtf8(std::string_view text) {
  std::u16string out;
  auto continuation = [&](std::size_t k) {
    return k < text.size() && (static_cast<unsigned char>(text[k]) & 0xC0) == 0x80;
  };
  for (std::size_t i = 0; i < text.size();) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    std::size_t length = c < 0x80             ? 1
                         : (c & 0xE0) == 0xC0 ? 2
                         : (c & 0xF0) == 0xE0 ? 3
                         : (c & 0xF8) == 0xF0 ? 4
                                              : 0;
    char32_t code = length == 1 ? c : length == 2 ? c & 0x1Fu : length == 3 ? c & 0x0Fu : c & 0x07u;
    for (std::size_t k = 1; k < length; ++k) {
      if (!continuation(i + k)) {
        length = 0;
        break;
      }
      code = (code << 6) | (static_cast<unsigned char>(text[i + k]) & 0x3Fu);
    }
    // A malformed, overlong or out-of-range sequence is one U+FFFD per byte: the library
    // refuses such a file name instead of opening or writing another one.
    static constexpr char32_t kLeast[] = {0, 0, 0x80, 0x800, 0x10000};
    if (length == 0 || code < kLeast[length] || code > 0x10FFFF || (code >= 0xD800 && code < 0xE000)) {
      code = 0xFFFD;
      length = 1;
    }
    if (code >= 0x10000) {
      code -= 0x10000;
      out += static_cast<char16_t>(0xD800 + (code >> 10));
      out += static_cast<char16_t>(0xDC00 + (code & 0x3FF));
    } else {
      out += static_cast<char16_t>(code);
    }
    i += length;
  }
  return out;
}

std::string ToUtf8(std::u16string_view text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    char32_t c = text[i];
    if (c >= 0xD800 && c < 0xDC00 && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] < 0xE000) {
      c = 0x10000 + ((c - 0xD800) << 10) + (text[i + 1] - 0xDC00);
      ++i;
    }
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else if (c < 0x800) {
      out += static_cast<char>(0xC0 | (c >> 6));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      out += static_cast<char>(0xE0 | (c >> 12));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (c >> 18));
      out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return out;
}

namespace {

// Every byte to its character, and every UTF-16 unit back to its byte ("?" for characters
// 1251 lacks), so that both directions are plain table loops.
struct Tables {
  char16_t forward[256];
  char reverse[0x10000];
  Tables() {
    std::fill(std::begin(reverse), std::end(reverse), '?');
    for (unsigned c = 0; c < 256; ++c) {
      forward[c] = c < 0x80   ? static_cast<char16_t>(c)
                   : c < 0xC0 ? kUpper1251[c - 0x80]
                              : static_cast<char16_t>(0x0410 + (c - 0xC0));
      reverse[forward[c]] = static_cast<char>(c);
    }
  }
};

const Tables& CodeTables() {
  static const Tables tables;
  return tables;
}

void BytesInto(std::string_view bytes, char16_t* out) {
  const char16_t* forward = CodeTables().forward;
  for (std::size_t i = 0; i < bytes.size(); ++i) out[i] = forward[static_cast<unsigned char>(bytes[i])];
}

}  // namespace

std::u16string BytesToText(std::string_view bytes) {
  std::u16string text(bytes.size(), u'\0');
  BytesInto(bytes, text.data());
  return text;
}

std::string TextToBytes(std::u16string_view text) {
  const char* reverse = CodeTables().reverse;
  std::string bytes(text.size(), '\0');
  for (std::size_t i = 0; i < text.size(); ++i) bytes[i] = reverse[text[i]];
  return bytes;
}

Str::Str(std::u16string_view text) : b_(SysAllocStringLen(text.data(), static_cast<UINT>(text.size()))) {}

Str::~Str() {
  SysFreeString(b_);
}

BSTR* Str::Out() {
  SysFreeString(b_);
  b_ = nullptr;
  return &b_;
}

std::u16string Str::Wide() const {
  return std::u16string(b_ ? b_ : u"", SysStringLen(b_));
}

std::string Str::Bytes() const {
  return TextToBytes(std::u16string_view(b_ ? b_ : u"", SysStringLen(b_)));
}

// Converted straight into the new string, without a UTF-16 copy on the way.
Str ByteStr(std::string_view bytes) {
  BSTR text = SysAllocStringLen(nullptr, static_cast<UINT>(bytes.size()));
  if (!text) throw std::bad_alloc();
  BytesInto(bytes, text);
  return Str(text, Str::kAdopt);
}

void CheckTool(HRESULT hr) {
  if (FAILED(hr)) {
    std::string text = QvToolLastError();
    if (text.empty()) {
      char code[32];
      std::snprintf(code, sizeof code, "ошибка 0x%08X", static_cast<unsigned>(hr));
      text = code;
    }
    throw Failure(text);
  }
}

namespace {

template <class T>
Ptr<T> Create(const CLSID& clsid, const IID& iid) {
  Ptr<T> object;
  HRESULT hr = QvCreateInstanceDirect(clsid, iid, object.OutVoid());
  if (FAILED(hr)) throw Failure(ErrorText<T>(nullptr, hr));
  return object;
}

}  // namespace

Ptr<IVorlent> NewPackage() {
  return Create<IVorlent>(CLSID_Vorlent, IID_IVorlent);
}

Ptr<IVorlentCrypt> NewCrypt(bool userStorage) {
  Ptr<IVorlentCrypt> crypt = Create<IVorlentCrypt>(CLSID_VorlentCrypt, IID_IVorlentCrypt);
  Check(crypt->put_FlagUsageUserStorage(userStorage ? VARIANT_TRUE : VARIANT_FALSE), crypt.Get());
  return crypt;
}

Ptr<IVorlentCrypt> NewInitializedCrypt(bool userStorage) {
  Ptr<IVorlentCrypt> crypt = NewCrypt(userStorage);
  VARIANT_BOOL ok = VARIANT_FALSE;
  Check(crypt->Init(&ok), crypt.Get());
  return crypt;
}

Ptr<ICertChecker> NewChecker() {
  return Create<ICertChecker>(CLSID_CertChecker, IID_ICertChecker);
}

}  // namespace vorlent
