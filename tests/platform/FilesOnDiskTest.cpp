// Key containers, certificate stores and the registry as files on disk: what a crash, a
// failure, a leftover of another process, a special file or a read-only home does to them.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <linux/capability.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <ctime>
#include <list>
#include <string>

#include "foundation/CodePage.h"
#include "foundation/Errors.h"
#include "foundation/FileFaults.h"
#include "foundation/Files.h"
#include "foundation/StrArray.h"
#include "pki/TestPki.h"
#include "platform/CertServices.h"
#include "platform/KeyContainer.h"
#include "platform/registry/Registry.h"

using namespace qv;
using namespace qvtest;

namespace {

std::string Listing(const std::string& folder) {
  CStrArray names;
  ListFiles(folder, "*", kListFiles | kListFolders, names);
  return names.Join(" ");
}

// Dates a file, folder or link back past the age at which leftovers count as stale.
void MakeStale(const std::string& path) {
  MakeOlder(path, kStaleTemporaryAge + 3600);
}

const char kGuid[] = "0123456789abcdef0123456789abcdef";

std::string MessageOf(const std::function<void()>& body) {
  try {
    body();
  } catch (const CVorlentException& e) {
    return Cp1251ToUtf8(e.Message());
  }
  return "<no error>";
}

}  // namespace

TEST(ContainersOnDisk, ImportThatDiesOrFailsAtAnyStepLeavesNoHalfContainer) {
  const std::string key = PkiBytes("user.key");
  int steps = 0;
  SetFileFaultHook([&](FileStep, const std::string&) { return ++steps, 0; });
  ImportPkcs8Key(false, "probe", key, {}, {});
  SetFileFaultHook(nullptr);
  ASSERT_GE(steps, 6);  // the name and the key, each opened, written and committed

  for (int step = 0; step < steps; ++step) {
    SCOPED_TRACE(step);
    const std::string name = "killed " + std::to_string(step);
    // the process is killed at the step, as with kill -9
    EXPECT_EQ(RunInChild([&] {
                int at = 0;
                SetFileFaultHook([&](FileStep, const std::string&) {
                  if (at++ == step) ::_exit(7);
                  return 0;
                });
                ImportPkcs8Key(false, name, key, {}, {});
                return 0;
              }),
              7);
    EXPECT_FALSE(KeyContainerExists(false, name));
    std::vector<std::string> names = EnumKeyContainers(false);
    EXPECT_EQ(std::count(names.begin(), names.end(), name), 0);
    // the name is free for the next import
    ImportPkcs8Key(false, name, key, {}, {});
    EXPECT_TRUE(LoadContainerKey(false, name));

    // a failure (a full disk) at the step leaves nothing either
    const std::string root = LocationRoot(kLocationCurrentUser) + "/keys";
    const std::string before = Listing(root);
    int at = 0;
    SetFileFaultHook([&](FileStep, const std::string&) { return at++ == step ? ENOSPC : 0; });
    EXPECT_NE(MessageOf([&] { ImportPkcs8Key(false, "full " + std::to_string(step), key, {}, {}); }),
              "<no error>");
    SetFileFaultHook(nullptr);
    EXPECT_FALSE(KeyContainerExists(false, "full " + std::to_string(step)));
    EXPECT_EQ(Listing(root), before);
  }
}

