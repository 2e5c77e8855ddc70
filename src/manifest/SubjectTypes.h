// Subject types of the manifest (sender, special operator, receiver, signer roles) and the
// document-flow code sets that choose the manifest's format version.
#pragma once

#include <cstdint>
#include <string>

namespace qv {

using SubjectType = std::uint8_t;

enum : SubjectType {
  kSubjectSubscriber = 1,       // "абонент"
  kSubjectTaxAuthority = 2,     // "налоговыйОрган"
  kSubjectSpecialOperator = 3,  // "спецоператор"
  kSubjectSubscriberOther = 4,  // "абонент" as well; reads back as 1
  kSubjectApplicant = 5,        // "заявитель"
  kSubjectNotary = 6,           // "нотариус"
  kSubjectTrustedCA = 7,        // "доверенныйУЦ"
  kSubjectCentralBankBody = 8,  // "органЦБРФ"
  kSubjectActingNotary = 9,     // "ИОнотариус"
  kSubjectJusticeBody = 10,     // "органМинюста"
  kSubjectFCOD = 11,            // "ФЦОД"
  kSubjectParticipant = 12,     // "участник"
  kSubjectOFR = 13,             // "ОФР"
  kSubjectFNS = 14,             // "ФНС"
  kSubjectRFM = 15,             // "РФМ"
  kSubjectCBR = 16,             // "ЦБР"
  kSubjectMFC = 17,             // "МФЦ"
  kSubjectTypeLast = kSubjectMFC,
};

// The name written into "типСубъекта" and "роль"; "Неизвестный тип субъекта: [%d]" for a
// number without a name.
std::string SubjectTypeToName(int number);
// The first number whose name equals `name` exactly; "Неизвестный тип субъекта: [%s]" when
// none does (an empty name included).
SubjectType SubjectTypeFromName(const std::string& name);

// Flow codes compared exactly: "UF", "UR", "ZR", "IR" and "US".
bool IsUFRThread(const std::string& threadTypeCode);
bool IsCRSThread(const std::string& threadTypeCode);

}  // namespace qv
