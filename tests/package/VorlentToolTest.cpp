#include "package/VorlentTool.h"

#include <gtest/gtest.h>

#include <functional>

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
