#include "foundation/Files.h"

#include <dirent.h>
#include <fcntl.h>
#include <fnmatch.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "foundation/CodePage.h"
#include "foundation/Errors.h"
#include "foundation/FileFaults.h"
#include "foundation/Format.h"
#include "foundation/Guid.h"
#include "foundation/StrArray.h"

namespace qv {
namespace {

struct DirCloser {
  void operator()(DIR* d) const { ::closedir(d); }
};
using DirHandle = std::unique_ptr<DIR, DirCloser>;

// The names of a folder's entries (1251), without "." and "..".
std::vector<std::string> FolderEntries(const std::string& folder) {
  std::vector<std::string> names;
  DirHandle dir(::opendir(SysPath(folder).c_str()));
  if (!dir) return names;
  while (dirent* entry = ::readdir(dir.get())) {
    std::string name = entry->d_name;
    if (name == "." || name == "..") continue;
    names.push_back(Utf8ToCp1251(name));
  }
  std::sort(names.begin(), names.end());
  return names;
}

// The path of an entry FolderEntries gave: its name exactly as it is (CombinePath trims
// blanks and control characters, which a name may start or end with).
std::string EntryPath(const std::string& folder, const std::string& name) {
  if (!folder.empty() && folder.back() == '/') return folder + name;
  return folder + "/" + name;
}

bool LStat(const std::string& path, struct stat& st) {
  return ::lstat(SysPath(path).c_str(), &st) == 0;
}

// The names (as the system gives them) of the entries of an open folder, without "." and "..".
std::vector<std::string> EntriesAt(int folderFd) {
  std::vector<std::string> names;
  int copy = ::dup(folderFd);
  if (copy < 0) return names;
  DirHandle dir(::fdopendir(copy));
  if (!dir) {
    ::close(copy);
    return names;
  }
  ::rewinddir(dir.get());
  while (dirent* entry = ::readdir(dir.get())) {
    std::string name = entry->d_name;
    if (name != "." && name != "..") names.push_back(name);
  }
  return names;
}

// Opens the folder `name` inside `folderFd` for removing what it holds, never through a link;
// a folder without the owner's rights gets them first.
int OpenChildFolder(int folderFd, const std::string& name, const struct stat& st) {
  const int flags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
  int fd = ::openat(folderFd, name.c_str(), flags);
  if (fd < 0 && errno == EACCES && ::fchmodat(folderFd, name.c_str(), st.st_mode | S_IRWXU, 0) == 0) {
    fd = ::openat(folderFd, name.c_str(), flags);
  }
  if (fd >= 0 && (st.st_mode & S_IRWXU) != S_IRWXU) ::fchmod(fd, st.st_mode | S_IRWXU);
  return fd;
}

std::string WithoutTrailingSlash(std::string path) {
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  return path;
}

}  // namespace

const char kTemporaryNamePattern[] = "*.tmp-????????????????????????????????";

std::string TemporaryNameFor(const std::string& path) {
  return path + ".tmp-" + NewCompactGuid();
}

CFileHandle::~CFileHandle() {
  if (fd_ >= 0) ::close(fd_);
}

void CFileHandle::Reset(int fd) {
  if (fd_ >= 0) ::close(fd_);
  fd_ = fd;
}

namespace {

// Large writes are split: the kernel gives a write a page-cache block as large as the write
// (up to 2 MiB), and on a virtual machine whose host takes freed memory back, large blocks
// are the ones it must supply again. Writing 1 GiB in pieces of 1 MiB took 1.8-2.9 s there,
// in pieces of 64 KiB 0.25-0.3 s; elsewhere the pieces cost nothing measurable.
constexpr std::size_t kWritePiece = 64 << 10;

bool WriteAllAt(int fd, const char* data, std::size_t count, off_t offset, bool positioned) {
  while (count > 0) {
    std::size_t piece = std::min(count, kWritePiece);
    ssize_t n = positioned ? ::pwrite(fd, data, piece, offset) : ::write(fd, data, piece);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (n == 0) {
      errno = EIO;
      return false;
    }
    data += n;
    offset += n;
    count -= static_cast<std::size_t>(n);
  }
  return true;
}

}  // namespace

bool WriteAllBytes(int fd, const char* data, std::size_t count) {
  return WriteAllAt(fd, data, count, 0, false);
}

bool WriteAllBytesAt(int fd, const char* data, std::size_t count, off_t offset) {
  return WriteAllAt(fd, data, count, offset, true);
}

void BlockBufferFree::operator()(char* memory) const {
  std::free(memory);
}

BlockBuffer NewBlockBuffer(std::size_t size) {
  void* memory = nullptr;
  if (::posix_memalign(&memory, kDirectBlock, size) != 0) throw std::bad_alloc();
  return BlockBuffer(static_cast<char*>(memory));
}

namespace {

// Writes whole blocks past the page cache; false with errno EINVAL when the file system refuses
// before anything is written.
bool WriteBlocksDirect(int fd, const char* data, std::size_t count, off_t offset) {
  const int flags = ::fcntl(fd, F_GETFL);
  if (flags < 0 || ::fcntl(fd, F_SETFL, flags | O_DIRECT) != 0) {
    errno = EINVAL;
    return false;
  }
  ssize_t n = 0;
  while (count > 0) {
    n = ::pwrite(fd, data, count, offset);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0 || static_cast<std::size_t>(n) % kDirectBlock != 0) break;
    data += n;
    offset += n;
    count -= static_cast<std::size_t>(n);
  }
  const int error = errno;
  ::fcntl(fd, F_SETFL, flags);
  if (count == 0) return true;
  if (n < 0) {
    errno = error;
    return false;
  }
  // Cut short within a block: the rest through the page cache.
  data += n;
  offset += n;
  count -= static_cast<std::size_t>(n);
  return WriteAllBytesAt(fd, data, count, offset);
}

}  // namespace

