// Positional message formats: "%s", "%d", "%x", "%0:s", "%1:d", with optional
// left-justification, width and precision ("%-10s", "%.8x"). Indexed specifiers may
// repeat and reorder arguments; a plain specifier takes the argument after the last one used.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

namespace qv {

class FmtArg {
 public:
  FmtArg(const std::string& text) : text_(text), isText_(true) {}
  FmtArg(std::string_view text) : text_(text), isText_(true) {}
  FmtArg(const char* text) : text_(text ? text : ""), isText_(true) {}
  FmtArg(int value) : number_(value) {}
  FmtArg(long value) : number_(value) {}
  FmtArg(long long value) : number_(value) {}
  FmtArg(unsigned value) : number_(value) {}
  FmtArg(unsigned long value) : number_(static_cast<long long>(value)) {}
  FmtArg(unsigned long long value) : number_(static_cast<long long>(value)) {}

  bool IsText() const { return isText_; }
  const std::string& Text() const { return text_; }
  long long Number() const { return number_; }

 private:
  std::string text_;
  long long number_ = 0;
  bool isText_ = false;
};

using FmtArgs = std::vector<FmtArg>;

// Never truncates and never fails: a missing argument formats as nothing, and an
// unknown specifier is copied as it stands.
std::string FormatText(std::string_view format, const FmtArgs& args);

}  // namespace qv
