// `vorlent receive`: a day's packages, good and bad, in one batch on the demo's sandbox, its CA
// certificates and lists served on 127.0.0.1; and Ctrl-C in the middle of a batch.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <dirent.h>

#include <ctime>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "cli/CliTest.h"

extern char** environ;

namespace {

using nlohmann::json;
using qvtest::ReadBytes;
using qvtest::RunCommand;
using qvtest::TestPath;
using qvtest::Vorlent;

// The names in a folder, hidden ones included.
std::set<std::string> Names(const std::string& folder) {
  std::set<std::string> names;
  if (DIR* dir = opendir(folder.c_str())) {
    while (dirent* entry = readdir(dir)) {
      std::string name = entry->d_name;
      if (name != "." && name != "..") names.insert(name);
    }
    closedir(dir);
  }
  return names;
}

class CliReceive : public ::testing::Test {
 protected:
  void SetUp() override {
    auto demo = Vorlent("demo sandbox");
    ASSERT_EQ(demo.status, 0) << demo.out << demo.err;
    std::string log;
    ASSERT_EQ(RunCommand("bash '" QV_SOURCE_DIR "/tests/cli/make-receive-batch.sh' '" + TestPath("sandbox") +
                             "' '" VORLENT_BIN "' 2>&1",
                         &log),
              0)
        << log;
    // The certificates name the demo's port: the lists are served there again.
    std::string port;
    RunCommand("grep -o '127.0.0.1:[0-9]*' '" + TestPath("sandbox/pki/openssl.cnf") +
                   "' | head -1 | cut -d: -f2 | tr -d '\\n'",
               &port);
    server_ = std::make_unique<qvtest::LoopbackWebServer>("sandbox/www", port);
  }

  static std::string Receiver() {
    const std::string root = TestPath("sandbox/receiver");
    return "QELVORLENT_HOME='" + root + "/home' QELVORLENT_REGISTRY='" + root + "/registry' TMP='" + root +
           "/tmp' ";
  }