TEST(StoresOnDisk, OnlyRegularFilesOfBoundedSizeAreRead) {
  CertContextPtr root = CCertContext::FromDer(PkiBytes("root.cer"));
  ASSERT_TRUE(root);
  CertStorePtr store = OpenSystemStore(kLocationCurrentUser, "CA");
  ASSERT_TRUE(store && store->AddCertificate(root, kStoreAddNew));
  const std::string folder = LocationRoot(kLocationCurrentUser) + "/stores/CA";
  // in the order the store reads them: a FIFO, a link to an endless device, a huge sparse file
  ASSERT_EQ(::mkfifo((folder + "/0A.cer").c_str(), 0600), 0);
  ASSERT_EQ(::symlink("/dev/zero", (folder + "/0B.cer").c_str()), 0);
  WriteBytes(folder + "/0C.crl", "");
  ASSERT_EQ(::truncate((folder + "/0C.crl").c_str(), static_cast<off_t>(kMaxStoredCrl + 1)), 0);
  // a container whose files are a FIFO and a link to the device, and a registry that is a FIFO
  ImportPkcs8Key(false, "special", PkiBytes("user.key"), {}, {});
  const std::string container = KeyContainerFolder(false, "special");
  ASSERT_EQ(::unlink((container + "/key.p8").c_str()), 0);
  ASSERT_EQ(::mkfifo((container + "/key.p8").c_str(), 0600), 0);
  ASSERT_EQ(::symlink("/dev/zero", (container + "/certificate.cer").c_str()), 0);
  const std::string registry = CRegistry::FileName();
  ASSERT_EQ(::mkfifo(registry.c_str(), 0600), 0);

  EXPECT_EQ(RunInChild(
                [&] {
                  std::vector<std::string> traces;
                  SetTraceSink([&](const std::string& line) { traces.push_back(Cp1251ToUtf8(line)); });
                  CertStorePtr again = OpenSystemStore(kLocationCurrentUser, "CA");
                  if (!again || again->Certificates().size() != 1 || !again->Crls().empty()) return 1;
                  int refused = 0;
                  for (const std::string& line : traces) {
                    refused += line.find("Файл хранилища не прочитан") != std::string::npos &&
                               (line.find("Не является обычным файлом") != std::string::npos ||
                                line.find("Файл слишком велик") != std::string::npos);
                  }
                  if (refused != 3) return 2;
                  if (MessageOf([] {
                        LoadContainerKey(false, "special");
                      }).find("Не является обычным файлом") == std::string::npos)
                    return 3;
                  if (!ReadContainerCertificate(false, "special").empty()) return 4;
                  if (MessageOf([&] { CRegistry().Load(registry); }).find("Не является обычным файлом") ==
                      std::string::npos)
                    return 5;
                  return 0;
                },
                30),
            0);
}

TEST(ReadOnlyHome, ImportReportsTheRealErrorAndStoresAreEmpty) {
  const std::string key = PkiBytes("user.key");
  const std::string rootCert = PkiBytes("root.cer");
  const std::string home = GetEnvironmentText("QELVORLENT_HOME");
  ASSERT_EQ(::chmod(home.c_str(), 0555), 0);
  const int rc = RunInChild([&] {
    // The superuser may write anywhere: without its capabilities it is held to the mode bits
    // like any owner, and the home is read-only to it. (Becoming another user instead fails
    // where that user cannot enter a folder above the test's, as in a fresh root made by
    // mktemp -d: there even the cryptographic engine could not be loaded.)
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct none[_LINUX_CAPABILITY_U32S_3] = {};
    if (::geteuid() == 0 && ::syscall(SYS_capset, &header, none) != 0) return 10;
    std::string message = MessageOf([&] { ImportPkcs8Key(false, "k", key, {}, {}); });
    if (message.find(Cp1251ToUtf8(SystemErrorText(EACCES))) == std::string::npos) return 1;
    for (int location : {kLocationCurrentUser, kLocationLocalMachine}) {
      CertStorePtr store = OpenSystemStore(location, "MY");
      if (!store || !store->Certificates().empty()) return 2;
      // writing into it tells why it cannot be
      if (store->AddCertificate(CCertContext::FromDer(rootCert), kStoreAddNew)) return 3;
    }
    return EnumKeyContainers(false).empty() ? 0 : 4;
  });
  ::chmod(home.c_str(), 0700);
  EXPECT_EQ(rc, 0);
}

TEST(RegistryOnDisk, ManyKeysAreReadInLinearTime) {
  // 200,000 keys: a lookup per line through all the keys read so far would not finish in the
  // child's time; one through an index takes a fraction of a second.
  std::string text = "QelVorlent registry 1\n";
  const int keys = 200000;
  for (int i = 0; i < keys; ++i) {
    text += "\n[CLSID\\{" + std::to_string(i) + "}\\InprocServer32]\n@=/lib/x.so\nThreadingModel=Both\n";
  }
  // a key and a value again, in other letter case: one key, the later value
  text += "[clsid\\{7}\\inprocserver32]\n@=/lib/y.so\nthreadingmodel=Apartment\n";
  WriteBytes(CRegistry::FileName(), text);
  EXPECT_EQ(RunInChild(
                [&] {
                  CRegistry registry;
                  registry.Load(CRegistry::FileName());
                  if (registry.Keys().size() != static_cast<std::size_t>(keys)) return 1;
                  const CRegistry::Key& seventh = registry.Keys()[7];
                  if (seventh.path != "CLSID\\{7}\\InprocServer32" || seventh.values.size() != 2) return 2;
                  if (seventh.values[0].name != "@" || seventh.values[0].data != "/lib/y.so") return 3;
                  if (seventh.values[1].name != "ThreadingModel" || seventh.values[1].data != "Apartment")
                    return 4;
                  std::string data;
                  return CRegistry::Read("CLSID\\{199999}\\InprocServer32", "", data) && data == "/lib/x.so"
                             ? 0
                             : 5;
                },
                60),
            0);
}

