// Every test runs in its own temporary folder with its own QELVORLENT_HOME,
// QELVORLENT_REGISTRY and TMP; the folder is removed when the test ends.
#pragma once

#include <signal.h>
#include <sys/resource.h>

#include <atomic>
#include <cstddef>
#include <functional>
#include <string>
#include <thread>

namespace qvtest {

// The current test's own folder (UTF-8 path).
const std::string& TestFolder();
// A path inside it.
std::string TestPath(const std::string& name);
// Writes a file (UTF-8 path) with the given bytes.
void WriteBytes(const std::string& path, const std::string& bytes);
std::string ReadBytes(const std::string& path);
// Runs a shell command; returns its exit status and puts its standard output in `output`.
int RunCommand(const std::string& command, std::string* output = nullptr);
// Dates a file, folder or link (not what it points to) back by `seconds`.
void MakeOlder(const std::string& path, long long seconds);
// Runs `body` in a child process and returns what it returns (0..255); -1 when the child ended
// otherwise (a signal, an exception), or did not end within `seconds` and was killed: a bound
// against hanging, not a measure of speed.
int RunInChild(const std::function<int()>& body, int seconds = 60);
// The folder of the project's test data.
std::string DataPath(const std::string& name);
// `bytes` in place of what `data` holds at `at`, and the last four bytes of `data` chosen so
// that its CRC-32 stays what it was: what anyone who can write a file can do to a check sum.
std::string KeepingCrc32(std::string data, std::size_t at, const std::string& bytes);

// Another process that can write a file: from construction to destruction it rewrites the file
// (the one the path names then) in place at `at`, over and over, from `one` to `other` and back.
// Only the bytes where the two differ are written.
class FileRewriter {
 public:
  FileRewriter(const std::string& path, std::size_t at, const std::string& one, const std::string& other);
  ~FileRewriter();
  FileRewriter(const FileRewriter&) = delete;
  FileRewriter& operator=(const FileRewriter&) = delete;

 private:
  int fd_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

// Whether this is the sanitizer build, whose programs take far more memory than they hold.
#if defined(__SANITIZE_ADDRESS__)
constexpr bool kSanitized = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif
#else
constexpr bool kSanitized = false;
#endif

// Lowers the process's file size limit for its lifetime; a write beyond it fails with EFBIG
// (the signal it would raise is ignored meanwhile).
class FileSizeLimit {
 public:
  explicit FileSizeLimit(rlim_t bytes) {
    getrlimit(RLIMIT_FSIZE, &saved_);
    previous_ = signal(SIGXFSZ, SIG_IGN);
    rlimit lowered = saved_;
    lowered.rlim_cur = bytes;
    setrlimit(RLIMIT_FSIZE, &lowered);
  }
  ~FileSizeLimit() {
    setrlimit(RLIMIT_FSIZE, &saved_);
    signal(SIGXFSZ, previous_);
  }
  FileSizeLimit(const FileSizeLimit&) = delete;
  FileSizeLimit& operator=(const FileSizeLimit&) = delete;

 private:
  rlimit saved_{};
  void (*previous_)(int) = SIG_DFL;
};

}  // namespace qvtest
