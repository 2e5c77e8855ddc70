// QvToolReceive, the receiving desk of library clients: a batch of packages on several threads
// in one verification run, its authority certificate and lists served on 127.0.0.1. Built with
// ThreadSanitizer (`make test-tsan`) this is also the race check of the batch's shared run.
#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <string>
#include <vector>

#include "automation/Conversions.h"
#include "automation/ObjectTestUtil.h"
#include "common/TestEnv.h"
#include "crypto/CmsTestKit.h"
#include "crypto/CryptoUtils.h"
#include "qelvorlent/QelVorlentTools.h"

namespace {

using namespace qvtest;
using U = qv::CCryptoAPI20Utils;

struct Received {
  std::map<std::string, QvReceivedPackage> byPackage;
  std::map<std::string, std::string> folders;
  std::map<std::string, std::vector<std::string>> errors;
  std::atomic<int> inside{0};
  bool overlapped = false;
  int stopAfter = 0;  // 0: never
};

int Collect(const QvReceivedPackage* result, void* context) {
  auto& received = *static_cast<Received*>(context);
  if (received.inside.fetch_add(1) != 0) received.overlapped = true;
  received.byPackage[result->package] = *result;
  if (result->folder) received.folders[result->package] = result->folder;
  for (size_t i = 0; i < result->errorCount; ++i)
    received.errors[result->package].push_back(result->errors[i]);
  received.inside.fetch_sub(1);
  return received.stopAfter && static_cast<int>(received.byPackage.size()) >= received.stopAfter;
}

// Counts the requests for `path` in the log of the server.
int Requests(const std::string& log, const std::string& path) {
  int count = 0;
  for (std::size_t at = log.find("\"GET " + path + " "); at != std::string::npos;
       at = log.find("\"GET " + path + " ", at + 1))
    ++count;
  return count;
}

class ReceiveBatch : public ::testing::Test {
 protected:
  void SetUp() override {
    RunCommand(
        "python3 -c 'import socket; s = socket.socket(); s.bind((\"127.0.0.1\", 0)); "
        "print(s.getsockname()[1], end=\"\")'",
        &port_);
    pki_ = TestPath("pki");
    std::string output;
    ASSERT_EQ(RunCommand("bash '" + std::string(QV_SOURCE_DIR) + "/tests/keys/make-package-pki.sh' '" + pki_ +
                             "' " + port_ + " 2>&1",
                         &output),
              0)
        << output;
    RunCommand("cd '" + pki_ + "' && (python3 -m http.server " + port_ + " --bind 127.0.0.1 >/dev/null 2>'" +
               TestPath("http.log") + "' & echo $! >'" + TestPath("http.pid") + "')");
    for (int i = 0;
         i < 100 && RunCommand("python3 -c 'import socket; socket.create_connection((\"127.0.0.1\", " +
                               port_ + "))' 2>/dev/null") != 0;
         ++i)
      usleep(50000);
    // Only the root is trusted; the intermediate comes from its URL.
    U::AddToStore(nullptr, qv::kStoreCurrentUser, qv::kStoreRoot, {},
                  U::CertificateFromText(File("root.cer")));
    U::AddToStore(nullptr, qv::kStoreCurrentUser, qv::kStoreAddressBook, {},
                  U::CertificateFromText(File("tax.cer")));
    applicant_ = BindKey("applicant", File("applicant.key"), File("applicant.pem"))->Sha1Text();
    notary_ = BindKey("notary", File("notary.key"), File("notary.pem"))->Sha1Text();
    tax_ = BindKey("tax", File("tax.key"), File("tax.pem"))->Sha1Text();
  }
  void TearDown() override { RunCommand("kill $(cat '" + TestPath("http.pid") + "')"); }

  std::string File(const std::string& name) { return ReadBytes(pki_ + "/" + name); }

  static Ref<IVorlentKey> Key(const std::string& sha1, SIGN_ROLE_TYPES role) {
    Ref<IVorlentKey> key(qv::CVorlentKey_class::Create());
    key->put_Sha1(B(sha1));
    key->put_SignRole(role);
    return key;
  }

