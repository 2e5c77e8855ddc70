#include "xml/XMLTextReader.h"

#include "foundation/CodePage.h"
#include "foundation/Errors.h"

namespace qv {
namespace {

inline bool IsSpace(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

inline bool IsTagKind(TXMLTokenizer::TokenKind kind) {
  return kind == TXMLTokenizer::kStartTag || kind == TXMLTokenizer::kEmptyTag;
}

// The XML declaration at the start of the text, if any.
std::string_view Declaration(std::string_view text) {
  if (text.compare(0, 5, "<?xml") != 0) return {};
  std::size_t end = text.find("?>");
  return text.substr(0, end == std::string_view::npos ? text.find('\n') : end);
}

bool DeclaresUtf8(std::string_view text) {
  std::string_view declaration = Declaration(text);
  std::size_t at = declaration.find("encoding");
  if (at == std::string_view::npos) return false;
  at += 8;
  while (at < declaration.size() && IsSpace(declaration[at])) ++at;
  if (at >= declaration.size() || declaration[at] != '=') return false;
  ++at;
  while (at < declaration.size() && IsSpace(declaration[at])) ++at;
  if (at >= declaration.size() || (declaration[at] != '"' && declaration[at] != '\'')) return false;
  char quote = declaration[at];
  std::size_t end = declaration.find(quote, at + 1);
  if (end == std::string_view::npos) return false;
  std::string_view name = declaration.substr(at + 1, end - at - 1);
  return SameText(name, "utf-8") || SameText(name, "utf8");
}

bool DecodeReference(std::string_view ref, std::string& out) {
  if (ref == "quot") return out += '"', true;
  if (ref == "lt") return out += '<', true;
  if (ref == "gt") return out += '>', true;
  if (ref == "amp") return out += '&', true;
  if (ref == "apos") return out += '\'', true;
  if (ref.size() < 2 || ref[0] != '#') return false;
  unsigned long code = 0;
  bool hex = ref[1] == 'x' || ref[1] == 'X';
  std::size_t i = hex ? 2 : 1;
  if (i >= ref.size() || ref.size() - i > 8) return false;
  for (; i < ref.size(); ++i) {
    char c = ref[i];
    unsigned digit;
    if (c >= '0' && c <= '9') {
      digit = static_cast<unsigned>(c - '0');
    } else if (hex && c >= 'a' && c <= 'f') {
      digit = static_cast<unsigned>(c - 'a' + 10);
    } else if (hex && c >= 'A' && c <= 'F') {
      digit = static_cast<unsigned>(c - 'A' + 10);
    } else {
      return false;
    }
    code = code * (hex ? 16 : 10) + digit;
  }
  if (code > 0x10FFFF) return false;
  if (code < 0x80) {
    out += static_cast<char>(code);
  } else if (code <= 0xFFFF) {
    out += Utf16ToCp1251(std::u16string(1, static_cast<char16_t>(code)));
  } else {
    out += '?';
  }
  return true;
}

}  // namespace

std::string DecodeAttributeValue(std::string_view raw) {
  std::string out;
  out.reserve(raw.size());
  for (std::size_t i = 0; i < raw.size(); ++i) {
    char c = raw[i];
    if (c == '&') {
      std::size_t semicolon = raw.find(';', i + 1);
      if (semicolon != std::string_view::npos && semicolon - i <= 10 &&
          DecodeReference(raw.substr(i + 1, semicolon - i - 1), out)) {
        i = semicolon;
        continue;
      }
      out += c;
    } else if (c == '\r') {
      out += ' ';
      if (i + 1 < raw.size() && raw[i + 1] == '\n') ++i;
    } else if (c == '\n' || c == '\t') {
      out += ' ';
    } else {
      out += c;
    }
  }
  return out;
}

CXMLTextReader::CXMLTextReader() = default;
CXMLTextReader::~CXMLTextReader() = default;

void CXMLTextReader::SetText(const std::string& text) {
  Funnel([&] {
    text_ = text;
    tokenizer_.reset();
    stream_.reset();
    attributesParsed_ = false;
    std::string_view view(text);
    bool bom = view.compare(0, 3, "\xEF\xBB\xBF") == 0;
    if (bom) view.remove_prefix(3);
    if (bom || DeclaresUtf8(view)) {
      stream_ = std::make_unique<CStringStream>(Utf8ToCp1251(view));
    } else {
      stream_ = std::make_unique<CStringStream>(text);
    }
    tokenizer_ = std::make_unique<TXMLTokenizer>(*stream_, windowSize_);
  });
}

void CXMLTextReader::Clear() {
  Funnel([&] {
    tokenizer_.reset();
    if (stream_) stream_->Clear();
    attributesParsed_ = false;
  });
}

bool CXMLTextReader::AtEnd() const {
  return !tokenizer_ || tokenizer_->Kind() == TXMLTokenizer::kEndOfInput;
}

void CXMLTextReader::MoveToStartTag() {
  if (!tokenizer_) return;
  while (!IsTagKind(tokenizer_->Kind()) && tokenizer_->Kind() != TXMLTokenizer::kEndOfInput) {
    tokenizer_->Next();
    attributesParsed_ = false;
  }
}

std::string_view CXMLTextReader::CurrentName() const {
  if (!tokenizer_ || !IsTagKind(tokenizer_->Kind())) return {};
  std::string_view raw = tokenizer_->RawText();
  std::size_t end = 1;
  while (end < raw.size() && !IsSpace(raw[end]) && raw[end] != '/' && raw[end] != '>') ++end;
  return raw.substr(1, end - 1);
}

std::string CXMLTextReader::CurrentElementName() const {
  return std::string(CurrentName());
}

int CXMLTextReader::CurrentDepth() const {
  return tokenizer_ ? tokenizer_->Depth() : 0;
}

void CXMLTextReader::FindElement(const std::string& name) {
  Funnel([&] {
    MoveToStartTag();
    while (!AtEnd()) {
      if (CurrentName() == name) return;
      tokenizer_->Next();
      attributesParsed_ = false;
      MoveToStartTag();
    }
    RaiseErrorFmt("Элемент [%s] не найден"_cp, {name});
  });
}

void CXMLTextReader::ReadStartElement(const std::string& name) {
  Funnel([&] {
    MoveToStartTag();
    if (!name.empty() && CurrentName() != name) {
      std::string found = tokenizer_ && !AtEnd() ? tokenizer_->TokenText() : std::string();
      RaiseErrorFmt("Не найден ожидаемый узел [%s] (вместо найденного %s)"_cp, {name, found});
    }
    if (AtEnd()) return;
    tokenizer_->Next();
    attributesParsed_ = false;
    MoveToStartTag();
  });
}

void CXMLTextReader::ReadEndElement(const std::string&) {
  MoveToStartTag();
}

// Splits the current tag into its attributes: name, optional blanks, "=", optional blanks,
// a value in double or single quotes. Malformed parts are passed over.
const std::vector<CXMLTextReader::Attribute>& CXMLTextReader::Attributes() {
  if (attributesParsed_) return attributes_;
  attributes_.clear();
  attributesParsed_ = true;
  if (!tokenizer_ || !IsTagKind(tokenizer_->Kind())) return attributes_;
  std::string_view name = CurrentName();
  std::string_view raw = tokenizer_->RawText();
  std::size_t n = raw.size();
  if (n && raw[n - 1] == '>') --n;
  std::size_t i = 1 + name.size();
  while (i < n) {
    while (i < n && (IsSpace(raw[i]) || raw[i] == '/')) ++i;
    std::size_t nameStart = i;
    while (i < n && !IsSpace(raw[i]) && raw[i] != '=' && raw[i] != '/' && raw[i] != '"' && raw[i] != '\'')
      ++i;
    std::string_view attributeName = raw.substr(nameStart, i - nameStart);
    while (i < n && IsSpace(raw[i])) ++i;
    if (i >= n || raw[i] != '=') {
      if (i == nameStart) ++i;  // a stray character: step over it
      continue;
    }
    ++i;
    while (i < n && IsSpace(raw[i])) ++i;
    if (i >= n) break;
    std::size_t valueStart;
    std::size_t valueEnd;
    if (raw[i] == '"' || raw[i] == '\'') {
      char quote = raw[i];
      valueStart = i + 1;
      valueEnd = raw.find(quote, valueStart);
      if (valueEnd == std::string_view::npos || valueEnd > n) valueEnd = n;
      i = valueEnd + 1;
    } else {
      valueStart = i;
      while (i < n && !IsSpace(raw[i]) && !(raw[i] == '/' && i + 1 == n)) ++i;
      valueEnd = i;
    }
    if (!attributeName.empty())
      attributes_.push_back({attributeName, raw.substr(valueStart, valueEnd - valueStart)});
  }
  return attributes_;
}

std::string CXMLTextReader::ReadAttribute(const std::string& name) {
  return Funnel([&]() -> std::string {
    for (const Attribute& attribute : Attributes()) {
      if (attribute.name == name) return DecodeAttributeValue(attribute.value);
    }
    return {};
  });
}

bool CXMLTextReader::ReadBoolAttribute(const std::string& name) {
  std::string value = ReadAttribute(name);
  return SameText(value, "true") || value == "1";
}

}  // namespace qv
