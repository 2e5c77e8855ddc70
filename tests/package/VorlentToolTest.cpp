#include "package/VorlentTool.h"

#include <gtest/gtest.h>

#include <functional>
#include <iterator>

#include "foundation/CodePage.h"
#include "foundation/Errors.h"

using namespace qv;

namespace {
std::string MessageOf(const std::function<void()>& call) {
  try {
    call();
  } catch (const CVorlentException& e) {
    return Cp1251ToUtf8(e.Message());
  }
  return "<no error>";
}
}  // namespace

TEST(VorlentTool, TransactionsRoundTripThroughTheirRows) {
  EXPECT_EQ(CVorlentTool::TransactionToInternal(10), 4);  // individual entrepreneur, registration info
  TransactionInfo t = CVorlentTool::FindTransaction(4);
  EXPECT_EQ(t.name, "СведенияОРегистрации"_cp);
  EXPECT_EQ(t.code, "04");
  FlowInfo f = CVorlentTool::FindTransactionFlow(4);
  EXPECT_EQ(f.name, "РегистрацияИП"_cp);
  EXPECT_EQ(f.code, "ИП"_cp);
  EXPECT_EQ(CVorlentTool::TransactionFromInternal(4), 10);

  // suspension exists only for legal entities and has no name in the enumeration
  FlowInfo ul = CVorlentTool::FindFlowByCode("ЮЛ"_cp);
  EXPECT_EQ(ul.flow, 1);
  TransactionInfo suspension = CVorlentTool::FindTransactionByCode(ul.flow, "05");
  EXPECT_EQ(suspension.internal, 9);
  EXPECT_EQ(CVorlentTool::TransactionFromInternal(suspension.internal), 11);

  // values without a row convert to 0, which the lookup refuses
  EXPECT_EQ(CVorlentTool::TransactionToInternal(3), 0);
  EXPECT_EQ(CVorlentTool::TransactionToInternal(0), 0);
  EXPECT_EQ(CVorlentTool::TransactionFromInternal(0), 0);
  EXPECT_EQ(MessageOf([] { CVorlentTool::FindTransaction(0); }), "Неизвестный тип транзакции: [0]");
  EXPECT_EQ(MessageOf([] { CVorlentTool::FindTransactionByCode(2, "05"); }),
            "Неизвестный тип транзакции: [05]");
}

TEST(VorlentTool, FlowAndKindLookupsAreExact) {
  EXPECT_EQ(MessageOf([] { CVorlentTool::FindFlowByCode("юл"_cp); }),
            "Неизвестный тип документооборота: [юл]");
  EXPECT_EQ(MessageOf([] { CVorlentTool::FindFlow(3); }), "Неизвестный тип документооборота: [3]");
  EXPECT_EQ(MessageOf([] { CVorlentTool::FindKindByCode(1, "36"); }), "Неизвестный тип документа: [36]");
  EXPECT_EQ(MessageOf([] { CVorlentTool::FindKind(1, 1); }), "Неизвестный тип документа: [1]");

  KindInfo ip = CVorlentTool::FindKindByCode(2, "36");
  EXPECT_EQ(ip.kind, 13);
  EXPECT_EQ(ip.fileStem, "UvedPostUchetIP");
  KindInfo application = CVorlentTool::FindKind(1, 17);
  EXPECT_EQ(application.code, "01");
  EXPECT_EQ(application.typeName, "ЗаявлениеЮЛ"_cp);
  EXPECT_TRUE(application.encrypt);
  EXPECT_FALSE(CVorlentTool::FindKindByCode(1, "04").encrypt);  // the fee receipt stays open
  // the same code means different kinds in the two flows
  EXPECT_EQ(CVorlentTool::FindKindByCode(2, "03").kind, 3);
  EXPECT_EQ(CVorlentTool::FindKindByCode(1, "03").kind, 19);
}

