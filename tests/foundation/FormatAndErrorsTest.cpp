#include <gtest/gtest.h>

#include <vector>

#include "foundation/BaseClass.h"
#include "foundation/CodePage.h"
#include "foundation/Errors.h"
#include "foundation/Format.h"

using namespace qv;

TEST(Format, PositionalArgumentsRepeatAndReorder) {
  EXPECT_EQ(FormatText("%1:s %0:s %1:s", {"a", "b"}), "b a b");
  EXPECT_EQ(FormatText("%s-%d", {"x", 42}), "x-42");
  // a plain specifier continues after the last indexed one
  EXPECT_EQ(FormatText("%1:s %s %0:s", {"a", "b", "c"}), "b c a");
  EXPECT_EQ(FormatText("0x%.8x (%d)", {static_cast<int>(0x80092004), static_cast<int>(0x80092004)}),
            "0x80092004 (-2146885628)");
  EXPECT_EQ(FormatText("[%5s|%-3d|%%]", {"ab", 7}), "[   ab|7  |%]");
  EXPECT_EQ(FormatText("%s %s", {"only"}), "only ");
  EXPECT_EQ(FormatText("100% sure", {}), "100% sure");
}

TEST(Errors, RaiseErrorFmtFormatsPrefixesAndTraces) {
  std::vector<std::string> lines;
  SetTraceSink([&](const std::string& line) { lines.push_back(line); });
  try {
    RaiseErrorFmt("%1:s %0:s %1:s", {"a", "b"});
    FAIL();
  } catch (const CVorlentException& e) {
    EXPECT_EQ(e.Message(), "b a b");
  }
  try {
    RaiseError("msg", "Src", "Pre");
    FAIL();
  } catch (const CVorlentException& e) {
    EXPECT_EQ(e.Message(), "Pre: msg");
  }
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0], "[EXCEPTION b a b]");
  EXPECT_EQ(lines[1], "[Src: EXCEPTION Pre: msg]");
}

TEST(Errors, RaiseIfFalseAndRaiseAgainKeepKindAndCode) {
  EXPECT_NO_THROW(RaiseIfFalse(true, "never"));
  EXPECT_THROW(RaiseIfFalse(false, "boom"), CVorlentException);
  try {
    RaiseAgain(COSException("os", 5));
    FAIL();
  } catch (const COSException& e) {
    EXPECT_EQ(e.Code(), 5);
    EXPECT_EQ(e.Message(), "os");
  }
  try {
    RaiseAgain(std::runtime_error("plain"));
    FAIL();
  } catch (const COSException&) {
    FAIL() << "a plain error must not become an operating-system error";
  } catch (const CVorlentException& e) {
    EXPECT_EQ(e.Message(), "plain");
  }
}

namespace {
class Engine : public CBaseClass {
 public:
  void Fail(bool os) {
    Funnel([&] {
      if (os) throw COSException("os failure", 1234);
      RaiseError("Документ не открыт"_cp);
    });
  }
  int Twice(const Engine& inner) {
    return Funnel([&] {
      const_cast<Engine&>(inner).Fail(true);
      return 1;
    });
  }
};
}  // namespace

TEST(Errors, FunnelsPassErrorsUpUnchanged) {
  Engine a, b;
  try {
    a.Twice(b);
    FAIL();
  } catch (const COSException& e) {
    EXPECT_EQ(e.Code(), 1234);
    EXPECT_EQ(e.Message(), "os failure");
  }
  try {
    a.Fail(false);
    FAIL();
  } catch (const COSException&) {
    FAIL();
  } catch (const CVorlentException& e) {
    EXPECT_EQ(e.Message(), "Документ не открыт"_cp);
  }
}

TEST(Errors, HandleErrorWrapsContextAndCanBeReplaced) {
  Engine engine;
  try {
    engine.HandleError(CVorlentException("inner"), "Outer");
    FAIL();
  } catch (const CVorlentException& e) {
    EXPECT_EQ(e.Message(), "Outer: [inner]");
  }
  std::string seen;
  engine.OnError = [&](const CVorlentException& e, CBaseClass&) { seen = e.Message(); };
  EXPECT_NO_THROW(engine.Fail(false));
  EXPECT_EQ(seen, "Документ не открыт"_cp);
}

TEST(EventLog, StatusWordsByKind) {
  std::vector<EventLogEntry> entries;
  SetEventLogSink([&](const EventLogEntry& e) { entries.push_back(e); });
  EXPECT_EQ(WriteEventLogError("Сообщение"_cp), 0);
  EXPECT_EQ(WriteEventLog("m", kEventError, "src", 2), 0);
  WriteEventLog("m", kEventSuccess);
  WriteEventLog("m", kEventWarning);
  WriteEventLog("m", kEventInformation);
  WriteEventLog("m", 3);
  ASSERT_EQ(entries.size(), 6u);
  EXPECT_EQ(entries[0].status, "Ошибка"_cp);
  EXPECT_EQ(entries[0].message, "Сообщение"_cp);
  EXPECT_EQ(entries[0].ident, "test_foundation");  // the host executable's file name
  EXPECT_EQ(entries[1].ident, "src");
  EXPECT_EQ(entries[1].status, FormatText("Ошибка: %0:d (%1:s)"_cp, {2, SystemErrorText(2)}));
  EXPECT_EQ(entries[2].status, "Успешно"_cp);
  EXPECT_EQ(entries[3].status, "Предупреждение"_cp);
  EXPECT_EQ(entries[4].status, "Информация"_cp);
  EXPECT_EQ(entries[5].status, "Неизвестное событие"_cp);
}

TEST(EventLog, RealSystemLogNeverFails) {
  EXPECT_EQ(WriteEventLogError("QelVorlent test entry"), 0);
}

TEST(Errors, SystemErrorTexts) {
  EXPECT_FALSE(SystemErrorText(2).empty());
  RegisterSystemErrorText(static_cast<std::int32_t>(0x80092004), "Объект или свойство не найдено"_cp);
  EXPECT_EQ(SystemErrorText(static_cast<std::int32_t>(0x80092004)), "Объект или свойство не найдено"_cp);
  EXPECT_EQ(SystemErrorText(static_cast<std::int32_t>(0x8009FFFF)), "Unknown error 0x8009FFFF");
}

namespace {
class Doc : public CCustomDoc {
 public:
  bool busy = false;
  bool IsBusy() const override { return busy; }
};
}  // namespace

TEST(CustomDoc, DefaultsFollowBusyState) {
  Doc doc;
  CDocConfig config;
  EXPECT_TRUE(doc.Open(&config));
  EXPECT_EQ(doc.Config(), &config);
  EXPECT_FALSE(doc.IsOpened());
  EXPECT_FALSE(doc.Save("x"));
  doc.busy = true;
  CDocConfig other;
  EXPECT_FALSE(doc.Open(&other));
  EXPECT_EQ(doc.Config(), &config);
  EXPECT_FALSE(doc.Close());
  EXPECT_FALSE(doc.Store());
  std::string text = "x";
  doc.GetTextFor("v", text);
  EXPECT_EQ(text, "");
}
