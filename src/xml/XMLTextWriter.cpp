#include "xml/XMLTextWriter.h"

#include "foundation/CodePage.h"
#include "foundation/Errors.h"

namespace qv {

void AppendEscapedAttribute(std::string& out, const std::string& value) {
  std::size_t plain = 0;
  auto flush = [&](std::size_t upTo) {
    if (upTo > plain) out.append(value, plain, upTo - plain);
  };
  for (std::size_t i = 0; i < value.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(value[i]);
    const char* replacement = nullptr;
    char numeric[8];
    switch (c) {
      case '&':
        replacement = "&amp;";
        break;
      case '<':
        replacement = "&lt;";
        break;
      case '>':
        replacement = "&gt;";
        break;
      case '"':
        replacement = "&quot;";
        break;
      default:
        if (c < 0x20) {
          // Tabs and line breaks would be turned into spaces by any reader; as references
          // they come back as they were. Other control characters are refused before.
          numeric[0] = '&';
          numeric[1] = '#';
          int n = 2;
          if (c >= 10) numeric[n++] = static_cast<char>('0' + c / 10);
          numeric[n++] = static_cast<char>('0' + c % 10);
          numeric[n++] = ';';
          numeric[n] = '\0';
          replacement = numeric;
        }
        break;
    }
    if (!replacement) continue;
    flush(i);
    out += replacement;
    plain = i + 1;
  }
  flush(value.size());
}

CXMLTextWriter::CXMLTextWriter() {
  Reset();
}

void CXMLTextWriter::Reset() {
  text_.clear();
  elements_.clear();
  startTagPending_ = false;
  canWrite_ = true;
}

void CXMLTextWriter::NewLine(std::size_t depth) {
  if (!text_.empty()) text_ += "\r\n";
  text_.append(depth, '\t');
}

void CXMLTextWriter::StartDocument() {
  Funnel([&] {
    if (!canWrite_) RaiseError("Нельзя добавить элемент, уже есть содержимое"_cp);
    text_ += "<?xml version=\"1.0\" encoding=\"windows-1251\"?>";
  });
}

void CXMLTextWriter::FlushStartTag() {
  if (!startTagPending_) return;
  text_ += '>';
  startTagPending_ = false;
}

void CXMLTextWriter::StartElement(const std::string& name) {
  Funnel([&] {
    if (!canWrite_) RaiseError("Нельзя добавить элемент, уже есть содержимое"_cp);
    if (name.empty()) RaiseErrorFmt("Передан пустой аргумент: %s"_cp, {"name"});
    FlushStartTag();
    NewLine(elements_.size());
    text_ += '<';
    text_ += name;
    elements_.push_back(name);
    startTagPending_ = true;
    canWrite_ = true;
  });
}

void CXMLTextWriter::AddAttribute(const std::string& name, const std::string& value) {
  Funnel([&] {
    if (!canWrite_) RaiseError("Нельзя добавить атрибут, уже есть содержимое"_cp);
    if (elements_.empty()) return;
    if (value.empty()) RaiseErrorFmt("Попытка записи пустого значения в атрибут [%s]"_cp, {name});
    if (!startTagPending_) return;  // the element's start tag is already complete
    // XML 1.0 has no way to write the other control characters, not even as references.
    for (unsigned char c : value) {
      if (c < 0x20 && c != '\t' && c != '\n' && c != '\r') {
        RaiseErrorFmt("Значение атрибута [%s] элемента [%s] содержит недопустимый в XML символ с кодом %d"_cp,
                      {name, elements_.back(), static_cast<int>(c)});
      }
    }
    text_ += ' ';
    text_ += name;
    text_ += "=\"";
    AppendEscapedAttribute(text_, value);
    text_ += '"';
  });
}

void CXMLTextWriter::AddBoolAttribute(const std::string& name, bool value) {
  AddAttribute(name, value ? "true" : "false");
}

void CXMLTextWriter::CloseInnermost() {
  if (startTagPending_) {
    text_ += "/>";
    startTagPending_ = false;
  } else {
    NewLine(elements_.size() - 1);
    text_ += "</";
    text_ += elements_.back();
    text_ += '>';
  }
  elements_.pop_back();
}

void CXMLTextWriter::EndElement() {
  Funnel([&] {
    if (elements_.empty()) RaiseError("Нет открытого элемента XML для закрытия"_cp);
    CloseInnermost();
  });
}

void CXMLTextWriter::EndDocument() {
  Funnel([&] {
    while (!elements_.empty()) CloseInnermost();
    if (canWrite_ && !text_.empty()) text_ += "\r\n";
    canWrite_ = false;
  });
}

}  // namespace qv
