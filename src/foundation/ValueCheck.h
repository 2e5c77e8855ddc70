// Argument checks with the library's fixed messages. Argument names appear in the
// messages exactly as passed: the code's own parameter and property names.
#pragma once

#include <string>

namespace qv {

class CValueCheckTool {
 public:
  static void CheckNotEmpty(const std::string& text, const std::string& name,
                            const std::string& context = {});
  static void CheckNotNil(const void* object, const std::string& name, const std::string& context = {});
  static void CheckMaxLength(const std::string& text, const std::string& name, int max);
  static void CheckLength(const std::string& text, const std::string& name, int length);
  static void CheckRange(int min, int max, const std::string& name);
  static void CheckInRange(long long value, int min, int max, const std::string& name);
  static void CheckLengthInRange(const std::string& text, int min, int max, const std::string& name);

 private:
  static std::string DisplayName(const std::string& name, const std::string& context);
};

// True when every character is a Base64 letter, "=", "-", a space or a line break, so
// Base64 and PEM text pass; an empty text is true.
bool IsBase64Text(const std::string& text);

}  // namespace qv
