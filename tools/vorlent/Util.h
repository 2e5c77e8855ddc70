// Files, names and the tables of the command line: transactions and signer roles by name.
#pragma once

#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <utility>

#include "Client.h"

namespace vorlent {

// An open file descriptor, closed with the object.
class Descriptor {
 public:
  explicit Descriptor(int fd) : fd_(fd) {}
  ~Descriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  Descriptor(Descriptor&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  Descriptor& operator=(Descriptor&&) = delete;
  int Get() const { return fd_; }
  int Release() { return std::exchange(fd_, -1); }

 private:
  int fd_;
};

// Opens a file for reading; "не удалось открыть файл" when it cannot.
Descriptor OpenForReading(const std::string& path);
// The largest file the command reads whole: what the library takes as bytes in memory.
constexpr std::uint64_t kMaxWholeFile = 0x7FFFFFFF;
// The largest signature, certificate, key or certificate bundle the command reads: real ones
// are kilobytes (a signature carrying a chain and lists, a few megabytes).
constexpr std::uint64_t kMaxSmallFile = 64ULL << 20;
// A whole file of at most `maxSize` bytes; a larger one is refused before it is read.
std::string ReadFile(const std::string& path, std::uint64_t maxSize = kMaxWholeFile);
// The size of a file, 0 when it cannot be read.
std::uint64_t FileSize(const std::string& path);
// Writes through a new temporary file of a unique name beside the target (never through a
// link) and puts it in the target's place: over what is there when `replace`, else only
// where nothing is, refusing an existing file or link.
void WriteFile(const std::string& path, std::string_view bytes, bool replace);
// The same with the bytes written by `write` to the temporary file's descriptor (false: failed,
// errno set; an exception leaves no temporary file either).
void WriteFileWith(const std::string& path, bool replace, const std::function<bool(int fd)>& write);
// Random names WriteFile tries for its temporary file before it gives up.
constexpr int kTemporaryNameAttempts = 100;
bool FileExists(const std::string& path);
void MakeDirectories(const std::string& path);

// A name from a package made safe as one file name: no folders, no control characters,
// no leading dots.
std::string SafeFileName(const std::string& name);
// The DER bytes of a certificate given as DER or PEM.
std::string CertificateDer(const std::string& bytes);
// A thumbprint as typed (spaces and colons allowed), upper-case hex.
std::string NormalizeSha1(const std::string& text);

TRANSACTION_TYPES ParseTransaction(const std::string& name);
std::string TransactionName(TRANSACTION_TYPES type);
SIGN_ROLE_TYPES ParseRole(const std::string& name);
std::string RoleName(SIGN_ROLE_TYPES role);
// A content type from a file name's extension.
std::string GuessContentType(const std::string& path);
std::string BaseName(const std::string& path);

// Text from packages, certificates and the library made safe for a terminal: valid UTF-8
// stays as it is; control characters (C0, DEL, C1) and bytes that are not UTF-8 become
// escapes such as \n, \x1b, \u009b.
std::string Printable(const std::string& text);

// How long a command that changes a package waits for another one on the same package,
// trying again after each pause.
constexpr std::chrono::seconds kPackageLockWait{60};
constexpr std::chrono::milliseconds kPackageLockPause{50};

// The exclusive right to change one package, held from reading the package to saving it: a lock
// (flock) on the package file itself, taken only once the path still names the file locked (a
// save puts a new file in its place, and whoever waited on the old one tries again). A package
// that does not exist yet is locked through PKG.lock beside it, a regular file of the caller's
// own, made for the purpose and removed with the lock. Nothing is left behind, and nothing
// another user puts beside the package (a FIFO, a link, a file of theirs held locked) is opened
// in a way that can block, is followed, or is ever removed.
class PackageLock {
 public:
  explicit PackageLock(const std::string& packagePath);
  ~PackageLock();
  PackageLock(const PackageLock&) = delete;
  PackageLock& operator=(const PackageLock&) = delete;

 private:
  // One attempt; true when the lock is held.
  bool TryPackage(const std::string& packagePath);
  bool TryHelper(const std::string& packagePath);
  void ReleaseHelper();

  int fd_ = -1;
  std::string helper_;    // the PKG.lock this lock made or took over, removed with it
  bool foreign_ = false;  // the last attempt met a PKG.lock that is not the caller's
};

}  // namespace vorlent
