// Whole-file access and folder helpers. Every path is 1251 text and becomes UTF-8 right
// at the system call; names that come back from the system become 1251 again.
#pragma once

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <memory>
#include <string>

#include <sys/types.h>

struct stat;

namespace qv {

class CStrArray;

// An open file descriptor that closes itself.
class CFileHandle {
 public:
  explicit CFileHandle(int fd = -1) : fd_(fd) {}
  ~CFileHandle();
  CFileHandle(const CFileHandle&) = delete;
  CFileHandle& operator=(const CFileHandle&) = delete;
  int Get() const { return fd_; }
  // Closes the descriptor held and takes `fd` instead.
  void Reset(int fd = -1);
  // Gives the descriptor up without closing it.
  int Release() {
    int fd = fd_;
    fd_ = -1;
    return fd;
  }

 private:
  int fd_;
};

// Writes all `count` bytes, going on after interrupted and partial writes; false (with
// errno set) on failure.
bool WriteAllBytes(int fd, const char* data, std::size_t count);
// The same at `offset`, without moving the file position.
bool WriteAllBytesAt(int fd, const char* data, std::size_t count, off_t offset);
// The unit of writes past the page cache: memory, offset and size are multiples of it.
constexpr std::size_t kDirectBlock = 4096;
// Memory for direct writes: `size` bytes aligned to kDirectBlock; throws std::bad_alloc.
struct BlockBufferFree {
  void operator()(char* memory) const;
};
using BlockBuffer = std::unique_ptr<char, BlockBufferFree>;
BlockBuffer NewBlockBuffer(std::size_t size);
// Writes `count` bytes at `offset` on their way to disk. Whole blocks from block-aligned memory
// go straight to the disk, past the page cache (O_DIRECT for this write only), while `direct`
// holds; a file system that refuses clears it. Anything else goes through the page cache and
// is started to disk at once, so that a later flush waits only for the last of it. False (with
// errno set) on failure.
bool WriteToDisk(int fd, const char* data, std::size_t count, off_t offset, bool& direct);
// Sees each piece a copy reads: its bytes, its size and its offset in the file.
using CopyWatcher = std::function<void(const char*, std::size_t, std::uint64_t)>;
// Copies the first `length` bytes of `from` to the start of `to`, showing each piece to `watch`
// before it is written, whole blocks straight to disk where the file system allows it; false
// (with errno set) on failure.
bool CopyFileBytes(int from, int to, std::uint64_t length, const CopyWatcher& watch = {});

// Writes a file so that it holds exactly the given bytes, whatever it held before; the
// messages are those of the memory-mapped writer it replaces.
class CExactFileWriter {
 public:
  explicit CExactFileWriter(std::string fileName);
  ~CExactFileWriter();
  CExactFileWriter(const CExactFileWriter&) = delete;
  CExactFileWriter& operator=(const CExactFileWriter&) = delete;

  // Opens or creates the file for `size` bytes; size 0 and 4 GiB or more are refused.
  void Open(std::uint64_t size);
  void Write(const void* data, std::size_t count);
  // Ends the file at `size` bytes and closes it.
  void Close();

  std::uint64_t Position() const { return position_; }

