// The lock of a command that changes a package.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <thread>

#include "Util.h"

namespace vorlent {

namespace {

std::string SystemError(const std::string& what, const std::string& path) {
  return what + " " + path + ": " + std::strerror(errno);
}

bool SameFile(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// Whether the open file `fd` is still what `path` names (through a link with `follow`).
bool StillNamed(int fd, const std::string& path, bool follow) {
  struct stat open {};
  struct stat named {};
  if (fstat(fd, &open) != 0) return false;
  return (follow ? stat(path.c_str(), &named) : lstat(path.c_str(), &named)) == 0 && SameFile(open, named);
}

bool Locked(int fd, const std::string& path) {
  if (flock(fd, LOCK_EX | LOCK_NB) == 0) return true;
  if (errno != EWOULDBLOCK && errno != EINTR) throw Failure(SystemError("не удалось заблокировать", path));
  return false;
}

}  // namespace

PackageLock::PackageLock(const std::string& packagePath) {
  const auto deadline = std::chrono::steady_clock::now() + kPackageLockWait;
  for (;;) {
    foreign_ = false;
    struct stat st {};
    const bool exists = stat(packagePath.c_str(), &st) == 0;
    if (!exists && errno != ENOENT) throw Failure(SystemError("не удалось открыть файл пакета", packagePath));
    if (exists ? TryPackage(packagePath) : TryHelper(packagePath)) return;
    if (std::chrono::steady_clock::now() >= deadline) {
      std::string message = "пакет " + packagePath + " изменяет другая команда: ожидание дольше " +
                            std::to_string(kPackageLockWait.count()) + " с, повторите позже";
      if (foreign_) message += " (мешает чужой файл " + packagePath + ".lock)";
      throw Failure(message);
    }
    std::this_thread::sleep_for(kPackageLockPause);
  }
}

// The package file itself. Opened without waiting (a FIFO would block the opening for ever)
// and refused unless it is a regular file; a link to one is the user's own way to name it.
bool PackageLock::TryPackage(const std::string& packagePath) {
  Descriptor fd(open(packagePath.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  if (fd.Get() < 0) {
    if (errno == ENOENT) return false;  // replaced or removed meanwhile: look again
    throw Failure(SystemError("не удалось открыть файл пакета", packagePath));
  }
  struct stat st {};
  if (fstat(fd.Get(), &st) != 0) throw Failure(SystemError("не удалось открыть файл пакета", packagePath));
  if (!S_ISREG(st.st_mode)) throw Failure("файл пакета " + packagePath + " не является обычным файлом");
  if (!Locked(fd.Get(), packagePath)) return false;
  // the command that held it may have saved a new package in its place
  if (!StillNamed(fd.Get(), packagePath, true)) return false;
  fd_ = fd.Release();
  return true;
}

// PKG.lock for a package yet to be made: made anew, or one of the caller's own left by a
// command that was killed. Never followed, never waited on, and only a regular file of the
// caller's own is locked; anything else there is another user's, who may be making the same
// package, and is waited for like any other command.
bool PackageLock::TryHelper(const std::string& packagePath) {
  const std::string path = packagePath + ".lock";
  const int flags = O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC;
  int made = open(path.c_str(), flags | O_CREAT | O_EXCL, 0600);
  if (made < 0 && errno != EEXIST) throw Failure(SystemError("не удалось создать файл блокировки", path));
  Descriptor fd(made >= 0 ? made : open(path.c_str(), flags));
  if (made < 0) {
    struct stat st {};
    if (fd.Get() < 0 || fstat(fd.Get(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != geteuid()) {
      foreign_ = fd.Get() >= 0 || errno != ENOENT;  // ENOENT: removed meanwhile
      return false;
    }
  }
  if (!Locked(fd.Get(), path) || !StillNamed(fd.Get(), path, false)) return false;
  fd_ = fd.Release();
  helper_ = path;
  // another command made the package meanwhile: lock that instead
  struct stat st {};
  if (stat(packagePath.c_str(), &st) == 0) {
    ReleaseHelper();
    return false;
  }
  return true;
}

// Removed while still locked, and only when the name is still that of the file locked: whoever
// opened it meanwhile finds it gone once they hold it, and tries again.
void PackageLock::ReleaseHelper() {
  if (fd_ >= 0 && !helper_.empty() && StillNamed(fd_, helper_, false)) unlink(helper_.c_str());
  helper_.clear();
  if (fd_ >= 0) close(fd_);  // releases the lock
  fd_ = -1;
}

PackageLock::~PackageLock() {
  ReleaseHelper();
}

}  // namespace vorlent