  std::unique_ptr<qvtest::LoopbackWebServer> server_;
};

TEST_F(CliReceive, GoodPackagesAreExtractedBadOnesLeaveNothingAndEachUrlIsFetchedOnce) {
  auto batch = Vorlent(
      "receive sandbox/batch/good1.zip sandbox/batch/changed.zip sandbox/batch/revoked.zip "
      "sandbox/batch/damaged.zip sandbox/batch/foreign.zip sandbox/batch/good2.zip -d out --jobs 3 --json",
      Receiver());
  EXPECT_EQ(batch.status, 1) << batch.out << batch.err;
  EXPECT_EQ(batch.err, "Принято пакетов: 2 из 6\n");
  std::map<std::string, json> results;
  std::istringstream lines(batch.out);
  for (std::string line; std::getline(lines, line);) {
    json item = json::parse(line);
    results[item["package"].get<std::string>()] = item;
  }
  ASSERT_EQ(results.size(), 6u) << batch.out;
  auto errors = [&](const std::string& name) {
    const json& item = results["sandbox/batch/" + name + ".zip"];
    EXPECT_EQ(item["ok"], false) << item;
    EXPECT_TRUE(item["folder"].is_null()) << item;
    std::string text;
    for (const json& error : item["errors"]) text += error.get<std::string>() + "\n";
    return text;
  };
  // The receipt changed after signing: its applicant's signature, and only that one, fails.
  EXPECT_EQ(errors("changed").find("[2] квитанция.pdf, подпись заявитель Иванов Иван Иванович ["), 0u);
  EXPECT_NE(errors("changed").find(
                "]: Ошибка при проверке подписи [0x80091007 (-2146889721): Значение хеша неверно.]\n"),
            std::string::npos)
      << errors("changed");
  EXPECT_EQ(results["sandbox/batch/changed.zip"]["errors"].size(), 1u);
  // The revoked notary: each of its three counter-signatures.
  const std::string revoked = errors("revoked");
  EXPECT_EQ(results["sandbox/batch/revoked.zip"]["errors"].size(), 3u);
  EXPECT_EQ(revoked.find("[0] заявление.xml, заверяющая подпись нотариус Отозванный нотариус ["), 0u)
      << revoked;
  EXPECT_NE(revoked.find("]: На момент подписания ["), std::string::npos) << revoked;
  EXPECT_NE(revoked.find("] сертификат был отозван ["), std::string::npos) << revoked;
  // The ciphertext cut short: the package is not decrypted, nothing is verified.
  EXPECT_EQ(results["sandbox/batch/damaged.zip"]["signatures"], 0);
  EXPECT_FALSE(errors("damaged").empty());
  EXPECT_EQ(errors("damaged").find("заявление.xml, подпись"), std::string::npos) << errors("damaged");
  // A root nobody trusts.
  EXPECT_NE(errors("foreign").find("[0] заявление.xml, подпись заявитель Чужой заявитель ["),
            std::string::npos);
  EXPECT_NE(
      errors("foreign").find("]: Не найден сертификат УЦ [Чужой корневой УЦ]. URL для скачивания: [http://"),
      std::string::npos)
      << errors("foreign");

  // The good ones, byte for byte; nothing else in the folder, no temporary left.
  EXPECT_EQ(Names(TestPath("out")), (std::set<std::string>{"good1", "good2"}));
  for (const std::string name : {"good1", "good2"}) {
    const json& item = results["sandbox/batch/" + name + ".zip"];
    EXPECT_EQ(item["ok"], true) << item;
    EXPECT_EQ(item["folder"], "out/" + name);
    EXPECT_EQ(item["documents"], 3);
    EXPECT_EQ(item["signatures"], 6);
    EXPECT_EQ(item["errors"], json::array());
    std::set<std::string> files = Names(TestPath("out/" + name));
    EXPECT_EQ(files.size(), 9u);
    for (const std::string document : {"заявление.xml", "заявление.pdf", "квитанция.pdf"})
      EXPECT_EQ(ReadBytes(TestPath("out/" + name + "/" + document)),
                ReadBytes(TestPath("sandbox/documents/" + document)))
          << document;
  }
  // The packages themselves are as they came: still encrypted.
  EXPECT_EQ(Vorlent("show sandbox/batch/good1.zip --json", Receiver()).Json()["encrypted"], true);

  // One run for the batch: each URL asked for once, whatever the threads and the packages.
  for (const std::string path : {"/inter.cer", "/root.cer", "/inter.crl", "/root.crl", "/foreign-root.cer"})
    EXPECT_EQ(server_->Requests(path), 1) << path;
  EXPECT_EQ(server_->Requests(), 5);

  // Again into the same folder: the folders there stay, the packages are refused. Of the half-written
  // folders of killed runs, the one left two days ago goes; a fresh one may be another run's and stays.
  for (const std::string part : {".good1.part-0123abcd", ".good2.part-89abcdef"}) {
    ASSERT_EQ(mkdir(TestPath("out/" + part).c_str(), 0777), 0);
    qvtest::WriteBytes(TestPath("out/" + part + "/заявление.pdf"), "half");
  }
  const timespec twoDaysAgo[2] = {{time(nullptr) - 2 * 86400, 0}, {time(nullptr) - 2 * 86400, 0}};
  ASSERT_EQ(utimensat(AT_FDCWD, TestPath("out/.good1.part-0123abcd").c_str(), twoDaysAgo, 0), 0);
  auto again = Vorlent("receive sandbox/batch/good1.zip -d out", Receiver());
  EXPECT_EQ(again.status, 1);
  EXPECT_EQ(again.out, "sandbox/batch/good1.zip: ОШИБКА: Папка уже существует: out/good1\n");
  EXPECT_EQ(Names(TestPath("out")), (std::set<std::string>{"good1", "good2", ".good2.part-89abcdef"}));
}

TEST_F(CliReceive, CtrlCStopsAfterThePackagesInProgressAndLeavesNoHalfWrittenFolder) {
  const int count = 300;
  std::vector<std::string> words = {VORLENT_BIN, "receive", "-d", TestPath("out"), "--jobs", "2"};
  for (int i = 0; i < count; ++i) {
    const std::string copy = TestPath("day/p" + std::to_string(i) + ".zip");
    if (i == 0) RunCommand("mkdir -p '" + TestPath("day") + "'");
    ASSERT_EQ(RunCommand("cp '" + TestPath("sandbox/batch/good1.zip") + "' '" + copy + "'"), 0);
    words.push_back(copy);
  }
  std::vector<std::string> environment;
  for (char** item = environ; *item; ++item) {
    const std::string entry = *item;
    if (entry.rfind("QELVORLENT_HOME=", 0) && entry.rfind("QELVORLENT_REGISTRY=", 0) &&
        entry.rfind("TMP=", 0))
      environment.push_back(entry);
  }
  const std::string root = TestPath("sandbox/receiver");
  environment.push_back("QELVORLENT_HOME=" + root + "/home");
  environment.push_back("QELVORLENT_REGISTRY=" + root + "/registry");
  environment.push_back("TMP=" + root + "/tmp");
  std::vector<char*> argv;
  std::vector<char*> envp;
  for (std::string& word : words) argv.push_back(word.data());
  argv.push_back(nullptr);
  for (std::string& item : environment) envp.push_back(item.data());
  envp.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  const std::string out = TestPath(".receive.out");
  const std::string err = TestPath(".receive.err");
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  pid_t pid = 0;
  ASSERT_EQ(posix_spawn(&pid, VORLENT_BIN, &actions, nullptr, argv.data(), envp.data()), 0);
  posix_spawn_file_actions_destroy(&actions);
  // Ctrl-C once the first package is out.
  int status = 0;
  bool ended = false;
  for (int i = 0; i < 3000 && !ended && ReadBytes(out).empty(); ++i) {
    ended = waitpid(pid, &status, WNOHANG) == pid;
    if (!ended) usleep(10000);
  }
  ASSERT_FALSE(ended) << ReadBytes(err);
  kill(pid, SIGINT);
  waitpid(pid, &status, 0);
  ASSERT_TRUE(WIFEXITED(status)) << status << "\n" << ReadBytes(err);
  EXPECT_EQ(WEXITSTATUS(status), 130);

  // A line for each package that ended; each of them has its whole folder, and nothing else is there.
  std::vector<std::string> lines;
  std::istringstream text(ReadBytes(out));
  for (std::string line; std::getline(text, line);) lines.push_back(line);
  ASSERT_FALSE(lines.empty());
  EXPECT_LT(lines.size(), static_cast<std::size_t>(count));
  std::set<std::string> names = Names(TestPath("out"));
  EXPECT_EQ(names.size(), lines.size());
  for (const std::string& name : names) {
    EXPECT_NE(ReadBytes(out).find(": принят в " + TestPath("out/" + name) + " (документов 3, подписей 6)"),
              std::string::npos)
        << name;
    EXPECT_EQ(Names(TestPath("out/" + name)).size(), 9u) << name;
  }
  EXPECT_EQ(ReadBytes(err), "vorlent: Приём прерван: обработано пакетов " + std::to_string(lines.size()) +
                                " из " + std::to_string(count) + "\n");
}

}  // namespace