bool WriteToDisk(int fd, const char* data, std::size_t count, off_t offset, bool& direct) {
  if (count == 0) return true;
  const bool blocks = count % kDirectBlock == 0 && offset % static_cast<off_t>(kDirectBlock) == 0 &&
                      reinterpret_cast<std::uintptr_t>(data) % kDirectBlock == 0;
  if (direct && blocks) {
    if (WriteBlocksDirect(fd, data, count, offset)) return true;
    if (errno != EINVAL) return false;
    direct = false;  // the file system refuses: the page cache from now on
  }
  if (!WriteAllBytesAt(fd, data, count, offset)) return false;
  ::sync_file_range(fd, offset, static_cast<off_t>(count), SYNC_FILE_RANGE_WRITE);
  return true;
}

bool CopyFileBytes(int from, int to, std::uint64_t length, const CopyWatcher& watch) {
  // Through two buffers of whole blocks, read here and written straight to disk by a second
  // thread meanwhile. The kernel's own copy lands in new page-cache pages, and on a virtual
  // machine that supplies each new page anew 1 GiB took 0.5-2.1 s that way; the disk takes
  // 1 GiB of direct writes in 0.6-0.9 s, the time the flush of the copy waited for anyway.
  constexpr std::size_t kStep = 4 << 20;
  struct Piece {
    BlockBuffer bytes;
    std::size_t size = 0;
    std::uint64_t at = 0;
    bool full = false;  // read and waiting to be written
  };
  std::array<Piece, 2> pieces;
  try {
    for (Piece& piece : pieces) piece.bytes = NewBlockBuffer(kStep);
  } catch (const std::bad_alloc&) {
    errno = ENOMEM;
    return false;
  }
  bool direct = true;
  auto write = [&](const Piece& piece) {  // errno of the failure, or 0
    return WriteToDisk(to, piece.bytes.get(), piece.size, static_cast<off_t>(piece.at), direct) ? 0 : errno;
  };
  std::mutex lock;
  std::condition_variable changed;
  int failure = 0;
  bool finished = false;
  std::thread writer;
  try {
    writer = std::thread([&] {
      for (std::size_t k = 0;; ++k) {
        Piece& piece = pieces[k % pieces.size()];
        {
          std::unique_lock<std::mutex> hold(lock);
          changed.wait(hold, [&] { return piece.full || finished; });
          if (!piece.full) return;
        }
        const int error = write(piece);
        {
          std::lock_guard<std::mutex> hold(lock);
          piece.full = false;
          if (failure == 0) failure = error;
        }
        changed.notify_all();
        if (error) return;
      }
    });
  } catch (...) {
    // no thread: each piece is written as soon as it is read
  }
  std::size_t k = 0;
  for (std::uint64_t done = 0; done < length;) {
    Piece& piece = pieces[k++ % pieces.size()];
    if (writer.joinable()) {
      std::unique_lock<std::mutex> hold(lock);
      changed.wait(hold, [&] { return !piece.full || failure != 0; });
      if (failure) break;
    }
    piece.at = done;
    piece.size = static_cast<std::size_t>(std::min<std::uint64_t>(kStep, length - done));
    int error = 0;
    for (std::size_t got = 0; got < piece.size && error == 0;) {
      ssize_t n = ::pread(from, piece.bytes.get() + got, piece.size - got, static_cast<off_t>(done + got));
      if (n < 0 && errno == EINTR) continue;
      error = n < 0 ? errno : n == 0 ? EIO : 0;  // EIO: the file is shorter than it was
      if (n > 0) got += static_cast<std::size_t>(n);
    }
    if (error == 0 && watch) watch(piece.bytes.get(), piece.size, done);
    if (error == 0 && !writer.joinable()) error = write(piece);
    {
      std::lock_guard<std::mutex> hold(lock);
      if (error) {
        if (failure == 0) failure = error;
        break;
      }
      piece.full = writer.joinable();
    }
    changed.notify_all();
    done += piece.size;
  }
  {
    std::lock_guard<std::mutex> hold(lock);
    finished = true;
  }
  changed.notify_all();
  if (writer.joinable()) writer.join();
  errno = failure;
  return failure == 0;
}

