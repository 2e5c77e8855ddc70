// The vocabulary of registration packages: document flows, transactions, document kinds
// and roles, between the interface's enumeration values, the internal codes and the
// words and codes of the manifest.
#pragma once

#include <cstdint>
#include <string>

namespace qv {

struct FlowInfo {
  std::uint8_t flow = 0;  // 1 legal entities, 2 individual entrepreneurs
  std::string name;       // "типДокументооборота"
  std::string code;       // "кодТипаДокументооборота"
};

struct TransactionInfo {
  std::uint8_t internal = 0;  // 1..9
  std::string name;           // "типТранзакции"
  std::string code;           // "кодТипаТранзакции"
  std::uint8_t flow = 0;
};

struct KindInfo {
  std::uint8_t kind = 0;  // 1..39
  std::string code;       // "кодТипаДокумента"
  std::string typeName;   // "типДокумента"
  std::string fileStem;   // first part of the content file's name
  bool encrypt = false;   // encrypted when the package is encrypted
};

// Class-level lookups over constant tables. Lookups take the first matching row;
// text comparisons are exact and case-sensitive.
class CVorlentTool {
 public:
  static std::uint8_t RoleToInternal(std::int32_t value);
  static std::int32_t RoleFromInternal(std::uint8_t number);
  static std::uint8_t SubjectToInternal(std::int32_t value);
  static std::int32_t SubjectFromInternal(std::uint8_t number);

  // Never fail: a value without a row gives 0, which FindTransaction refuses later.
  static std::uint8_t TransactionToInternal(std::int32_t value);
  static std::int32_t TransactionFromInternal(std::uint8_t code);

  static TransactionInfo FindTransaction(std::uint8_t code);
  static FlowInfo FindTransactionFlow(std::uint8_t code);
  static TransactionInfo FindTransactionByCode(std::uint8_t flow, const std::string& code);
  static FlowInfo FindFlow(std::uint8_t flow);
  static FlowInfo FindFlowByCode(const std::string& code);
  static KindInfo FindKind(std::uint8_t flow, std::uint8_t kind);
  static KindInfo FindKindByCode(std::uint8_t flow, const std::string& code);
};

}  // namespace qv
