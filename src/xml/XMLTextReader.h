// A forward-only cursor over the start tags of an XML text, with attribute lookup. End
// tags, text, comments and declarations are passed over; the caller decides the structure
// from the sequence of start and empty-element tags (and, where it matters, their depth).
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "foundation/BaseClass.h"
#include "xml/XMLTokenizer.h"

namespace qv {

class CXMLTextReader : public CBaseClass {
 public:
  CXMLTextReader();
  ~CXMLTextReader() override;

  // Starts reading `text` from its first token. A text that declares itself UTF-8 (or
  // starts with the UTF-8 byte-order mark) is converted to code page 1251 first.
  void SetText(const std::string& text);
  void Clear();

  // Moves forward to the first start or empty-element tag named `name`, the current one
  // included; "Элемент [%s] не найден" when the input ends first.
  void FindElement(const std::string& name);
  // Checks that the current start tag is `name` (when given) and steps past it to the
  // next start or empty-element tag.
  void ReadStartElement(const std::string& name);
  void ReadEndElement(const std::string& name);
  // The decoded value of attribute `name` of the current tag; empty when it is missing.
  std::string ReadAttribute(const std::string& name);
  bool ReadBoolAttribute(const std::string& name);
  // The current tag's element name; empty for an end tag and at the end of input.
  std::string CurrentElementName() const;
  // How many elements enclose the current tag.
  int CurrentDepth() const;
  bool AtEnd() const;

  // Window size for tokenizers made by later SetText calls (tests use small windows).
  void SetWindowSize(std::size_t size) { windowSize_ = size; }

 private:
  struct Attribute {
    std::string_view name;
    std::string_view value;  // as written, between its quotes
  };

  void MoveToStartTag();
  std::string_view CurrentName() const;
  const std::vector<Attribute>& Attributes();

  std::unique_ptr<CStringStream> stream_;
  std::unique_ptr<TXMLTokenizer> tokenizer_;
  std::string text_;
  std::size_t windowSize_ = TXMLTokenizer::kWindowSize;
  std::vector<Attribute> attributes_;
  bool attributesParsed_ = false;
};

// Decodes an attribute value as written between its quotes: literal tabs and line breaks
// become spaces as in any XML reader, and the references "&quot;", "&lt;", "&gt;",
// "&amp;", "&apos;", "&#N;" and "&#xN;" become their characters (code page 1251; "?" for
// a character 1251 lacks). Anything else is kept as it stands.
std::string DecodeAttributeValue(std::string_view raw);

}  // namespace qv
