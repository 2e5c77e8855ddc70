// Wide strings at the automation boundary: BSTR <-> 1251 text, and an owner for BSTRs.
#pragma once

#include <string>
#include <string_view>
#include <utility>

#include "qelvorlent/Automation.h"

namespace qv {

// 1251 text of a BSTR (a null BSTR is empty).
std::string BstrToText(BSTR text);
std::u16string BstrToWide(BSTR text);
// 1251 text of a BSTR that names a file: refused (FileNameToCp1251) when 1251 cannot hold it.
std::string BstrToFileName(BSTR text);
// A new BSTR for 1251 text or UTF-16 text; std::bad_alloc when memory runs out.
BSTR TextToBstr(std::string_view text);
BSTR WideToBstr(std::u16string_view text);

// Owns one BSTR.
class CBstr {
 public:
  CBstr() = default;
  explicit CBstr(BSTR text) : text_(text) {}
  ~CBstr() { SysFreeString(text_); }
  CBstr(const CBstr&) = delete;
  CBstr& operator=(const CBstr&) = delete;
  CBstr(CBstr&& other) noexcept : text_(std::exchange(other.text_, nullptr)) {}
  CBstr& operator=(CBstr&& other) noexcept {
    if (this != &other) {
      SysFreeString(text_);
      text_ = std::exchange(other.text_, nullptr);
    }
    return *this;
  }

  BSTR Get() const { return text_; }
  BSTR* Out() {
    SysFreeString(text_);
    text_ = nullptr;
    return &text_;
  }
  BSTR Detach() { return std::exchange(text_, nullptr); }
  std::u16string Wide() const { return BstrToWide(text_); }
  std::string Text() const { return BstrToText(text_); }

 private:
  BSTR text_ = nullptr;
};

}  // namespace qv