CExactFileWriter::CExactFileWriter(std::string fileName) : fileName_(std::move(fileName)) {}

CExactFileWriter::~CExactFileWriter() {
  try {
    if (fd_ >= 0) ::close(fd_);
  } catch (...) {
  }
}

void CExactFileWriter::Open(std::uint64_t size) {
  try {
    if (size == 0) RaiseError("Attempt to mapping the file of size=0");
    if (size > kMaxWholeFile) RaiseError("Файл слишком велик!"_cp);
    if (int fault = InjectedFileFault(FileStep::kOpen, fileName_)) RaiseFileError(fault, fileName_);
    int fd = ::open(SysPath(fileName_).c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    if (fd < 0) RaiseFileError(errno, fileName_);
    fd_ = fd;
    size_ = size;
    position_ = 0;
  } catch (const CVorlentException& e) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    RaiseInPlaceOf(e, FormatText("Не удалось открыть файл [%s]: [%s]"_cp, {fileName_, e.Message()}));
  }
}

void CExactFileWriter::Write(const void* data, std::size_t count) {
  try {
    if (fd_ < 0 || position_ + count > size_) RaiseError("write beyond the opened size");
    if (int fault = InjectedFileFault(FileStep::kWrite, fileName_)) RaiseFileError(fault, fileName_);
    if (!WriteAllBytes(fd_, static_cast<const char*>(data), count)) RaiseFileError(errno, fileName_);
    position_ += count;
  } catch (const CVorlentException& e) {
    RaiseInPlaceOf(e, FormatText("Не удалось записать в файл [%s]: [%s]"_cp, {fileName_, e.Message()}));
  }
}

void CExactFileWriter::Close() {
  if (fd_ < 0) return;
  int fd = fd_;
  fd_ = -1;
  const int fault = InjectedFileFault(FileStep::kCommit, fileName_);
  bool ok = fault == 0 && ::ftruncate(fd, static_cast<off_t>(size_)) == 0;
  int error = fault ? fault : errno;
  ok = (::close(fd) == 0) && ok;
  if (!ok) {
    if (!error) error = EIO;
    RaiseFileError(
        error, fileName_,
        FormatText("Не удалось записать в файл [%s]: [%s]"_cp, {fileName_, SystemErrorText(error)}));
  }
}

std::string ReadOpenFile(int fd, std::uint64_t maxSize, const std::string& tooLargeMessage) {
  struct stat st {};
  if (::fstat(fd, &st) != 0) RaiseFileError(errno);
  auto tooLarge = [&] { RaiseError(tooLargeMessage); };
  if (static_cast<std::uint64_t>(st.st_size) > maxSize) tooLarge();
  std::string data;
  data.reserve(static_cast<std::size_t>(st.st_size));
  char buffer[65536];
  for (;;) {
    ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0) {
      if (errno == EINTR) continue;
      RaiseFileError(errno);
    }
    if (n == 0) break;
    data.append(buffer, static_cast<std::size_t>(n));
    if (data.size() > maxSize) tooLarge();
  }
  return data;
}