 private:
  std::string fileName_;
  int fd_ = -1;
  std::uint64_t size_ = 0;
  std::uint64_t position_ = 0;
};

constexpr std::uint64_t kMaxWholeFile = 0xFFFFFFFFULL;  // 4 GiB less one byte

// The largest files the library reads from its own folders on disk (certificate stores, key
// containers, the registry); anything larger is refused unread.
constexpr std::uint64_t kMaxStoredCertificate = 1ULL << 20;  // a certificate, its properties
constexpr std::uint64_t kMaxStoredCrl = 256ULL << 20;        // the CRL of a large authority
constexpr std::uint64_t kMaxContainerFile = 1ULL << 20;      // a key, a name, a certificate
constexpr std::uint64_t kMaxRegistryFile = 64ULL << 20;      // the registry text
// A temporary file or folder of the library not changed for this long is left over from a
// process that never finished, and is removed when its folder is next used.
constexpr long long kStaleTemporaryAge = 24 * 60 * 60;  // seconds

std::string ReadFileBytes(const std::string& fileName);
// Reads an open file to its end; more than `maxSize` bytes are refused with `tooLargeMessage`.
std::string ReadOpenFile(int fd, std::uint64_t maxSize, const std::string& tooLargeMessage);
// Opens the file that ReadFileBytes would read, for reading in pieces; the caller owns the
// descriptor. Raises the same errors.
int OpenFileForReading(const std::string& fileName);
// Reads a regular file of at most `maxSize` bytes. Anything else (a folder, a FIFO, a device,
// a larger file) is refused at once, without waiting on it or reading it.
std::string ReadRegularFile(const std::string& fileName, std::uint64_t maxSize);
// The same, with the status of the very file read (not of whatever the name names afterwards).
std::string ReadRegularFile(const std::string& fileName, std::uint64_t maxSize, struct stat& opened);
void WriteFileBytes(const std::string& fileName, const void* data, std::size_t count);
inline void WriteFileBytes(const std::string& fileName, const std::string& data) {
  WriteFileBytes(fileName, data.data(), data.size());
}
void WriteTextFile(const std::string& fileName, const std::string& text);
// Replaces the file with exactly `bytes` so that readers see the old or the new content,
// never a part: a new file beside it (exclusive, `mode`), flushed to disk, renamed over
// it. On failure the temporary file is removed and an operating-system error is raised.
// With `keepExisting`, a file already there keeps its permissions and, where the caller may,
// its group (KeepAccessOf), and anything there that is not a regular file (a link, a FIFO,
// a device, a folder) is refused rather than replaced; `mode` is then that of a new file.
void ReplaceFileAtomically(const std::string& fileName, const std::string& bytes, unsigned mode,
                           bool keepExisting = false);
// Gives the new file `path` that is to replace `target` the target's permissions and, where
// the caller may, its group, so that replacing a file never opens it to more users than
// before. When the group cannot be kept, the new file is given no group permissions at all.
// Nothing is changed when there is no target yet.
void KeepAccessOf(const std::string& target, const std::string& path);
// The name of a temporary beside `path` ("<path>.tmp-<32 hex digits>") and the shell
// pattern of such names, for RemoveStaleTemporaries.
std::string TemporaryNameFor(const std::string& path);
extern const char kTemporaryNamePattern[];

bool FileExists(const std::string& fileName);
bool IsDirectory(const std::string& path);
// Creates the folder and its missing parents with the given mode; true when it exists afterwards.
bool ForceDirectories(const std::string& path, unsigned mode = 0700);
bool DeleteFileForce(const std::string& fileName);
// Removes what the folder holds (and the folder itself with `removeRoot`). Links are removed
// as links and never followed, the folder itself included: a link in its place is left alone.
bool DeleteFolderTree(const std::string& path, bool removeRoot);
void RemoveFolderTree(const std::string& path);
// Removes everything inside the open folder `folderFd` through descriptors (entries relative
// to it, links removed as links), but the entry named `keep` if any; true when all of it went.
bool DeleteFolderContentsAt(int folderFd, const char* keep = nullptr);
// Removes the library's own leftovers in `folder`: entries whose names match one of the shell
// `patterns`, owned by this user, on the folder's own device, unchanged for kStaleTemporaryAge:
// regular files (never links), and folders that hold files only (nothing below them is entered).
// A folder that some process holds locked (flock) is in use and stays.
void RemoveStaleTemporaries(const std::string& folder, std::initializer_list<const char*> patterns);
// The same in the open folder `folderFd`, which `folder` names in the trace.
void RemoveStaleTemporariesAt(int folderFd, const std::string& folder,
                              std::initializer_list<const char*> patterns);

// Working folders (decrypted documents of an open package): private folders that carry the
// library's mark, a file of this name (no document in a package can have it: ":" is refused).
extern const char kWorkingFolderMark[];
// Makes the working folder `path` (mode 0700) with its mark and returns it open and share-locked,
// so that no clean-up takes it while it is in use; raises an operating-system error on failure.
int MakeWorkingFolder(const std::string& path);
// Empties an open working folder and keeps its mark; true when all of it went.
bool ClearWorkingFolder(int folderFd);
// Removes the working folders of dead processes from `folder` (the temporary folder):
// only names matching `pattern`, this user's, on the same device, unchanged for
// kStaleTemporaryAge, not locked, carrying the mark, and holding files only; anything else,
// whoever made it, stays as it is.
void RemoveStaleWorkingFolders(const std::string& folder, const char* pattern);

// Attribute filter of ListFiles: files always match; folders only with kListFolders.
// "." and ".." are never listed.
enum ListAttributes : unsigned { kListFiles = 0, kListFolders = 0x10 };
// `mask` is a shell pattern ("*", "*.p7s"; "*.*" matches every name); names are added with AddKey, sorted by
// name.
void ListFiles(const std::string& folder, const std::string& mask, unsigned attributes, CStrArray& list);
void DeleteFiles(const std::string& folder, const std::string& mask);

std::string Trim(const std::string& text);
std::string IncludeTrailingSlash(const std::string& path);
std::string CombinePath(const std::string& folder, const std::string& name);
// The file-name part of a path from any client: what follows the last "/", "\" or ":".
std::string ExtractFileName(const std::string& path);
std::string ExtractFileExt(const std::string& path);

std::string GetEnvironmentText(const std::string& name);
// "TMP", else "TMPDIR", else "/tmp".
std::string TempFolder();

void SplitText(const std::string& text, char separator, CStrArray& list);

std::string HexText(const std::string& bytes);
std::string HexText0x(const std::string& bytes);
std::string HexToBytes(const std::string& text);

}  // namespace qv
