#include "xml/XMLTokenizer.h"

#include <cstring>

#include "foundation/CodePage.h"
#include "foundation/Errors.h"

namespace qv {
namespace {

inline bool IsBlank(char c) {
  return static_cast<unsigned char>(c) <= 32;
}

bool StartsNoCase(std::string_view text, std::string_view prefix) {
  if (text.size() < prefix.size()) return false;
  for (std::size_t i = 0; i < prefix.size(); ++i) {
    if (Cp1251Upper(static_cast<unsigned char>(text[i])) !=
        Cp1251Upper(static_cast<unsigned char>(prefix[i]))) {
      return false;
    }
  }
  return true;
}

}  // namespace

std::size_t CStringStream::Read(char* buffer, std::size_t count) {
  std::size_t available = text_.size() - position_;
  if (count > available) count = available;
  if (count) std::memcpy(buffer, text_.data() + position_, count);
  position_ += count;
  return count;
}

TXMLTokenizer::TXMLTokenizer(CStringStream& source, std::size_t windowSize) : source_(source) {
  std::size_t remaining = source.Size() - source.Position();
  if (windowSize == 0) windowSize = 1;
  window_.resize(remaining < windowSize ? (remaining ? remaining : 1) : windowSize);
  Next();
}

// Moves the unread rest (from the start of the current token) to the window's start and
// reads more of the stream behind it. False when nothing more could be read.
bool TXMLTokenizer::Refill() {
  if (start_ > 0) {
    std::memmove(window_.data(), window_.data() + start_, end_ - start_);
    pos_ -= start_;
    end_ -= start_;
    tokenEnd_ = tokenEnd_ >= start_ ? tokenEnd_ - start_ : 0;
    start_ = 0;
  }
  if (exhausted_ || end_ == window_.size()) return false;
  std::size_t got = source_.Read(window_.data() + end_, window_.size() - end_);
  if (got == 0) {
    exhausted_ = true;
    return false;
  }
  end_ += got;
  return true;
}

// Finds the end of the tag that starts at start_: the first ">" after it; a comment runs
// to "-->" and a character-data section to "]]>", so markup inside them does not end them
// early. A tag left open ends at the end of the data. Returns the position after the tag.
std::size_t TXMLTokenizer::ScanTag() {
  std::size_t offset = 1;  // offsets from start_ survive a refill
  for (;;) {
    std::size_t scan = start_ + offset;
    while (scan < end_) {
      const char* found = static_cast<const char*>(std::memchr(window_.data() + scan, '>', end_ - scan));
      if (!found) {
        scan = end_;
        break;
      }
      std::size_t gt = static_cast<std::size_t>(found - window_.data());
      std::string_view tag(window_.data() + start_, gt + 1 - start_);
      bool ends = true;
      if (StartsNoCase(tag, "<!--")) {
        ends = tag.size() >= 7 && tag.substr(tag.size() - 3) == "-->";
      } else if (StartsNoCase(tag, "<![CDATA[")) {
        ends = tag.size() >= 12 && tag.substr(tag.size() - 3) == "]]>";
      }
      if (ends) return gt + 1;
      scan = gt + 1;
    }
    offset = scan - start_;
    if (!Refill()) {
      if (end_ == window_.size() && source_.Position() < source_.Size()) {
        std::size_t shown = window_.size() < 60 ? window_.size() : 60;
        RaiseErrorFmt("Тег XML длиннее окна чтения (%d байт): %s..."_cp,
                      {static_cast<long long>(window_.size()), std::string(window_.data(), shown)});
      }
      return end_;  // a tag left open ends with the data
    }
  }
}

TXMLTokenizer::TokenKind TXMLTokenizer::Next() {
  for (;;) {
    while (pos_ < end_ && IsBlank(window_[pos_])) ++pos_;
    if (pos_ < end_) break;
    start_ = tokenEnd_ = pos_;
    if (!Refill()) {
      kind_ = kEndOfInput;
      depth_ = openElements_;
      return kind_;
    }
  }
  start_ = pos_;
  if (window_[pos_] == '<') {
    pos_ = tokenEnd_ = ScanTag();
  } else {
    std::size_t offset = 0;
    for (;;) {
      std::size_t scan = start_ + offset;
      const char* found = static_cast<const char*>(std::memchr(window_.data() + scan, '<', end_ - scan));
      if (found) {
        pos_ = static_cast<std::size_t>(found - window_.data());
        break;
      }
      offset = end_ - start_;
      if (!Refill()) {
        // the data ends here, or the text fills the whole window: text is never more than
        // passed over, so a long one goes on as a further text token
        pos_ = end_;
        break;
      }
    }
    tokenEnd_ = pos_;
    while (tokenEnd_ > start_ && IsBlank(window_[tokenEnd_ - 1])) --tokenEnd_;
  }
  Classify();
  return kind_;
}

void TXMLTokenizer::Classify() {
  std::string_view t = RawText();
  if (t.empty() || t[0] != '<') {
    kind_ = kText;
  } else if (StartsNoCase(t, "<?xml") || StartsNoCase(t, "<?")) {
    kind_ = kDeclaration;  // processing instructions are passed over the same way
  } else if (StartsNoCase(t, "<!--")) {
    kind_ = kComment;
  } else if (StartsNoCase(t, "<![CDATA[")) {
    kind_ = kCData;
  } else if (StartsNoCase(t, "<!")) {
    kind_ = kDeclaration;  // a document type declaration
  } else if (t.size() >= 3 && t.substr(t.size() - 2) == "/>") {
    kind_ = kEmptyTag;
  } else if (StartsNoCase(t, "</")) {
    kind_ = kEndTag;
  } else {
    kind_ = kStartTag;
  }
  switch (kind_) {
    case kStartTag:
      if (openElements_ >= kMaxDepth) RaiseErrorFmt("Элементы XML вложены глубже %d уровней"_cp, {kMaxDepth});
      depth_ = openElements_++;
      break;
    case kEndTag:
      if (openElements_ > 0) --openElements_;
      depth_ = openElements_;
      break;
    default:
      depth_ = openElements_;
      break;
  }
}

std::string TXMLTokenizer::TokenText() const {
  std::string_view raw = RawText();
  if (kind_ == kCData) return std::string(raw);
  bool markup = kind_ == kStartTag || kind_ == kEmptyTag || kind_ == kEndTag || kind_ == kDeclaration;
  std::string out;
  out.reserve(raw.size());
  char quote = 0;
  bool blank = false;
  for (char c : raw) {
    if (quote) {
      out += c;
      if (c == quote) quote = 0;
      continue;
    }
    if (c == ' ' || c == '\t' || c == '\r' || c == '\n') {
      blank = true;
      continue;
    }
    if (blank) out += ' ';
    blank = false;
    out += c;
    if (markup && (c == '"' || c == '\'')) quote = c;
  }
  return out;
}

}  // namespace qv
