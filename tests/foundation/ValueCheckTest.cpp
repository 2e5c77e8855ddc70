#include "foundation/ValueCheck.h"

#include <gtest/gtest.h>

#include <functional>

#include "foundation/CodePage.h"
#include "foundation/Errors.h"
#include "foundation/Guid.h"

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

TEST(ValueCheck, EveryMessageForItsFailingInput) {
  using T = CValueCheckTool;
  EXPECT_EQ(MessageOf([] { T::CheckNotEmpty("", "wsFilename"); }), "Передан пустой аргумент: wsFilename");
  EXPECT_EQ(MessageOf([] { T::CheckNotEmpty("", "Name", "Sender"); }),
            "Передан пустой аргумент: Sender.Name");
  EXPECT_EQ(MessageOf([] { T::CheckNotNil(nullptr, "pKey"); }), "Передан пустой аргумент: pKey");
  EXPECT_EQ(MessageOf([] { T::CheckNotEmpty("x", ""); }), "Передан пустой аргумент: ArgumentName");
  EXPECT_EQ(MessageOf([] { T::CheckInRange(1, 0, 4, ""); }), "Передан пустой аргумент: ArgumentName");
  EXPECT_EQ(MessageOf([] { T::CheckMaxLength("", "Code", 2); }), "Передан пустой аргумент: Code");
  EXPECT_EQ(MessageOf([] { T::CheckMaxLength("abc", "Code", 2); }), "Длина переменной [Code] больше [2]");
  EXPECT_EQ(MessageOf([] { T::CheckLength("abc", "DocumentTypeCode", 2); }),
            "Длина переменной [DocumentTypeCode = \"abc\"] должна быть равной [2]");
  EXPECT_EQ(MessageOf([] { T::CheckRange(0, -1, "iFileIndex"); }),
            "iFileIndex: ошибка задания диапазона - минимальное значение (0) больше максимального(-1)");
  EXPECT_EQ(MessageOf([] { T::CheckInRange(5, 0, 4, "iFileIndex"); }),
            "Значение параметра iFileIndex (5) должно находиться в интервале от 0 до 4");
  EXPECT_EQ(MessageOf([] { T::CheckInRange(0, 0, -1, "iFileIndex"); }),
            "iFileIndex: ошибка задания диапазона - минимальное значение (0) больше максимального(-1)");
  EXPECT_EQ(MessageOf([] { T::CheckLengthInRange("", 1, 40, "Имя файла"_cp); }),
            "Имя файла: длина строки должна быть от 1 до 40 символов");
  EXPECT_EQ(MessageOf([] { T::CheckLengthInRange(std::string(41, 'x'), 1, 40, "Name"); }),
            "Name: длина строки должна быть от 1 до 40 символов");
}

TEST(ValueCheck, AcceptsValuesAtTheBounds) {
  EXPECT_NO_THROW(CValueCheckTool::CheckLengthInRange("x", 1, 40, "Name"));
  EXPECT_NO_THROW(CValueCheckTool::CheckLengthInRange(std::string(40, 'x'), 1, 40, "Name"));
  EXPECT_NO_THROW(CValueCheckTool::CheckInRange(4, 0, 4, "iFileIndex"));
  EXPECT_NO_THROW(CValueCheckTool::CheckLength("ab", "Code", 2));
  EXPECT_NO_THROW(CValueCheckTool::CheckMaxLength("ab", "Code", 2));
}

TEST(ValueCheck, Base64TextTellsTextFromBinary) {
  EXPECT_TRUE(IsBase64Text(""));
  EXPECT_TRUE(IsBase64Text("-----BEGIN CERTIFICATE-----\r\nMIIB+/==\r\n-----END CERTIFICATE-----\n"));
  EXPECT_FALSE(IsBase64Text(std::string("MII\0B", 5)));
  EXPECT_FALSE(IsBase64Text("\x30\x82\x01"));
  EXPECT_FALSE(IsBase64Text("abc\t"));
}

TEST(Guid, FormsAndUniqueness) {
  std::string compact = NewCompactGuid();
  ASSERT_EQ(compact.size(), 32u);
  EXPECT_EQ(compact.find_first_not_of("0123456789abcdef"), std::string::npos);
  EXPECT_NE(compact, NewCompactGuid());
  std::string braced = NewBracedGuid();
  ASSERT_EQ(braced.size(), 38u);
  EXPECT_EQ(braced.front(), '{');
  EXPECT_EQ(braced.back(), '}');
  EXPECT_EQ(braced[9], '-');
  EXPECT_EQ(braced.find_first_not_of("{}-0123456789ABCDEF"), std::string::npos);
}
