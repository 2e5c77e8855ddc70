#include "package/VorlentTool.h"

#include "foundation/CodePage.h"
#include "foundation/Errors.h"

namespace qv {
namespace {

struct FlowRow {
  const char* name;
  const char* code;
  std::uint8_t flow;
};
// UTF-8 here, 1251 in the results.
const FlowRow kFlows[] = {
    {"РегистрацияИП", "ИП", 2},
    {"РегистрацияЮЛ", "ЮЛ", 1},
};

struct TransactionRow {
  std::uint8_t internal;
  const char* name;
  const char* code;
  std::uint8_t flow;
  std::int32_t value;  // the interface's TRANSACTION_TYPES value
};
const TransactionRow kTransactions[] = {
    {1, "ДокумРегистрацияИП", "01", 2, 6},        {2, "РаспискаПриемДокум", "02", 2, 7},
    {3, "РешениеОбОтказе", "03", 2, 9},           {4, "СведенияОРегистрации", "04", 2, 10},
    {5, "ДокумРегистрацияЮЛ", "01", 1, 1},        {6, "РаспискаПриемДокум", "02", 1, 2},
    {7, "РешениеОбОтказе", "03", 1, 4},           {8, "СведенияОРегистрации", "04", 1, 5},
    {9, "СведенияОПриостановлении", "05", 1, 11},
};

struct KindRow {
  std::uint8_t flow;
  const char* code;
  const char* typeName;
  const char* stem;
  std::uint8_t kind;
  bool encrypt;
};
const KindRow kKinds[] = {
    {2, "01", "ЗаявлениеИП", "ZayavIP", 1, true},
    {2, "02", "ЗаявлениеИПформат", "ZayavIPxml", 2, true},
    {2, "03", "ПриложенныйДокумент", "PrilozhDokum", 3, true},
    {2, "04", "ПДГоспошлина", "GosPoshlina", 4, false},
    {2, "05", "ЗаявлениеУСН", "ZayavUSN", 5, false},
    {2, "07", "ОписьДокументовИП", "OpisDokumIP", 6, false},
    {2, "08", "ГПформат", "GPxml", 7, false},
    {2, "30", "ОписьДокументовЕГРИП", "OpisDokumEGRIP", 8, false},
    {2, "31", "РаспискаПриемДокум", "RaspPriemDokum", 9, false},
    {2, "32", "РешениеОбОтказе", "ReshOtkazReg", 10, false},
    {2, "33", "СвидетельствоРегИП", "SvidRegIP", 11, false},
    {2, "35", "СвидетельствоУчетФЛ", "SvidUchetFL", 12, false},
    {2, "36", "УведомлениеУчетИП", "UvedPostUchetIP", 13, false},
    {2, "37", "УведомлениеСнятииУчетИП", "UvedSnUchetIP", 14, true},
    {2, "38", "ВыпискаЗапЕГРИП", "VypZapEGRIP", 15, true},
    {2, "40", "ВыпискаЕГРИП", "VypEGRIP", 16, false},
    {1, "01", "ЗаявлениеЮЛ", "ZayavUL", 17, true},
    {1, "02", "ЗаявлениеЮЛформат", "ZayavULxml", 18, true},
    {1, "03", "ПриложенныйДокумент", "PrilozhDokum", 19, true},
    {1, "04", "ПДГоспошлина", "GosPoshlina", 20, false},
    {1, "05", "ЗаявлениеУСН", "ZayavUSN", 21, false},
    {1, "07", "ОписьДокументовЮЛ", "OpisDokumUL", 22, false},
    {1, "08", "ГПформат", "GPxml", 23, false},
    {1, "09", "УчредительныйДокумент", "UchDokum", 24, false},
    {1, "10", "ИзмененияУчредительныйДокумент", "IzmUchDokum", 25, false},
    {1, "11", "ЗапросКопииДокументов", "ZaprosCopyDokum", 26, false},
    {1, "21", "РешениеЦБРФ", "ReshCBRF", 27, false},
    {1, "22", "РешениеМинюста", "ReshMinust", 28, false},
    {1, "30", "ОписьДокументовЕГРЮЛ", "OpisDokumEGRUL", 29, true},
    {1, "31", "РаспискаПриемДокум", "RaspPriemDokum", 30, false},
    {1, "32", "РешениеОбОтказе", "ReshOtkazReg", 31, false},
    {1, "33", "СвидетельствоРегЮЛ", "SvidRegUL", 32, false},
    {1, "35", "СвидетельствоУчетЮЛ", "SvidUchetUL", 33, false},
    {1, "37", "УведомлениеСнятииУчетЮЛ", "UvedSnUchetUL", 34, false},
    {1, "38", "ВыпискаЗапЕГРЮЛ", "VypZapEGRUL", 35, true},
    {1, "40", "ВыпискаЕГРЮЛ", "VypEGRUL", 36, true},
    {1, "41", "ВыпискаЕГРЮЛформат", "VypEGRULxml", 37, true},
    {1, "42", "УведомлениеБезРасм", "UvedOtkazRassm", 38, true},
    {1, "43", "РешениеОПриостановлении", "ReshOPriostReg", 39, true},
};

// Interface role value -> subject-type number. Number 1 also reads back as value 1.
struct RoleRow {
  std::int32_t value;
  std::uint8_t number;
};
const RoleRow kRoles[] = {{0, 0}, {1, 4}, {2, 5}, {3, 6},  {4, 2},  {5, 3},
                          {6, 7}, {7, 8}, {8, 9}, {9, 10}, {10, 17}};

bool RoleToNumber(std::int32_t value, std::uint8_t& number) {
  for (const RoleRow& row : kRoles) {
    if (row.value == value) {
      number = row.number;
      return true;
    }
  }
  return false;
}

bool RoleFromNumber(std::uint8_t number, std::int32_t& value) {
  if (number == 1) {
    value = 1;
    return true;
  }
  for (const RoleRow& row : kRoles) {
    if (row.number == number) {
      value = row.value;
      return true;
    }
  }
  return false;
}

FlowInfo MakeFlow(const FlowRow& row) {
  return {row.flow, Utf8ToCp1251(row.name), Utf8ToCp1251(row.code)};
}

TransactionInfo MakeTransaction(const TransactionRow& row) {
  return {row.internal, Utf8ToCp1251(row.name), row.code, row.flow};
}

KindInfo MakeKind(const KindRow& row) {
  return {row.kind, row.code, Utf8ToCp1251(row.typeName), row.stem, row.encrypt};
}

}  // namespace

std::uint8_t CVorlentTool::RoleToInternal(std::int32_t value) {
  std::uint8_t number = 0;
  if (!RoleToNumber(value, number)) RaiseErrorFmt("Неизвестная роль: [%d]"_cp, {value});
  return number;
}

std::int32_t CVorlentTool::RoleFromInternal(std::uint8_t number) {
  std::int32_t value = 0;
  if (!RoleFromNumber(number, value)) RaiseErrorFmt("Неизвестная роль: [%d]"_cp, {number});
  return value;
}

std::uint8_t CVorlentTool::SubjectToInternal(std::int32_t value) {
  std::uint8_t number = 0;
  if (!RoleToNumber(value, number)) RaiseErrorFmt("Неизвестный тип субъекта: [%d]"_cp, {value});
  return number;
}

std::int32_t CVorlentTool::SubjectFromInternal(std::uint8_t number) {
  std::int32_t value = 0;
  if (!RoleFromNumber(number, value)) RaiseErrorFmt("Неизвестный тип субъекта: [%d]"_cp, {number});
  return value;
}

std::uint8_t CVorlentTool::TransactionToInternal(std::int32_t value) {
  for (const TransactionRow& row : kTransactions) {
    if (row.value == value) return row.internal;
  }
  return 0;
}

std::int32_t CVorlentTool::TransactionFromInternal(std::uint8_t code) {
  for (const TransactionRow& row : kTransactions) {
    if (row.internal == code) return row.value;
  }
  return 0;
}

TransactionInfo CVorlentTool::FindTransaction(std::uint8_t code) {
  for (const TransactionRow& row : kTransactions) {
    if (row.internal == code) return MakeTransaction(row);
  }
  RaiseErrorFmt("Неизвестный тип транзакции: [%d]"_cp, {code});
}

FlowInfo CVorlentTool::FindTransactionFlow(std::uint8_t code) {
  return FindFlow(FindTransaction(code).flow);
}

TransactionInfo CVorlentTool::FindTransactionByCode(std::uint8_t flow, const std::string& code) {
  for (const TransactionRow& row : kTransactions) {
    if (row.flow == flow && code == row.code) return MakeTransaction(row);
  }
  RaiseErrorFmt("Неизвестный тип транзакции: [%s]"_cp, {code});
}

FlowInfo CVorlentTool::FindFlow(std::uint8_t flow) {
  for (const FlowRow& row : kFlows) {
    if (row.flow == flow) return MakeFlow(row);
  }
  RaiseErrorFmt("Неизвестный тип документооборота: [%d]"_cp, {flow});
}

FlowInfo CVorlentTool::FindFlowByCode(const std::string& code) {
  for (const FlowRow& row : kFlows) {
    if (code == Utf8ToCp1251(row.code)) return MakeFlow(row);
  }
  RaiseErrorFmt("Неизвестный тип документооборота: [%s]"_cp, {code});
}

KindInfo CVorlentTool::FindKind(std::uint8_t flow, std::uint8_t kind) {
  for (const KindRow& row : kKinds) {
    if (row.flow == flow && row.kind == kind) return MakeKind(row);
  }
  RaiseErrorFmt("Неизвестный тип документа: [%d]"_cp, {kind});
}

KindInfo CVorlentTool::FindKindByCode(std::uint8_t flow, const std::string& code) {
  for (const KindRow& row : kKinds) {
    if (row.flow == flow && code == row.code) return MakeKind(row);
  }
  RaiseErrorFmt("Неизвестный тип документа: [%s]"_cp, {code});
}

}  // namespace qv
