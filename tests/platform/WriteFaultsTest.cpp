// Store and key-container files are written atomically: a write that fails at any step
// leaves the earlier file as it was and no temporary file beside it, and a store that could
// not save a certificate holds on disk what it held before.
#include <gtest/gtest.h>

#include <cerrno>
#include <string>

#include "foundation/CodePage.h"
#include "foundation/FileFaults.h"
#include "foundation/Files.h"
#include "foundation/StrArray.h"
#include "pki/TestPki.h"
#include "platform/CertServices.h"
#include "platform/CryptError.h"

using namespace qv;
using namespace qvtest;

namespace {

// Fails the step numbered `failAt` (from 0, counted over every file written) with ENOSPC.
class StepFaults {
 public:
  explicit StepFaults(int failAt) : failAt_(failAt) {
    SetFileFaultHook([this](FileStep, const std::string&) { return count_++ == failAt_ ? ENOSPC : 0; });
  }
  ~StepFaults() { SetFileFaultHook(nullptr); }
  int Count() const { return count_; }

 private:
  int failAt_;
  int count_ = 0;
};

// The names in a folder, joined by spaces.
std::string Listing(const std::string& folder) {
  CStrArray names;
  ListFiles(folder, "*", kListFiles | kListFolders, names);
  return names.Join(" ");
}

}  // namespace

TEST(WriteFaults, AtomicWriteKeepsTheEarlierFileAtEveryStep) {
  const std::string folder = TestPath("store");
  ASSERT_TRUE(ForceDirectories(folder));
  const std::string file = folder + "/A.cer";
  WriteBytes(file, "earlier");
  int steps = 0;
  {
    StepFaults count(-1);
    ASSERT_TRUE(WriteFileAtomic(file, "new content", 0644));
    steps = count.Count();
  }
  EXPECT_EQ(steps, 3);  // open, write, rename
  for (int step = 0; step < steps; ++step) {
    WriteBytes(file, "earlier");
    StepFaults faults(step);
    EXPECT_FALSE(WriteFileAtomic(file, "new content", 0644)) << step;
    EXPECT_EQ(GetLastCryptError(), kCryptEFileError) << step;
    EXPECT_EQ(ReadBytes(file), "earlier") << step;
    EXPECT_EQ(Listing(folder), "A.cer") << step;
  }
}

TEST(WriteFaults, StoreThatCannotSaveACertificateKeepsWhatItHad) {
  CertContextPtr root = CCertContext::FromDer(PkiBytes("root.cer"));
  CertContextPtr user = CCertContext::FromDer(PkiBytes("user.cer"));
  ASSERT_TRUE(root && user);
  user->SetKeyProv(KeyProvInfo{"контейнер"_cp, kGostProviderName, 75, 1, 1});
  CertStorePtr store = OpenSystemStore(kLocationCurrentUser, "MY");
  ASSERT_TRUE(store && store->AddCertificate(root, kStoreAddNew));
  const std::string folder = LocationRoot(kLocationCurrentUser) + "/stores/MY";
  const std::string before = Listing(folder);

  // The certificate and its property file: six steps, each may fail.
  for (int step = 0; step < 6; ++step) {
    {
      StepFaults faults(step);
      EXPECT_FALSE(store->AddCertificate(user, kStoreAddNew)) << step;
    }
    EXPECT_EQ(store->Certificates().size(), 1u) << step;
    EXPECT_EQ(Listing(folder), before) << step;
    EXPECT_EQ(OpenSystemStore(kLocationCurrentUser, "MY")->Certificates().size(), 1u) << step;
  }
  ASSERT_TRUE(store->AddCertificate(user, kStoreAddNew));
  EXPECT_TRUE(OpenSystemStore(kLocationCurrentUser, "MY")->FindBySha1Hash(user->Sha1Hash())->KeyProv());
}
