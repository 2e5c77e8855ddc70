#include "common/TestEnv.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <utility>
#include <vector>

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

namespace {

// The CRC-32 of ZIP, without its final inversion: the register after `size` bytes from `state`.
std::uint32_t Crc32Register(std::uint32_t state, const unsigned char* data, std::size_t size) {
  static const auto table = [] {
    std::array<std::uint32_t, 256> t{};
    for (std::uint32_t i = 0; i < 256; ++i) {
      std::uint32_t c = i;
      for (int k = 0; k < 8; ++k) c = (c & 1) ? (c >> 1) ^ 0xEDB88320u : c >> 1;
      t[i] = c;
    }
    return t;
  }();
  for (std::size_t i = 0; i < size; ++i) state = (state >> 8) ^ table[(state ^ data[i]) & 0xFF];
  return state;
}

}  // namespace

std::string KeepingCrc32(std::string data, std::size_t at, const std::string& bytes) {
  const auto* raw = reinterpret_cast<const unsigned char*>(data.data());
  const std::uint32_t wanted = Crc32Register(0xFFFFFFFFu, raw, data.size());
  data.replace(at, bytes.size(), bytes);
  raw = reinterpret_cast<const unsigned char*>(data.data());
  const std::size_t last = data.size() - 4;
  const std::uint32_t before = Crc32Register(0xFFFFFFFFu, raw, last);
  // The register after four bytes is affine in their 32 bits: solve for the bits over GF(2).
  auto after = [&](std::uint32_t x) {
    const unsigned char b[4] = {static_cast<unsigned char>(x), static_cast<unsigned char>(x >> 8),
                                static_cast<unsigned char>(x >> 16), static_cast<unsigned char>(x >> 24)};
    return Crc32Register(before, b, 4);
  };
  const std::uint32_t base = after(0);
  std::array<std::uint32_t, 32> column{};  // the register's change for each bit, and which bits make it
  std::array<std::uint32_t, 32> bits{};
  for (int k = 0; k < 32; ++k) {
    column[k] = after(1u << k) ^ base;
    bits[k] = 1u << k;
  }
  std::uint32_t target = wanted ^ base, chosen = 0;
  for (int row = 0, pivot = 0; row < 32; ++row) {
    int k = pivot;
    while (k < 32 && !(column[k] >> row & 1)) ++k;
    if (k == 32) continue;
    std::swap(column[k], column[pivot]);
    std::swap(bits[k], bits[pivot]);
    for (int j = 0; j < 32; ++j) {
      if (j != pivot && (column[j] >> row & 1)) {
        column[j] ^= column[pivot];
        bits[j] ^= bits[pivot];
      }
    }
    if (target >> row & 1) {
      target ^= column[pivot];
      chosen ^= bits[pivot];
    }
    ++pivot;
  }
  for (int i = 0; i < 4; ++i) data[last + i] = static_cast<char>(chosen >> (8 * i));
  return data;
}

FileRewriter::FileRewriter(const std::string& path, std::size_t at, const std::string& one,
                           const std::string& other)
    : fd_(::open(path.c_str(), O_WRONLY | O_CLOEXEC)) {
  // the runs of bytes where the two versions differ, as [begin, end)
  std::vector<std::pair<std::size_t, std::size_t>> runs;
  for (std::size_t i = 0; i < one.size();) {
    if (one[i] == other[i]) {
      ++i;
      continue;
    }
    std::size_t end = i;
    while (end < one.size() && one[end] != other[end]) ++end;
    runs.emplace_back(i, end);
    i = end;
  }
  thread_ = std::thread([this, at, runs, one, other] {
    for (bool flip = false; !stop_; flip = !flip) {
      const std::string& bytes = flip ? other : one;
      for (const auto& run : runs) {
        if (::pwrite(fd_, bytes.data() + run.first, run.second - run.first,
                     static_cast<off_t>(at + run.first)) < 0)
          return;
      }
      ::usleep(200);
    }
  });
}

FileRewriter::~FileRewriter() {
  stop_ = true;
  thread_.join();
  ::close(fd_);
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