  // A package of one document, signed, counter-signed and encrypted; its path (UTF-8).
  std::string Package(const std::string& name, const std::string& content) {
    Ref<IVorlent> sender = NewVorlent();
    VARIANT_BOOL ok = VARIANT_FALSE;
    EXPECT_EQ(sender->New(TRANSACTION_TYPE_UL_REG_UL, &ok), S_OK);
    EXPECT_EQ(sender->put_SenderType(SIGN_ROLE_TYPE_ABONENT), S_OK);
    EXPECT_EQ(sender->put_SenderIdentifier(B("7701")), S_OK);
    EXPECT_EQ(sender->put_ReceiverType(SIGN_ROLE_TYPE_FNS), S_OK);
    EXPECT_EQ(sender->put_ReceiverIdentifier(B("7746")), S_OK);
    Ref<IVorlentFile> added;
    EXPECT_EQ(sender->AddFile(B(""), B("01"), B("application/pdf"), B("a.pdf"), B(content), added.Out()),
              S_OK);
    EXPECT_EQ(sender->SignFile(B("a.pdf"), Key(applicant_, SIGN_ROLE_TYPE_APPLICANT).Get(), &ok), S_OK)
        << LastError(sender.Get());
    EXPECT_EQ(sender->ReSignFile(B("a.pdf"), Key(notary_, SIGN_ROLE_TYPE_NOTARY).Get(), &ok), S_OK);
    EXPECT_EQ(sender->Encrypt(Key(tax_, SIGN_ROLE_TYPE_FNS).Get(), &ok), S_OK);
    EXPECT_EQ(sender->Save(B(Path1251(name)), &ok), S_OK) << LastError(sender.Get());
    return TestPath(name);
  }

  std::string port_, pki_, applicant_, notary_, tax_;
};

}  // namespace

TEST_F(ReceiveBatch, ThreadsShareOneRunAndEachPackageEndsOnceWithItsFolderOrItsErrors) {
  std::vector<std::string> paths;
  for (int i = 0; i < 8; ++i)
    paths.push_back(Package("p" + std::to_string(i) + ".zip", "document " + std::to_string(i)));
  paths.insert(paths.begin() + 3, TestPath("missing.zip"));
  std::vector<const char*> packages;
  for (const std::string& path : paths) packages.push_back(path.c_str());
  const int checks = QV_CHECK_CHAIN | QV_CHECK_CRL | QV_CHECK_DOWNLOAD;
  const std::string out = TestPath("out");

  Received received;
  EXPECT_EQ(QvToolReceive(packages.data(), packages.size(), out.c_str(), checks, 4, &Collect, &received),
            S_FALSE)
      << QvToolLastError();
  EXPECT_FALSE(received.overlapped);
  ASSERT_EQ(received.byPackage.size(), paths.size());
  for (int i = 0; i < 8; ++i) {
    const std::string& path = paths[i < 3 ? i : i + 1];
    const std::string folder = out + "/p" + std::to_string(i);
    EXPECT_EQ(received.folders[path], folder);
    EXPECT_TRUE(received.errors[path].empty()) << received.errors[path][0];
    EXPECT_EQ(received.byPackage[path].signatures, 2u);
    EXPECT_EQ(ReadBytes(folder + "/a.pdf"), "document " + std::to_string(i));
  }
  const std::string missing = TestPath("missing.zip");
  EXPECT_EQ(received.byPackage[missing].ok, 0);
  EXPECT_EQ(received.folders.count(missing), 0u);
  EXPECT_EQ(received.errors[missing],
            std::vector<std::string>{"Файл с пакетом [" + missing + "] не существует!"});
  // One run for the batch: each URL once, whatever the threads.
  const std::string log = ReadBytes(TestPath("http.log"));
  for (const char* path : {"/inter.cer", "/inter.crl", "/root.crl"}) EXPECT_EQ(Requests(log, path), 1) << log;

  // Stopped by the callback: the packages in progress end, no other starts, and nothing is half-written.
  Received stopped;
  stopped.stopAfter = 1;
  const std::string again = TestPath("again");
  EXPECT_EQ(QvToolReceive(packages.data(), packages.size(), again.c_str(), checks, 2, &Collect, &stopped),
            E_ABORT);
  const std::size_t ended = stopped.byPackage.size();
  EXPECT_GE(ended, 1u);
  EXPECT_LE(ended, 2u);
  EXPECT_EQ(std::string(QvToolLastError()), "Приём прерван: обработано пакетов " + std::to_string(ended) +
                                                " из " + std::to_string(paths.size()));
  std::string listing;
  RunCommand("ls -A '" + again + "' | wc -l | tr -d ' \\n'", &listing);
  EXPECT_EQ(listing, std::to_string(stopped.folders.size()));
}
