#include "common/TestEnv.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include <gtest/gtest.h>

#include "foundation/Errors.h"

namespace qvtest {
namespace {

std::string g_folder;

class PerTestEnvironment : public testing::EmptyTestEventListener {
 public:
  void OnTestStart(const testing::TestInfo&) override {
    const char* base = std::getenv("QV_TEST_ROOT");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/qvtest.XXXXXX";
    if (!mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
    g_folder = pattern;
    std::string tmp = g_folder + "/tmp";
    std::string home = g_folder + "/home";
    mkdir(tmp.c_str(), 0700);
    mkdir(home.c_str(), 0700);
    setenv("TMP", tmp.c_str(), 1);
    setenv("TMPDIR", tmp.c_str(), 1);
    setenv("QELVORLENT_HOME", home.c_str(), 1);
    setenv("QELVORLENT_REGISTRY", (g_folder + "/registry").c_str(), 1);
    setenv("QELVORLENT_MACHINE_REGISTRY", (g_folder + "/machine-registry").c_str(), 1);
    unsetenv("QELVORLENT_PIN");
    unsetenv("QELVORLENT_TRACE");
  }
  void OnTestEnd(const testing::TestInfo&) override {
    if (!g_folder.empty() && std::getenv("QV_KEEP_TEST_FOLDERS") == nullptr) {
      std::string command = "rm -rf '" + g_folder + "'";
      if (std::system(command.c_str()) != 0) std::fprintf(stderr, "could not remove %s\n", g_folder.c_str());
    }
    g_folder.clear();
    qv::SetEventLogSink({});
    qv::SetTraceSink({});
  }
};

}  // namespace

const std::string& TestFolder() {
  return g_folder;
}

std::string TestPath(const std::string& name) {
  return g_folder + "/" + name;
}

void WriteBytes(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  if (!out) throw std::runtime_error("cannot write " + path);
}

std::string ReadBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + path);
  std::ostringstream buffer;
  buffer << in.rdbuf();
  return buffer.str();
}

int RunCommand(const std::string& command, std::string* output) {
  FILE* pipe = popen(command.c_str(), "r");
  if (!pipe) return -1;
  std::string text;
  char buffer[4096];
  std::size_t n;
  while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) text.append(buffer, n);
  int status = pclose(pipe);
  if (output) *output = text;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

void MakeOlder(const std::string& path, long long seconds) {
  const std::time_t past = std::time(nullptr) - static_cast<std::time_t>(seconds);
  const struct timespec times[2] = {{past, 0}, {past, 0}};
  if (::utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW) != 0) {
    throw std::runtime_error("cannot date back " + path);
  }
}

int RunInChild(const std::function<int()>& body, int seconds) {
  std::fflush(nullptr);
  pid_t child = ::fork();
  if (child < 0) return -1;
  if (child == 0) {
    int code = 255;
    try {
      code = body();
    } catch (...) {
    }
    ::_exit(code);
  }
  const std::time_t deadline = std::time(nullptr) + seconds;
  int status = 0;
  while (::waitpid(child, &status, WNOHANG) == 0) {
    if (std::time(nullptr) > deadline) {
      ::kill(child, SIGKILL);
      ::waitpid(child, &status, 0);
      return -1;
    }
    ::usleep(10000);
  }
  return WIFEXITED(status) && WEXITSTATUS(status) != 255 ? WEXITSTATUS(status) : -1;
}

std::string DataPath(const std::string& name) {
  return std::string(QV_TEST_DATA_DIR) + "/" + name;
}

void InstallPerTestEnvironment() {
  testing::UnitTest::GetInstance()->listeners().Append(new PerTestEnvironment);
}

}  // namespace qvtest
