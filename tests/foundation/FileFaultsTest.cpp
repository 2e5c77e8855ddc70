#include "foundation/FileFaults.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <vector>

#include "common/TestEnv.h"
#include "foundation/CodePage.h"
#include "foundation/Errors.h"
#include "foundation/Files.h"

namespace qv {
namespace {

// Records the steps of the file layer and fails the step numbered `failAt` (from 0) with ENOSPC.
class StepFaults {
 public:
  explicit StepFaults(int failAt = -1) : failAt_(failAt) {
    SetFileFaultHook([this](FileStep step, const std::string&) {
      steps_.push_back(step);
      return static_cast<int>(steps_.size()) - 1 == failAt_ ? ENOSPC : 0;
    });
  }
  ~StepFaults() { SetFileFaultHook(nullptr); }
  const std::vector<FileStep>& Steps() const { return steps_; }

 private:
  int failAt_;
  std::vector<FileStep> steps_;
};

std::string FailureOf(const std::function<void()>& call) {
  try {
    call();
  } catch (const CVorlentException& e) {
    return e.Message();
  }
  return "no failure";
}

TEST(FileFaults, WritesRunUnchangedThroughAHookThatLetsThemPass) {
  const std::string file = qvtest::TestPath("doc.xml");
  {
    StepFaults none;
    WriteFileBytes(file, "<a>new</a>");
    WriteTextFile(qvtest::TestPath("list.txt"), "one\r\ntwo");
    EXPECT_EQ(none.Steps(), (std::vector<FileStep>{FileStep::kOpen, FileStep::kWrite, FileStep::kCommit,
                                                   FileStep::kOpen, FileStep::kWrite}));
  }
  EXPECT_EQ(ReadFileBytes(file), "<a>new</a>");
  EXPECT_EQ(ReadFileBytes(qvtest::TestPath("list.txt")), "one\r\ntwo");
  WriteFileBytes(file, "<b/>");  // no hook at all
  EXPECT_EQ(ReadFileBytes(file), "<b/>");
}

TEST(FileFaults, EachFailedStepOfAnExactWriteIsReportedWithTheFileAndTheCause) {
  const std::string file = qvtest::TestPath("doc.xml");
  const std::string cause = SystemErrorText(ENOSPC);
  const std::string messages[] = {
      "Не удалось открыть файл ["_cp + file + "]: [" + cause + "]",
      "Не удалось записать в файл ["_cp + file + "]: [" + cause + "]",
      "Не удалось записать в файл ["_cp + file + "]: [" + cause + "]",
  };
  for (int step = 0; step < 3; ++step) {
    WriteFileBytes(file, "the earlier content");
    {
      StepFaults faults(step);
      EXPECT_EQ(FailureOf([&] { WriteFileBytes(file, "new"); }), messages[step]) << step;
    }
    // Before the first byte is written the earlier content stays.
    if (step < 2) {
      EXPECT_EQ(ReadFileBytes(file), "the earlier content") << step;
    }
  }
}

TEST(FileFaults, FailedTextWritesRaiseTheSystemError) {
  const std::string file = qvtest::TestPath("list.txt");
  {
    StepFaults faults(0);
    try {
      WriteTextFile(file, "text");
      FAIL() << "no failure";
    } catch (const COSException& e) {
      EXPECT_EQ(e.Message(), SystemErrorText(ENOSPC));
    }
  }
  EXPECT_FALSE(FileExists(file));
  StepFaults faults(1);
  EXPECT_EQ(FailureOf([&] { WriteTextFile(file, "text"); }), SystemErrorText(ENOSPC));
}

}  // namespace
}  // namespace qv