TEST(LeftoversOnDisk, StaleTemporariesOfStoresContainersAndRegistryAreRemoved) {
  ImportPkcs8Key(false, "k", PkiBytes("user.key"), {}, {});
  ASSERT_TRUE(OpenSystemStore(kLocationCurrentUser, "MY"));
  CRegistry::Update([](CRegistry& registry) { registry.SetValue("A", "@", "1"); });
  const std::string folders[] = {LocationRoot(kLocationCurrentUser) + "/stores/MY",
                                 LocationRoot(kLocationCurrentUser) + "/keys", KeyContainerFolder(false, "k"),
                                 TestFolder()};
  const std::string victim = TestPath("victim");
  WriteBytes(victim, "kept");
  std::list<CFileHandle> busy;
  for (const std::string& folder : folders) {
    const std::string stale = folder + "/A.cer.tmp-" + kGuid;
    WriteBytes(stale, "stale");
    MakeStale(stale);
    WriteBytes(folder + "/B.cer.tmp-" + kGuid, "fresh");
    WriteBytes(folder + "/C.tmp", "not ours");
    MakeStale(folder + "/C.tmp");
    ASSERT_EQ(::symlink(victim.c_str(), (folder + "/D.tmp-" + kGuid).c_str()), 0);
    MakeStale(folder + "/D.tmp-" + kGuid);
    // a folder left by a dead process goes with the files it holds; one held by a live process
    // stays, and so does one holding a folder the library never makes there (nothing below is entered)
    const std::string dead = folder + "/.E.tmp-" + kGuid;
    ASSERT_TRUE(ForceDirectories(dead));
    WriteBytes(dead + "/key.p8", "x");
    MakeStale(dead);
    const std::string deeper = folder + "/.H.tmp-" + kGuid;
    ASSERT_TRUE(ForceDirectories(deeper + "/inner"));
    WriteBytes(deeper + "/key.p8", "x");
    WriteBytes(deeper + "/inner/key.p8", "x");
    MakeStale(deeper + "/inner");
    MakeStale(deeper);
    const std::string live = folder + "/.F.tmp-" + kGuid;
    ASSERT_TRUE(ForceDirectories(live));
    MakeStale(live);
    busy.emplace_back(::open(live.c_str(), O_RDONLY | O_DIRECTORY));
    ASSERT_EQ(::flock(busy.back().Get(), LOCK_SH), 0);
    if (::geteuid() == 0) {  // another user's file
      WriteBytes(folder + "/G.tmp-" + kGuid, "theirs");
      ASSERT_EQ(::chown((folder + "/G.tmp-" + kGuid).c_str(), 65534, 65534), 0);
      MakeStale(folder + "/G.tmp-" + kGuid);
    }
  }
  // the library's next use of each folder
  ASSERT_TRUE(OpenSystemStore(kLocationCurrentUser, "MY"));
  ImportPkcs8Key(false, "k2", PkiBytes("user.key"), {}, {});
  ASSERT_TRUE(WriteContainerCertificate(false, "k", PkiBytes("user.cer")));
  CRegistry::Update([](CRegistry& registry) { registry.SetValue("A", "@", "2"); });

  const std::string theirs = ::geteuid() == 0 ? std::string(" G.tmp-") + kGuid : std::string();
  EXPECT_EQ(Listing(folders[0]), std::string(".F.tmp-") + kGuid + " .H.tmp-" + kGuid + " B.cer.tmp-" + kGuid +
                                     " C.tmp D.tmp-" + kGuid + theirs);
  EXPECT_EQ(Listing(folders[1]), std::string(".F.tmp-") + kGuid + " .H.tmp-" + kGuid + " B.cer.tmp-" + kGuid +
                                     " C.tmp D.tmp-" + kGuid + theirs + " k k2");
  EXPECT_EQ(Listing(folders[2]), std::string(".F.tmp-") + kGuid + " .H.tmp-" + kGuid + " B.cer.tmp-" + kGuid +
                                     " C.tmp D.tmp-" + kGuid + theirs + " certificate.cer key.p8 name");
  EXPECT_NE(
      Listing(folders[3])
          .find(std::string(" B.cer.tmp-") + kGuid + " C.tmp D.tmp-" + kGuid + theirs + " home registry"),
      std::string::npos)
      << Listing(folders[3]);
  EXPECT_EQ(Listing(folders[3]).find(std::string("A.cer.tmp-")), std::string::npos);
  EXPECT_EQ(ReadBytes(victim), "kept");
}
