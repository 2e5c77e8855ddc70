#include "manifest/SubjectTypes.h"

#include <array>

#include "foundation/CodePage.h"
#include "foundation/Errors.h"

namespace qv {
namespace {

const std::array<std::string, kSubjectTypeLast + 1>& Names() {
  static const std::array<std::string, kSubjectTypeLast + 1> names = {
      std::string(),     "абонент"_cp,      "налоговыйОрган"_cp,
      "спецоператор"_cp, "абонент"_cp,      "заявитель"_cp,
      "нотариус"_cp,     "доверенныйУЦ"_cp, "органЦБРФ"_cp,
      "ИОнотариус"_cp,   "органМинюста"_cp, "ФЦОД"_cp,
      "участник"_cp,     "ОФР"_cp,          "ФНС"_cp,
      "РФМ"_cp,          "ЦБР"_cp,          "МФЦ"_cp,
  };
  return names;
}

}  // namespace

std::string SubjectTypeToName(int number) {
  if (number < 1 || number > kSubjectTypeLast) RaiseErrorFmt("Неизвестный тип субъекта: [%d]"_cp, {number});
  return Names()[static_cast<std::size_t>(number)];
}

SubjectType SubjectTypeFromName(const std::string& name) {
  const auto& names = Names();
  if (!name.empty()) {
    for (std::size_t i = 1; i < names.size(); ++i) {
      if (names[i] == name) return static_cast<SubjectType>(i);
    }
  }
  RaiseErrorFmt("Неизвестный тип субъекта: [%s]"_cp, {name});
}

bool IsUFRThread(const std::string& code) {
  return code == "UF" || code == "UR" || code == "ZR" || code == "IR";
}

bool IsCRSThread(const std::string& code) {
  return code == "US";
}

}  // namespace qv
