// The library's XML serialiser. Produces the manifest text in code page 1251: an XML
// declaration naming "windows-1251", one element per line indented by tabs, attributes in
// the order added, values in double quotes with the markup characters escaped. Start tags
// are held back until the element's attributes are complete; an element without children
// is written as an empty-element tag.
#pragma once

#include <string>
#include <vector>

#include "foundation/BaseClass.h"

namespace qv {

class CXMLTextWriter : public CBaseClass {
 public:
  CXMLTextWriter();

  // Forgets everything written and open; the writer accepts a new document.
  void Reset();
  void StartDocument();
  void StartElement(const std::string& name);
  // Appends an attribute to the innermost element's start tag. With no element open it does
  // nothing; once a child of the element has been started its start tag is complete, and
  // further attributes of it are not written.
  void AddAttribute(const std::string& name, const std::string& value);
  void AddBoolAttribute(const std::string& name, bool value);
  void EndElement();
  // Closes every element still open, innermost first; the writer then refuses new content
  // until the next Reset.
  void EndDocument();
  // The text written so far (1251, no byte-order mark).
  const std::string& GetText() const { return text_; }

  int Depth() const { return static_cast<int>(elements_.size()); }
  bool CanWrite() const { return canWrite_; }

 private:
  void FlushStartTag();
  void CloseInnermost();
  void NewLine(std::size_t depth);

  std::string text_;
  std::vector<std::string> elements_;  // names of the open elements, outermost first
  bool startTagPending_ = false;
  bool canWrite_ = true;
};

// Appends `value` to `out` escaped for a double-quoted attribute value: "&", "<", ">", the
// double quote and the control characters become references, so the value reads back
// unchanged.
void AppendEscapedAttribute(std::string& out, const std::string& value);

}  // namespace qv
