// The manifest's token reader: cuts XML text into tags, text, comments, declarations and
// character-data sections, holding at most one window of the input at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace qv {

// A read-only stream over text held in memory.
class CStringStream {
 public:
  CStringStream() = default;
  explicit CStringStream(std::string text) : text_(std::move(text)) {}

  std::size_t Read(char* buffer, std::size_t count);
  void Clear() {
    text_.clear();
    position_ = 0;
  }
  std::size_t Size() const { return text_.size(); }
  std::size_t Position() const { return position_; }

 private:
  std::string text_;
  std::size_t position_ = 0;
};

class TXMLTokenizer {
 public:
  enum TokenKind : std::uint8_t {
    kEndOfInput = 0,
    kComment = 6,
    kDeclaration = 8,
    kText = 9,
    kStartTag = 10,
    kEndTag = 11,
    kEmptyTag = 12,
    kCData = 13,
  };

  static constexpr std::size_t kWindowSize = 1048576;
  // How deep elements may nest: a start tag inside this many open elements is refused. A
  // manifest is a handful of levels deep (with counter-signatures a few dozen at most), and
  // whoever walks the elements recursively stays far from the end of its stack.
  static constexpr int kMaxDepth = 64;

  // Reads the first token at once. The window never grows beyond `windowSize` bytes (nor
  // beyond the size of the input); a single token must fit into it.
  explicit TXMLTokenizer(CStringStream& source, std::size_t windowSize = kWindowSize);
  TXMLTokenizer(const TXMLTokenizer&) = delete;
  TXMLTokenizer& operator=(const TXMLTokenizer&) = delete;

  TokenKind Next();
  TokenKind Kind() const { return kind_; }
  // The current token exactly as it stands in the input; valid until the next Next().
  std::string_view RawText() const { return std::string_view(window_.data() + start_, tokenEnd_ - start_); }
  // The current token for messages: outside quoted values every run of white space
  // (line breaks included) becomes one space; character-data sections stay as they are.
  std::string TokenText() const;
  // How many elements enclose the current tag (start tags not yet ended).
  int Depth() const { return depth_; }

 private:
  bool Refill();
  std::size_t ScanTag();
  void Classify();

  CStringStream& source_;
  std::vector<char> window_;
  std::size_t end_ = 0;       // end of the valid data in the window
  std::size_t pos_ = 0;       // current position
  std::size_t start_ = 0;     // start of the current token
  std::size_t tokenEnd_ = 0;  // end of the current token's text
  bool exhausted_ = false;
  TokenKind kind_ = kEndOfInput;
  int openElements_ = 0;
  int depth_ = 0;
};

}  // namespace qv