TEST(VorlentTool, RolesAndSubjectTypes) {
  EXPECT_EQ(CVorlentTool::RoleToInternal(1), 4);
  EXPECT_EQ(CVorlentTool::RoleFromInternal(4), 1);
  EXPECT_EQ(CVorlentTool::RoleFromInternal(1), 1);  // number 1 also reads as the subscriber
  EXPECT_EQ(CVorlentTool::RoleToInternal(10), 17);
  EXPECT_EQ(CVorlentTool::RoleFromInternal(17), 10);
  EXPECT_EQ(CVorlentTool::RoleToInternal(4), 2);
  EXPECT_EQ(MessageOf([] { CVorlentTool::RoleToInternal(11); }), "Неизвестная роль: [11]");
  EXPECT_EQ(MessageOf([] { CVorlentTool::RoleFromInternal(11); }), "Неизвестная роль: [11]");
  EXPECT_EQ(MessageOf([] { CVorlentTool::SubjectToInternal(-1); }), "Неизвестный тип субъекта: [-1]");
  EXPECT_EQ(MessageOf([] { CVorlentTool::SubjectFromInternal(16); }), "Неизвестный тип субъекта: [16]");
  for (std::int32_t value = 0; value <= 10; ++value) {
    EXPECT_EQ(CVorlentTool::RoleFromInternal(CVorlentTool::RoleToInternal(value)), value);
  }
}
TEST(VorlentTool, EveryRowOfTheCodeTables) {
  // Internal code, transaction name and code, flow, interface value.
  struct Transaction {
    int internal;
    const char* name;
    const char* code;
    int flow;
    int value;
  } transactions[] = {
      {1, "ДокумРегистрацияИП", "01", 2, 6},        {2, "РаспискаПриемДокум", "02", 2, 7},
      {3, "РешениеОбОтказе", "03", 2, 9},           {4, "СведенияОРегистрации", "04", 2, 10},
      {5, "ДокумРегистрацияЮЛ", "01", 1, 1},        {6, "РаспискаПриемДокум", "02", 1, 2},
      {7, "РешениеОбОтказе", "03", 1, 4},           {8, "СведенияОРегистрации", "04", 1, 5},
      {9, "СведенияОПриостановлении", "05", 1, 11},
  };
  for (const Transaction& row : transactions) {
    TransactionInfo info = CVorlentTool::FindTransaction(static_cast<std::uint8_t>(row.internal));
    EXPECT_EQ(Cp1251ToUtf8(info.name), row.name) << row.internal;
    EXPECT_EQ(info.code, row.code) << row.internal;
    EXPECT_EQ(info.flow, row.flow) << row.internal;
    EXPECT_EQ(CVorlentTool::TransactionFromInternal(static_cast<std::uint8_t>(row.internal)), row.value);
    EXPECT_EQ(CVorlentTool::TransactionToInternal(row.value), row.internal);
    EXPECT_EQ(CVorlentTool::FindTransactionByCode(static_cast<std::uint8_t>(row.flow), row.code).internal,
              row.internal);
  }
  EXPECT_EQ(MessageOf([] { CVorlentTool::FindTransaction(10); }), "Неизвестный тип транзакции: [10]");

  // Flow, code, type name, file stem, kind number, encrypted with the package.
  struct Kind {
    int flow;
    const char* code;
    const char* typeName;
    const char* stem;
    int kind;
    bool encrypt;
  } kinds[] = {
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
  ASSERT_EQ(std::size(kinds), 39u);
  for (const Kind& row : kinds) {
    auto flow = static_cast<std::uint8_t>(row.flow);
    KindInfo byNumber = CVorlentTool::FindKind(flow, static_cast<std::uint8_t>(row.kind));
    EXPECT_EQ(byNumber.code, row.code) << row.kind;
    EXPECT_EQ(Cp1251ToUtf8(byNumber.typeName), row.typeName) << row.kind;
    EXPECT_EQ(byNumber.encrypt, row.encrypt) << row.kind;
    KindInfo byCode = CVorlentTool::FindKindByCode(flow, row.code);
    EXPECT_EQ(byCode.kind, row.kind) << row.code;
    EXPECT_EQ(Cp1251ToUtf8(byCode.typeName), row.typeName) << row.code;
    EXPECT_EQ(byCode.fileStem, row.stem) << row.code;
  }
  EXPECT_EQ(MessageOf([] { CVorlentTool::FindKind(1, 40); }), "Неизвестный тип документа: [40]");
}