int OpenFileForReading(const std::string& fileName) {
  struct stat st {};
  if (::stat(SysPath(fileName).c_str(), &st) != 0 || S_ISDIR(st.st_mode)) {
    RaiseErrorFmt("Файл не найден: [%s]"_cp, {fileName});
  }
  int fd = ::open(SysPath(fileName).c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) RaiseFileError(errno, fileName);
  return fd;
}

std::string ReadFileBytes(const std::string& fileName) {
  CFileHandle fd(OpenFileForReading(fileName));
  return ReadOpenFile(fd.Get(), kMaxWholeFile, "Файл слишком велик!"_cp);
}

std::string ReadRegularFile(const std::string& fileName, std::uint64_t maxSize) {
  struct stat st {};
  return ReadRegularFile(fileName, maxSize, st);
}

std::string ReadRegularFile(const std::string& fileName, std::uint64_t maxSize, struct stat& st) {
  // Non-blocking, so that opening a FIFO does not wait for a writer.
  CFileHandle fd(::open(SysPath(fileName).c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  if (fd.Get() < 0) {
    if (errno == ENOENT) RaiseErrorFmt("Файл не найден: [%s]"_cp, {fileName});
    RaiseFileError(errno, fileName);
  }
  if (::fstat(fd.Get(), &st) != 0) RaiseFileError(errno, fileName);
  if (!S_ISREG(st.st_mode)) RaiseErrorFmt("Не является обычным файлом: [%s]"_cp, {fileName});
  return ReadOpenFile(fd.Get(), maxSize, FormatText("Файл слишком велик: [%s]"_cp, {fileName}));
}

void WriteFileBytes(const std::string& fileName, const void* data, std::size_t count) {
  CExactFileWriter writer(fileName);
  writer.Open(count);
  writer.Write(data, count);
  writer.Close();
}

void WriteTextFile(const std::string& fileName, const std::string& text) {
  if (fileName.empty()) RaiseError("Передано пустое имя файла"_cp);
  if (int fault = InjectedFileFault(FileStep::kOpen, fileName)) RaiseFileError(fault, fileName);
  CFileHandle fd(::open(SysPath(fileName).c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666));
  if (fd.Get() < 0) RaiseFileError(errno, fileName);
  if (text.empty()) return;
  if (int fault = InjectedFileFault(FileStep::kWrite, fileName)) RaiseFileError(fault, fileName);
  if (!WriteAllBytes(fd.Get(), text.data(), text.size())) RaiseFileError(errno, fileName);
}

void KeepAccessOf(const std::string& target, const std::string& path) {
  struct stat st {};
  if (::stat(SysPath(target).c_str(), &st) != 0) return;
  mode_t mode = st.st_mode & 0777;
  if (::chown(SysPath(path).c_str(), static_cast<uid_t>(-1), st.st_gid) != 0)
    mode &= ~static_cast<mode_t>(070);
  if (::chmod(SysPath(path).c_str(), mode) != 0) RaiseFileError(errno, path);
}

void ReplaceFileAtomically(const std::string& fileName, const std::string& bytes, unsigned mode,
                           bool keepExisting) {
  struct stat existing {};
  if (keepExisting && LStat(fileName, existing) && !S_ISREG(existing.st_mode)) {
    RaiseErrorFmt("Не является обычным файлом: [%s]"_cp, {fileName});
  }
  if (int fault = InjectedFileFault(FileStep::kOpen, fileName)) RaiseFileError(fault, fileName);
  std::string temp = TemporaryNameFor(fileName);
  int error = 0;
  {
    CFileHandle fd(
        ::open(SysPath(temp).c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, static_cast<mode_t>(mode)));
    if (fd.Get() < 0) RaiseFileError(errno, temp);
    if (int fault = InjectedFileFault(FileStep::kWrite, fileName)) {
      error = fault;
    } else if (!WriteAllBytes(fd.Get(), bytes.data(), bytes.size()) ||
               ::fchmod(fd.Get(), static_cast<mode_t>(mode)) != 0 || ::fsync(fd.Get()) != 0) {
      error = errno ? errno : EIO;
    }
    if (::close(fd.Release()) != 0 && !error) error = errno;
  }
  if (!error && keepExisting) {
    try {
      KeepAccessOf(fileName, temp);
    } catch (const CVorlentException&) {
      ::unlink(SysPath(temp).c_str());
      throw;
    }
  }
  if (!error) error = InjectedFileFault(FileStep::kCommit, fileName);
  if (!error && ::rename(SysPath(temp).c_str(), SysPath(fileName).c_str()) != 0) error = errno;
  if (!error) return;
  ::unlink(SysPath(temp).c_str());
  RaiseFileError(error, fileName);
}

bool FileExists(const std::string& fileName) {
  struct stat st {};
  return ::stat(SysPath(fileName).c_str(), &st) == 0 && !S_ISDIR(st.st_mode);
}

bool IsDirectory(const std::string& path) {
  struct stat st {};
  return !path.empty() && ::stat(SysPath(path).c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool ForceDirectories(const std::string& path, unsigned mode) {
  if (path.empty()) return false;
  if (IsDirectory(path)) return true;
  std::string trimmed = path;
  while (trimmed.size() > 1 && trimmed.back() == '/') trimmed.pop_back();
  std::size_t slash = trimmed.find_last_of('/');
  if (slash != std::string::npos && slash > 0 && !ForceDirectories(trimmed.substr(0, slash), mode))
    return false;
  if (::mkdir(SysPath(trimmed).c_str(), mode) == 0) return true;
  // errno stays that of mkdir (EACCES, EROFS, ...), not that of the check
  const int error = errno;
  if (IsDirectory(trimmed)) return true;
  errno = error;
  return false;
}

bool DeleteFileForce(const std::string& fileName) {
  std::string sys = SysPath(fileName);
  struct stat st {};
  if (::lstat(sys.c_str(), &st) == 0 && !S_ISLNK(st.st_mode) && !(st.st_mode & S_IWUSR)) {
    ::chmod(sys.c_str(), st.st_mode | S_IWUSR);
  }
  return ::unlink(sys.c_str()) == 0;
}

bool DeleteFolderContentsAt(int folderFd, const char* keep) {
  bool all = true;
  for (const std::string& name : EntriesAt(folderFd)) {
    if (keep && name == keep) continue;
    struct stat st {};
    if (::fstatat(folderFd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
      all = false;
      continue;
    }
    if (S_ISDIR(st.st_mode)) {
      CFileHandle child(OpenChildFolder(folderFd, name, st));
      all = child.Get() >= 0 && DeleteFolderContentsAt(child.Get()) && all;
      all = ::unlinkat(folderFd, name.c_str(), AT_REMOVEDIR) == 0 && all;
    } else {
      all = ::unlinkat(folderFd, name.c_str(), 0) == 0 && all;
    }
  }
  return all;
}

bool DeleteFolderTree(const std::string& path, bool removeRoot) {
  if (path.empty()) return false;
  // "link/" would name the folder the link points to
  std::string sys = SysPath(WithoutTrailingSlash(path));
  struct stat st {};
  if (::lstat(sys.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return false;
  if ((st.st_mode & S_IRWXU) != S_IRWXU) ::chmod(sys.c_str(), st.st_mode | S_IRWXU);
  CFileHandle folder(::open(sys.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  bool all = folder.Get() >= 0 && DeleteFolderContentsAt(folder.Get());
  if (removeRoot) all = (::rmdir(sys.c_str()) == 0) && all;
  return all;
}

void RemoveFolderTree(const std::string& path) {
  DeleteFolderTree(path, true);
}

namespace {

// Whether the open folder carries the mark of a working folder: an empty regular file of this
// user's. It is empty so that making a working folder writes no byte to disk.
bool HasWorkingFolderMark(int folderFd) {
  struct stat st {};
  return ::fstatat(folderFd, kWorkingFolderMark, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(st.st_mode) &&
         st.st_uid == ::geteuid() && st.st_size == 0;
}

// Removes the stale folder `name` of `dirFd` (its status `st`, on the device `device`) when it
// holds files only: nothing below it is descended into. With `marked`, only a folder that carries
// the working folder's mark. A folder some process holds locked is in use and stays.
bool RemoveStaleFolder(int dirFd, const std::string& name, const struct stat& st, dev_t device, bool marked) {
  if (st.st_dev != device) return false;  // something mounted there
  CFileHandle child(::openat(dirFd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  struct stat opened {};
  if (child.Get() < 0 || ::fstat(child.Get(), &opened) != 0 || opened.st_dev != st.st_dev ||
      opened.st_ino != st.st_ino || ::flock(child.Get(), LOCK_EX | LOCK_NB) != 0) {
    return false;
  }
  if (marked && !HasWorkingFolderMark(child.Get())) return false;
  std::vector<std::string> files;
  for (const std::string& entry : EntriesAt(child.Get())) {
    struct stat inner {};
    if (::fstatat(child.Get(), entry.c_str(), &inner, AT_SYMLINK_NOFOLLOW) != 0 || S_ISDIR(inner.st_mode) ||
        inner.st_dev != st.st_dev) {
      return false;  // a folder the library did not make there: all of it stays
    }
    if (entry != kWorkingFolderMark) files.push_back(entry);
  }
  for (const std::string& entry : files) ::unlinkat(child.Get(), entry.c_str(), 0);
  if (marked) ::unlinkat(child.Get(), kWorkingFolderMark, 0);
  return ::unlinkat(dirFd, name.c_str(), AT_REMOVEDIR) == 0;
}

// Removes stale entries of `folder` matching `pattern`: regular files, and folders by
// RemoveStaleFolder. Only this user's, never links, never anything on another device.
// `folder` names the open folder `dir` in the trace.
void RemoveStaleAt(int dir, const std::string& folder, std::initializer_list<const char*> patterns,
                   bool files, bool markedFolders) {
  struct stat self {};
  if (dir < 0 || ::fstat(dir, &self) != 0) return;
  const std::time_t now = std::time(nullptr);
  for (const std::string& name : EntriesAt(dir)) {
    bool ours = false;
    for (const char* pattern : patterns) ours = ours || ::fnmatch(pattern, name.c_str(), 0) == 0;
    struct stat st {};
    if (!ours || ::fstatat(dir, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
    if (st.st_uid != ::geteuid() || st.st_dev != self.st_dev || now - st.st_mtime < kStaleTemporaryAge)
      continue;
    if (files && S_ISREG(st.st_mode)) {
      if (::unlinkat(dir, name.c_str(), 0) == 0)
        Trace("Удален оставшийся временный файл: %s/%s"_cp, {folder, Utf8ToCp1251(name)});
    } else if (S_ISDIR(st.st_mode) && RemoveStaleFolder(dir, name, st, self.st_dev, markedFolders)) {
      Trace("Удалена оставшаяся временная папка: %s/%s"_cp, {folder, Utf8ToCp1251(name)});
    }
  }
}

void RemoveStale(const std::string& folder, std::initializer_list<const char*> patterns, bool files,
                 bool markedFolders) {
  CFileHandle dir(::open(SysPath(folder).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  RemoveStaleAt(dir.Get(), folder, patterns, files, markedFolders);
}

}  // namespace

const char kWorkingFolderMark[] = "qelvorlent:working-folder";

void RemoveStaleTemporaries(const std::string& folder, std::initializer_list<const char*> patterns) {
  RemoveStale(folder, patterns, true, false);
}

void RemoveStaleTemporariesAt(int folderFd, const std::string& folder,
                              std::initializer_list<const char*> patterns) {
  RemoveStaleAt(folderFd, folder, patterns, true, false);
}

void RemoveStaleWorkingFolders(const std::string& folder, const char* pattern) {
  RemoveStale(folder, {pattern}, false, true);
}

int MakeWorkingFolder(const std::string& path) {
  const std::string sys = SysPath(path);
  if (::mkdir(sys.c_str(), 0700) != 0) RaiseFileError(errno, path);
  CFileHandle fd(::open(sys.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  int error = fd.Get() < 0 ? errno : 0;
  if (!error) {
    CFileHandle mark(
        ::openat(fd.Get(), kWorkingFolderMark, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (mark.Get() < 0) error = errno;
  }
  if (error) {
    ::rmdir(sys.c_str());
    RaiseFileError(error, path);
  }
  ::flock(fd.Get(), LOCK_SH);
  return fd.Release();
}

bool ClearWorkingFolder(int folderFd) {
  return DeleteFolderContentsAt(folderFd, kWorkingFolderMark);
}

void ListFiles(const std::string& folder, const std::string& mask, unsigned attributes, CStrArray& list) {
  // "*.*" is every name, with or without a dot, as Windows clients mean it
  std::string pattern = SysPath(mask.empty() || mask == "*.*" ? std::string("*") : mask);
  for (const std::string& name : FolderEntries(folder)) {
    if (::fnmatch(pattern.c_str(), SysPath(name).c_str(), 0) != 0) continue;
    struct stat st {};
    if (!LStat(EntryPath(folder, name), st)) continue;
    if (S_ISDIR(st.st_mode) && !(attributes & kListFolders)) continue;
    list.AddKey(name);
  }
}

void DeleteFiles(const std::string& folder, const std::string& mask) {
  CStrArray names;
  ListFiles(folder, mask, kListFiles, names);
  for (int i = 0; i < names.Count(); ++i) ::unlink(SysPath(CombinePath(folder, names.Key(i))).c_str());
}

std::string Trim(const std::string& text) {
  std::size_t begin = 0;
  std::size_t end = text.size();
  while (begin < end && static_cast<unsigned char>(text[begin]) <= ' ') ++begin;
  while (end > begin && static_cast<unsigned char>(text[end - 1]) <= ' ') --end;
  return text.substr(begin, end - begin);
}

std::string IncludeTrailingSlash(const std::string& path) {
  std::string result = Trim(path);
  if (!result.empty() && result.back() != '/') result += '/';
  return result;
}

std::string CombinePath(const std::string& folder, const std::string& name) {
  std::string a = Trim(folder);
  std::string b = Trim(name);
  if (a.empty() && b.empty()) return {};
  if (!a.empty() && (a.back() == '/' || a.back() == '\\')) a.pop_back();
  if (!b.empty() && (b.front() == '/' || b.front() == '\\')) b.erase(0, 1);
  if (a.empty()) return b;
  if (b.empty()) return a + "/";
  return a + "/" + b;
}

std::string ExtractFileName(const std::string& path) {
  std::size_t cut = path.find_last_of("/\\:");
  return cut == std::string::npos ? path : path.substr(cut + 1);
}

std::string ExtractFileExt(const std::string& path) {
  std::string name = ExtractFileName(path);
  std::size_t dot = name.find_last_of('.');
  return dot == std::string::npos ? std::string() : name.substr(dot);
}

std::string GetEnvironmentText(const std::string& name) {
  const char* value = std::getenv(SysPath(name).c_str());
  return value ? Utf8ToCp1251(value) : std::string();
}

std::string TempFolder() {
  for (const char* name : {"TMP", "TMPDIR"}) {
    std::string value = GetEnvironmentText(name);
    if (!value.empty()) return value;
  }
  return "/tmp";
}

void SplitText(const std::string& text, char separator, CStrArray& list) {
  list.Clear();
  std::size_t start = 0;
  for (;;) {
    std::size_t cut = text.find(separator, start);
    list.AddKey(Trim(text.substr(start, cut == std::string::npos ? std::string::npos : cut - start)));
    if (cut == std::string::npos) break;
    start = cut + 1;
  }
}

std::string HexText(const std::string& bytes) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(bytes.size() * 2);
  for (char c : bytes) {
    unsigned char b = static_cast<unsigned char>(c);
    out += kHex[b >> 4];
    out += kHex[b & 0xF];
  }
  return out;
}

std::string HexText0x(const std::string& bytes) {
  return "0x" + HexText(bytes);
}

std::string HexToBytes(const std::string& text) {
  auto digit = [&](char c) -> int {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    RaiseErrorFmt("Неверный шестнадцатеричный текст: [%s]"_cp, {text});
  };
  if (text.size() % 2) RaiseErrorFmt("Неверный шестнадцатеричный текст: [%s]"_cp, {text});
  std::string out;
  out.reserve(text.size() / 2);
  for (std::size_t i = 0; i < text.size(); i += 2) {
    out += static_cast<char>(digit(text[i]) * 16 + digit(text[i + 1]));
  }
  return out;
}

}  // namespace qv
