#include "foundation/ValueCheck.h"

#include <cstring>

#include "foundation/CodePage.h"
#include "foundation/Errors.h"

namespace qv {

std::string CValueCheckTool::DisplayName(const std::string& name, const std::string& context) {
  if (name.empty()) RaiseErrorFmt("Передан пустой аргумент: %s"_cp, {"ArgumentName"});
  return context.empty() ? name : FormatText("%0:s.%1:s", {context, name});
}

void CValueCheckTool::CheckNotEmpty(const std::string& text, const std::string& name,
                                    const std::string& context) {
  std::string display = DisplayName(name, context);
  if (text.empty()) RaiseErrorFmt("Передан пустой аргумент: %s"_cp, {display});
}

void CValueCheckTool::CheckNotNil(const void* object, const std::string& name, const std::string& context) {
  std::string display = DisplayName(name, context);
  if (!object) RaiseErrorFmt("Передан пустой аргумент: %s"_cp, {display});
}

void CValueCheckTool::CheckMaxLength(const std::string& text, const std::string& name, int max) {
  CheckNotEmpty(text, name);
  if (text.size() > static_cast<std::size_t>(max < 0 ? 0 : max)) {
    RaiseErrorFmt("Длина переменной [%s] больше [%d]"_cp, {name, max});
  }
}

void CValueCheckTool::CheckLength(const std::string& text, const std::string& name, int length) {
  CheckNotEmpty(text, name);
  if (static_cast<long long>(text.size()) != length) {
    RaiseErrorFmt("Длина переменной [%0:s = \"%1:s\"] должна быть равной [%2:d]"_cp, {name, text, length});
  }
}

void CValueCheckTool::CheckRange(int min, int max, const std::string& name) {
  DisplayName(name, {});
  if (max < min) {
    RaiseErrorFmt(
        "%0:s: ошибка задания диапазона - минимальное значение (%1:d) больше максимального(%2:d)"_cp,
        {name, min, max});
  }
}

void CValueCheckTool::CheckInRange(long long value, int min, int max, const std::string& name) {
  CheckRange(min, max, name);
  if (value < min || value > max) {
    RaiseErrorFmt("Значение параметра %0:s (%1:d) должно находиться в интервале от %2:d до %3:d"_cp,
                  {name, value, min, max});
  }
}

void CValueCheckTool::CheckLengthInRange(const std::string& text, int min, int max, const std::string& name) {
  CheckRange(min, max, name);
  long long length = static_cast<long long>(text.size());
  if (length < min || length > max) {
    RaiseErrorFmt("%0:s: длина строки должна быть от %1:d до %2:d символов"_cp, {name, min, max});
  }
}

bool IsBase64Text(const std::string& text) {
  static const char kAllowed[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/=- \r\n";
  for (char c : text) {
    if (c == '\0' || !std::strchr(kAllowed, c)) return false;
  }
  return true;
}

}  // namespace qv
