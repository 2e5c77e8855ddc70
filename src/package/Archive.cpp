#include "package/Archive.h"

#include <fcntl.h>
#include <libdeflate.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/params.h>
#include <openssl/rand.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>
#include <zip.h>

#include <zlib.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <ctime>
#include <memory>
#include <mutex>
#include <set>
#include <system_error>
#include <thread>
#include <vector>

#include "foundation/CodePage.h"
#include "foundation/Errors.h"
#include "foundation/Files.h"
#include "foundation/Guid.h"
#include "foundation/Parallel.h"
#include "foundation/Prefault.h"
#include "foundation/StrArray.h"

namespace qv {
namespace {

struct ZipDiscard {
  void operator()(zip_t* archive) const { zip_discard(archive); }
};
using ZipHandle = std::unique_ptr<zip_t, ZipDiscard>;

struct ZipFileClose {
  void operator()(zip_file_t* file) const { zip_fclose(file); }
};
using ZipFileHandle = std::unique_ptr<zip_file_t, ZipFileClose>;

struct ZipSourceFree {
  void operator()(zip_source_t* source) const { zip_source_free(source); }
};
using ZipSourceHandle = std::unique_ptr<zip_source_t, ZipSourceFree>;

class ZipError {
 public:
  ZipError() { zip_error_init(&error_); }
  explicit ZipError(int code) { zip_error_init_with_code(&error_, code); }
  ~ZipError() { zip_error_fini(&error_); }
  ZipError(const ZipError&) = delete;
  ZipError& operator=(const ZipError&) = delete;
  zip_error_t* Get() { return &error_; }
  std::string Text() { return Utf8ToCp1251(zip_error_strerror(&error_)); }

 private:
  zip_error_t error_;
};

bool IsUtf8(const std::string& text) {
  std::size_t i = 0;
  while (i < text.size()) {
    unsigned char b = static_cast<unsigned char>(text[i]);
    int extra = b < 0x80 ? 0 : (b & 0xE0) == 0xC0 ? 1 : (b & 0xF0) == 0xE0 ? 2 : (b & 0xF8) == 0xF0 ? 3 : -1;
    if (extra < 0 || i + static_cast<std::size_t>(extra) >= text.size()) return false;
    for (int k = 1; k <= extra; ++k) {
      if ((static_cast<unsigned char>(text[i + static_cast<std::size_t>(k)]) & 0xC0) != 0x80) return false;
    }
    i += static_cast<std::size_t>(extra) + 1;
  }
  return true;
}

// Archives made by Windows tools without the UTF-8 flag carry names in the OEM code page 866.
std::string Cp866ToCp1251(const std::string& text) {
  std::string out;
  for (char c : text) {
    unsigned char b = static_cast<unsigned char>(c);
    if (b < 0x80) {
      out += c;
    } else if (b <= 0xAF) {
      out += static_cast<char>(b + 0x40);  // А..п
    } else if (b >= 0xE0 && b <= 0xEF) {
      out += static_cast<char>(b + 0x10);  // р..я
    } else if (b == 0xF0) {
      out += '\xA8';  // Ё
    } else if (b == 0xF1) {
      out += '\xB8';  // ё
    } else {
      out += '?';
    }
  }
  return out;
}

// The entry's name as 1251 text: UTF-8 when it is valid UTF-8 (ASCII included), else code page 866.
std::string EntryName(zip_t* archive, zip_uint64_t index) {
  const char* raw = zip_get_name(archive, index, ZIP_FL_ENC_RAW);
  if (!raw) return {};
  std::string name = raw;
  return IsUtf8(name) ? Utf8ToCp1251(name) : Cp866ToCp1251(name);
}

// Only plain file names may come out of a package archive.
void CheckEntryName(const std::string& name, zip_t* archive, zip_uint64_t index) {
  if (name.empty() || name == "." || name == ".." || name.find_first_of("/\\:") != std::string::npos) {
    if (!name.empty() && name.back() == '/') RaiseErrorFmt("Архив содержит папку: [%s]"_cp, {name});
    RaiseErrorFmt("Недопустимое имя файла в архиве: [%s]"_cp, {name});
  }
  for (char c : name) {
    if (static_cast<unsigned char>(c) < 0x20)
      RaiseErrorFmt("Недопустимое имя файла в архиве: [%s]"_cp, {name});
  }
  zip_uint8_t opsys = 0;
  zip_uint32_t attributes = 0;
  if (zip_file_get_external_attributes(archive, index, 0, &opsys, &attributes) == 0 &&
      opsys == ZIP_OPSYS_UNIX) {
    mode_t mode = static_cast<mode_t>(attributes >> 16);
    if (S_ISLNK(mode)) RaiseErrorFmt("Архив содержит ссылку: [%s]"_cp, {name});
    if (S_ISDIR(mode)) RaiseErrorFmt("Архив содержит папку: [%s]"_cp, {name});
  }
}

ZipHandle OpenArchive(const std::string& archivePath) {
  int code = 0;
  ZipHandle archive(zip_open(SysPath(archivePath).c_str(), ZIP_RDONLY | ZIP_CHECKCONS, &code));
  if (!archive) {
    ZipError error(code);
    RaiseErrorFmt("Не удалось открыть архив [%s]: [%s]"_cp, {archivePath, error.Text()});
  }
  return archive;
}

std::uint64_t FreeSpace(const std::string& folder) {
  struct statvfs st {};
  if (::statvfs(SysPath(folder).c_str(), &st) != 0) return 0;
  std::uint64_t free = static_cast<std::uint64_t>(st.f_bavail) * st.f_frsize;
  return free > kExtractReserve ? free - kExtractReserve : 0;
}

// Refuses an entry of `size` bytes beyond the entry limit or beyond what is left of the total.
void CheckUnpackedSize(const std::string& name, std::uint64_t size, const ExtractLimits& limits,
                       std::uint64_t totalLeft) {
  if (size > limits.maxEntrySize) RaiseErrorFmt("Файл [%s] в архиве больше допустимого размера"_cp, {name});
  if (size > totalLeft) {
    if (!limits.overTotal.empty()) RaiseError(limits.overTotal);
    RaiseError("Распакованный архив больше свободного места во временной папке"_cp);
  }
}

// Reads one entry to `sink`, counting what it really unpacks to against the limits.
template <class Sink>
void ReadEntry(zip_t* archive, zip_uint64_t index, const std::string& name, const ExtractLimits& limits,
               std::uint64_t& totalLeft, Sink&& sink) {
  ZipFileHandle file(zip_fopen_index(archive, index, 0));
  if (!file)
    RaiseErrorFmt("Не удалось прочитать файл [%s] архива: [%s]"_cp,
                  {name, Utf8ToCp1251(zip_strerror(archive))});
  std::vector<char> buffer(1 << 16);
  std::uint64_t size = 0;
  for (;;) {
    zip_int64_t n = zip_fread(file.get(), buffer.data(), buffer.size());
    if (n < 0) {
      RaiseErrorFmt("Не удалось прочитать файл [%s] архива: [%s]"_cp,
                    {name, Utf8ToCp1251(zip_error_strerror(zip_file_get_error(file.get())))});
    }
    if (n == 0) break;
    size += static_cast<std::uint64_t>(n);
    CheckUnpackedSize(name, size, limits, totalLeft);
    sink(buffer.data(), static_cast<std::size_t>(n));
  }
  totalLeft -= size;
}

// The names of every entry, by index, each checked by CheckEntryName, and no two alike.
std::vector<std::string> CheckedNames(zip_t* archive) {
  zip_int64_t count = zip_get_num_entries(archive, 0);
  std::vector<std::string> names;
  std::set<std::string> seen;
  for (zip_int64_t i = 0; i < count; ++i) {
    std::string name = EntryName(archive, static_cast<zip_uint64_t>(i));
    CheckEntryName(name, archive, static_cast<zip_uint64_t>(i));
    if (!seen.insert(name).second) RaiseErrorFmt("Файл [%s] повторяется в архиве"_cp, {name});
    names.push_back(name);
  }
  return names;
}

void WriteAllTo(int fd, const char* data, std::size_t count, const std::string& path) {
  if (!WriteAllBytes(fd, data, count)) {
    RaiseErrorFmt("Не удалось записать в файл [%s]: [%s]"_cp, {path, SystemErrorText(errno)});
  }
}

// The normal deflate level: what zip and zlib use by default.
constexpr int kDeflateLevel = 6;

bool IsAscii(const std::string& text) {
  for (char c : text) {
    if (static_cast<unsigned char>(c) >= 0x80) return false;
  }
  return true;
}

}  // namespace

std::string COsAbbreviaTool::ExtractArchive(const std::string& folder, const std::string& archivePath,
                                            bool freshSubfolder, const ExtractLimits& limits) {
  std::string output = folder;
  if (freshSubfolder) {
    do {
      output = CombinePath(folder, NewBracedGuid());
    } while (IsDirectory(output));
  }
  try {
    if (!ForceDirectories(output, 0700)) {
      RaiseErrorFmt("Не удалось создать папку [%s]: [%s]"_cp, {output, SystemErrorText(errno)});
    }
    ZipHandle archive = OpenArchive(archivePath);
    std::vector<std::string> names = CheckedNames(archive.get());
    const zip_int64_t count = static_cast<zip_int64_t>(names.size());
    std::uint64_t totalLeft = limits.maxTotalSize ? limits.maxTotalSize : FreeSpace(output);
    for (zip_int64_t i = 0; i < count; ++i) {
      const std::string& name = names[static_cast<std::size_t>(i)];
      std::string path = CombinePath(output, name);
      // never through a link, never over a file already there
      CFileHandle fd(
          ::open(SysPath(path).c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
      if (fd.Get() < 0)
        RaiseErrorFmt("Не удалось создать файл [%s]: [%s]"_cp, {path, SystemErrorText(errno)});
      ReadEntry(archive.get(), static_cast<zip_uint64_t>(i), name, limits, totalLeft,
                [&](const char* data, std::size_t n) { WriteAllTo(fd.Get(), data, n, path); });
      if (::close(fd.Release()) != 0) {
        RaiseErrorFmt("Не удалось записать в файл [%s]: [%s]"_cp, {path, SystemErrorText(errno)});
      }
    }
  } catch (const CVorlentException&) {
    DeleteFiles(output, "*.*");
    RemoveFolderTree(output);
    throw;
  }
  return output;
}

namespace {

// The archive library writes an archive in pieces of a few kilobytes, each a system call when
// it writes to a file itself; this file gathers them into writes of kWriteBuffer bytes. It is
// the archive's whole storage: either a new, empty file that receives a new archive, or a file
// holding an archive of `existing` bytes that gains new entries. The library then reads that
// archive and keeps its entries where they lie (ZIP_SOURCE_BEGIN_WRITE_CLONING): only the new
// entries and the directory after them are written.
class BufferedArchiveFile {
 public:
  // With `keep`, the archive of `existing` bytes keeps exactly its first `keep` bytes.
  explicit BufferedArchiveFile(int fd, zip_uint64_t existing = 0, zip_uint64_t keep = 0)
      : fd_(fd), existing_(existing), keep_(keep), buffer_(NewBlockBuffer(kWriteBuffer + kDirectBlock)) {}

  static zip_int64_t Callback(void* state, void* data, zip_uint64_t length, zip_source_cmd_t command) {
    return static_cast<BufferedArchiveFile*>(state)->Command(data, length, command);
  }

 private:
  static constexpr std::size_t kWriteBuffer = 1 << 20;

  zip_int64_t Fail(int code, int system = 0) {
    zip_error_set(error_.Get(), code, system);
    return -1;
  }

  // The buffer's first byte stands for this offset of the file, the block's start before the
  // first byte held, so that whole blocks are written from where they lie.
  zip_uint64_t BufferBase() const { return bufferStart_ - bufferStart_ % kDirectBlock; }
  char* Held() const { return buffer_.get() + (bufferStart_ - BufferBase()); }

  // Writes out what the buffer holds at its place in the file. A full buffer sends its whole
  // blocks straight to the disk and keeps the part of a block at its end: through the page
  // cache, a 1 GiB package took 0.8-2.8 s to write on a virtual machine that supplies each new
  // page of the cache anew, and 0.6 s past it. The rest goes through the page cache, started
  // to disk at once, so that the flush that makes the archive durable before it replaces a
  // package waits only for the last of it (a 1 GiB counter-signature took 3.7-7.3 s without
  // that, 2.2-2.7 s with it).
  bool Flush(bool full = false) {
    const zip_uint64_t firstBlock = (bufferStart_ + kDirectBlock - 1) / kDirectBlock * kDirectBlock;
    const zip_uint64_t lastBlock = (bufferStart_ + held_) / kDirectBlock * kDirectBlock;
    if (full && direct_ && lastBlock > firstBlock) {
      bool pageCache = false;
      if (!WriteToDisk(fd_, Held(), firstBlock - bufferStart_, static_cast<off_t>(bufferStart_), pageCache) ||
          !WriteToDisk(fd_, buffer_.get() + (firstBlock - BufferBase()), lastBlock - firstBlock,
                       static_cast<off_t>(firstBlock), direct_)) {
        return false;
      }
      const std::size_t rest = bufferStart_ + held_ - lastBlock;
      std::memmove(buffer_.get(), buffer_.get() + (lastBlock - BufferBase()), rest);
      bufferStart_ = lastBlock;
      held_ = rest;
      return true;
    }
    bool pageCache = false;
    if (!WriteToDisk(fd_, Held(), held_, static_cast<off_t>(bufferStart_), pageCache)) return false;
    bufferStart_ += held_;
    held_ = 0;
    return true;
  }

  // Starts the buffer anew at `offset`.
  void Restart(zip_uint64_t offset) {
    bufferStart_ = offset;
    held_ = 0;
  }

  zip_int64_t Command(void* data, zip_uint64_t length, zip_source_cmd_t command) {
    switch (command) {
      case ZIP_SOURCE_STAT: {
        if (existing_ == 0) return Fail(ZIP_ER_READ, ENOENT);  // no archive yet: the library makes a new one
        auto* st = static_cast<zip_stat_t*>(data);
        zip_stat_init(st);
        st->size = existing_;
        st->valid = ZIP_STAT_SIZE;
        return sizeof(zip_stat_t);
      }
      case ZIP_SOURCE_OPEN:
        readPosition_ = 0;
        return 0;
      case ZIP_SOURCE_READ: {
        zip_uint64_t n = std::min(length, existing_ - readPosition_);
        ssize_t got;
        do {
          got = ::pread(fd_, data, static_cast<std::size_t>(n), static_cast<off_t>(readPosition_));
        } while (got < 0 && errno == EINTR);
        if (got < 0) return Fail(ZIP_ER_READ, errno);
        readPosition_ += static_cast<zip_uint64_t>(got);
        return got;
      }
      case ZIP_SOURCE_SEEK: {
        zip_int64_t offset =
            zip_source_seek_compute_offset(readPosition_, existing_, data, length, error_.Get());
        if (offset < 0) return -1;
        readPosition_ = static_cast<zip_uint64_t>(offset);
        return 0;
      }
      case ZIP_SOURCE_TELL:
        return static_cast<zip_int64_t>(readPosition_);
      case ZIP_SOURCE_CLOSE:
        return 0;
      case ZIP_SOURCE_BEGIN_WRITE:
        // Writing from the start would overwrite the archive still being read.
        return existing_ == 0 ? 0 : Fail(ZIP_ER_INTERNAL);
      case ZIP_SOURCE_BEGIN_WRITE_CLONING:
        // The entries before `length` stay; everything from there on is written anew. Bytes
        // between the entry kept and the next one would stay as well: refused.
        if (length > existing_ || (keep_ != 0 && length != keep_)) return Fail(ZIP_ER_INCONS);
        position_ = end_ = length;
        Restart(length);
        return 0;
      case ZIP_SOURCE_REMOVE:
      case ZIP_SOURCE_FREE:
        return 0;
      case ZIP_SOURCE_WRITE: {
        // a write elsewhere than right after the buffered bytes starts a new buffer
        if (position_ != bufferStart_ + held_) {
          if (!Flush()) return Fail(ZIP_ER_WRITE, errno);
          Restart(position_);
        }
        const char* bytes = static_cast<const char*>(data);
        for (zip_uint64_t left = length; left > 0;) {
          const std::size_t room = kWriteBuffer + kDirectBlock - (bufferStart_ - BufferBase()) - held_;
          const std::size_t n = static_cast<std::size_t>(std::min<zip_uint64_t>(left, room));
          std::memcpy(Held() + held_, bytes, n);
          held_ += n;
          bytes += n;
          left -= n;
          if (held_ >= kWriteBuffer && !Flush(true)) return Fail(ZIP_ER_WRITE, errno);
        }
        position_ += length;
        end_ = std::max(end_, position_);
        return static_cast<zip_int64_t>(length);
      }
      case ZIP_SOURCE_SEEK_WRITE: {
        zip_int64_t offset = zip_source_seek_compute_offset(position_, end_, data, length, error_.Get());
        if (offset < 0) return -1;
        position_ = static_cast<zip_uint64_t>(offset);
        return 0;
      }
      case ZIP_SOURCE_TELL_WRITE:
        return static_cast<zip_int64_t>(position_);
      case ZIP_SOURCE_COMMIT_WRITE:
        if (!Flush()) return Fail(ZIP_ER_WRITE, errno);
        // what is left of a longer earlier directory goes
        if (existing_ > end_ && ::ftruncate(fd_, static_cast<off_t>(end_)) != 0)
          return Fail(ZIP_ER_WRITE, errno);
        return 0;
      case ZIP_SOURCE_ROLLBACK_WRITE:
        held_ = 0;
        return 0;
      case ZIP_SOURCE_ERROR:
        return zip_error_to_data(error_.Get(), data, length);
      case ZIP_SOURCE_SUPPORTS: {
        zip_int64_t commands = zip_source_make_command_bitmap(
            ZIP_SOURCE_OPEN, ZIP_SOURCE_READ, ZIP_SOURCE_CLOSE, ZIP_SOURCE_STAT, ZIP_SOURCE_ERROR,
            ZIP_SOURCE_FREE, ZIP_SOURCE_SEEK, ZIP_SOURCE_TELL, ZIP_SOURCE_SUPPORTS, ZIP_SOURCE_BEGIN_WRITE,
            ZIP_SOURCE_COMMIT_WRITE, ZIP_SOURCE_ROLLBACK_WRITE, ZIP_SOURCE_WRITE, ZIP_SOURCE_SEEK_WRITE,
            ZIP_SOURCE_TELL_WRITE, ZIP_SOURCE_REMOVE, -1);
        if (existing_ != 0) commands |= ZIP_SOURCE_MAKE_COMMAND_BITMASK(ZIP_SOURCE_BEGIN_WRITE_CLONING);
        return commands;
      }
      default:
        return Fail(ZIP_ER_OPNOTSUPP);
    }
  }

  int fd_;
  zip_uint64_t existing_;
  zip_uint64_t keep_;
  zip_uint64_t readPosition_ = 0;
  BlockBuffer buffer_;
  std::size_t held_ = 0;          // bytes held in the buffer
  bool direct_ = true;            // whole blocks go past the page cache until the file system refuses
  zip_uint64_t bufferStart_ = 0;  // where in the file the first byte held goes
  zip_uint64_t position_ = 0;     // where the next write goes
  zip_uint64_t end_ = 0;          // the end of what has been written
  ZipError error_;
};

// The archive in `file`: a new one when the file is empty, else the one it holds.
ZipHandle CreateArchive(BufferedArchiveFile& file, bool empty, const std::string& shown) {
  ZipError error;
  ZipSourceHandle source(zip_source_function_create(&BufferedArchiveFile::Callback, &file, error.Get()));
  ZipHandle archive(
      source ? zip_open_from_source(source.get(), empty ? ZIP_CREATE | ZIP_TRUNCATE : 0, error.Get())
             : nullptr);
  if (!archive) RaiseErrorFmt("Не удалось создать архив [%s]: [%s]"_cp, {shown, error.Text()});
  source.release();  // the archive owns it now
  return archive;
}

struct CompressorFree {
  void operator()(libdeflate_compressor* compressor) const { libdeflate_free_compressor(compressor); }
};
using CompressorHandle = std::unique_ptr<libdeflate_compressor, CompressorFree>;

// One member's bytes as they go into the archive: deflated in one pass over the whole
// buffer when that makes them smaller, else stored as they are. The archive library copies
// deflated bytes into the entry unchanged (the size and CRC of the original are declared).
struct PackedMember {
  const char* data = nullptr;
  std::size_t size = 0;
  std::uint32_t crc = 0;  // of the original bytes, when deflated
  std::unique_ptr<char[]> deflated;
  std::size_t deflatedSize = 0;
  std::size_t offset = 0;  // of the next read
  std::time_t mtime = 0;
};

// How much of a large member's beginning is deflated first to see whether the rest is worth it.
constexpr std::size_t kProbeSize = 64 * 1024;

// The better of deflate and store: the deflated form is kept only when it is strictly
// smaller, so a tiny document is never stored bigger than it is. A large member whose
// first kProbeSize bytes do not shrink (already compressed or random content) is stored
// without deflating the whole of it first.
void Pack(libdeflate_compressor* compressor, PackedMember& member) {
  if (member.size < 2) return;
  if (member.size > kProbeSize) {
    std::unique_ptr<char[]> probe(new char[kProbeSize - 1]);
    if (libdeflate_deflate_compress(compressor, member.data, kProbeSize, probe.get(), kProbeSize - 1) == 0)
      return;
  }
  // Room for one byte less than the original: deflate fails rather than gaining nothing.
  std::unique_ptr<char[]> out(new char[member.size - 1]);
  std::size_t n =
      libdeflate_deflate_compress(compressor, member.data, member.size, out.get(), member.size - 1);
  if (n == 0) return;
  member.deflated = std::move(out);
  member.deflatedSize = n;
  member.crc = libdeflate_crc32(0, member.data, member.size);
}

zip_int64_t PackedSource(void* state, void* data, zip_uint64_t length, zip_source_cmd_t command) {
  auto* member = static_cast<PackedMember*>(state);
  const char* bytes = member->deflated ? member->deflated.get() : member->data;
  const std::size_t size = member->deflated ? member->deflatedSize : member->size;
  switch (command) {
    case ZIP_SOURCE_OPEN:
      member->offset = 0;
      return 0;
    case ZIP_SOURCE_READ: {
      std::size_t n = std::min<std::size_t>(static_cast<std::size_t>(length), size - member->offset);
      std::copy_n(bytes + member->offset, n, static_cast<char*>(data));
      member->offset += n;
      return static_cast<zip_int64_t>(n);
    }
    case ZIP_SOURCE_CLOSE:
      return 0;
    case ZIP_SOURCE_STAT: {
      auto* st = static_cast<zip_stat_t*>(data);
      zip_stat_init(st);
      st->size = member->size;
      st->comp_size = size;
      st->crc = member->crc;
      st->comp_method = member->deflated ? ZIP_CM_DEFLATE : ZIP_CM_STORE;
      st->mtime = member->mtime;
      st->valid = ZIP_STAT_SIZE | ZIP_STAT_COMP_SIZE | ZIP_STAT_COMP_METHOD | ZIP_STAT_MTIME;
      if (member->deflated) st->valid |= ZIP_STAT_CRC;  // a stored one the archive library sums itself
      return sizeof(zip_stat_t);
    }
    case ZIP_SOURCE_ERROR: {
      int* codes = static_cast<int*>(data);  // never fails
      codes[0] = 0;
      codes[1] = 0;
      return 2 * sizeof(int);
    }
    case ZIP_SOURCE_FREE:
      return 0;
    case ZIP_SOURCE_SUPPORTS:
      return zip_source_make_command_bitmap(ZIP_SOURCE_OPEN, ZIP_SOURCE_READ, ZIP_SOURCE_CLOSE,
                                            ZIP_SOURCE_STAT, ZIP_SOURCE_ERROR, ZIP_SOURCE_FREE, -1);
    default:
      return -1;
  }
}

// Adds `member` under the bare `name` (`shown` names it in messages).
void AddMember(zip_t* archive, const std::string& name, const std::string& shown, PackedMember& member) {
  ZipError error;
  ZipSourceHandle source(zip_source_function_create(PackedSource, &member, error.Get()));
  if (!source) RaiseErrorFmt("Не удалось добавить файл [%s] в архив: [%s]"_cp, {shown, error.Text()});
  std::string stored = IsAscii(name) ? name : Cp1251ToUtf8(name);
  zip_int64_t index = zip_file_add(archive, stored.c_str(), source.get(),
                                   ZIP_FL_OVERWRITE | (IsAscii(name) ? 0 : ZIP_FL_ENC_UTF_8));
  if (index < 0) {
    RaiseErrorFmt("Не удалось добавить файл [%s] в архив: [%s]"_cp,
                  {shown, Utf8ToCp1251(zip_strerror(archive))});
  }
  source.release();  // the archive owns it now
  zip_set_file_compression(archive, static_cast<zip_uint64_t>(index),
                           member.deflated ? ZIP_CM_DEFLATE : ZIP_CM_STORE, 0);
}

void CloseArchive(ZipHandle& archive, const std::string& archivePath) {
  if (zip_close(archive.get()) != 0) {
    std::string text = Utf8ToCp1251(zip_strerror(archive.get()));
    RaiseErrorFmt("Не удалось записать архив [%s]: [%s]"_cp, {archivePath, text});
  }
  archive.release();  // closed and freed by zip_close
}

// Writes the archive of `members` (name and bytes each) into the open file `fd` (`archivePath`
// names it in messages): a new archive when `existing` is 0, else `members` join the archive of
// `existing` bytes the file holds, none of whose entries is rewritten. With `kept`, the file holds
// a copy of that package archive (CopyInto) instead, of which only the first entry stays.
void WriteMembers(const std::vector<std::pair<std::string, std::string_view>>& members, int fd,
                  const std::string& archivePath, zip_uint64_t existing = 0,
                  const CPackageArchive* kept = nullptr) {
  CompressorHandle compressor(libdeflate_alloc_compressor(kDeflateLevel));
  if (!compressor) throw std::bad_alloc();
  // The packed forms live until the archive is closed: it reads them then.
  std::vector<PackedMember> packed(members.size());
  std::time_t now = std::time(nullptr);
  for (std::size_t i = 0; i < members.size(); ++i) {
    packed[i].data = members[i].second.data();
    packed[i].size = members[i].second.size();
    packed[i].mtime = now;
    Pack(compressor.get(), packed[i]);
  }
  if (kept) existing = kept->FileSize();
  BufferedArchiveFile file(fd, existing, kept ? kept->FirstEntryEnd() : 0);
  ZipHandle archive = CreateArchive(file, existing == 0, archivePath);
  if (kept) {
    // the directory of the copy must still describe the entry checked
    kept->CheckFirstEntryOf(archive.get());
    for (zip_int64_t i = zip_get_num_entries(archive.get(), 0) - 1; i >= 1; --i)
      zip_delete(archive.get(), static_cast<zip_uint64_t>(i));
  }
  for (std::size_t i = 0; i < members.size(); ++i) {
    // one of the same name would be rewritten, and every entry after it with it
    if (existing != 0 && zip_name_locate(archive.get(), members[i].first.c_str(), 0) >= 0)
      RaiseErrorFmt("Имя файла [%s] встречается в пакете более одного раза"_cp, {members[i].first});
    AddMember(archive.get(), members[i].first, members[i].first, packed[i]);
  }
  CloseArchive(archive, archivePath);
}

}  // namespace

bool COsAbbreviaTool::ArchiveFolder(const std::string& folder, const std::string& mask,
                                    const std::string& archivePath) {
  if (!IsDirectory(folder)) return false;
  CStrArray names;
  ListFiles(folder, mask, kListFiles, names);
  std::vector<std::string> contents;
  std::vector<std::string> kept;
  for (int i = 0; i < names.Count(); ++i) {
    const std::string& name = names.Key(i);
    std::string path = CombinePath(folder, name);
    struct stat st {};
    if (::lstat(SysPath(path).c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;  // files only
    kept.push_back(name);
    contents.push_back(ReadFileBytes(path));
  }
  std::vector<std::pair<std::string, std::string_view>> members;
  for (std::size_t i = 0; i < kept.size(); ++i) members.emplace_back(kept[i], contents[i]);
  // A temporary file beside the target, of the mode of the file it replaces, takes its place
  // only when complete.
  const std::string temporary = TemporaryNameFor(archivePath);
  try {
    CFileHandle fd(
        ::open(SysPath(temporary).c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666));
    if (fd.Get() < 0)
      RaiseErrorFmt("Не удалось создать архив [%s]: [%s]"_cp, {archivePath, SystemErrorText(errno)});
    struct stat target {};
    if (::stat(SysPath(archivePath).c_str(), &target) == 0) ::fchmod(fd.Get(), target.st_mode & 07777);
    WriteMembers(members, fd.Get(), archivePath);
    if (::close(fd.Release()) != 0 || ::rename(SysPath(temporary).c_str(), SysPath(archivePath).c_str()) != 0)
      RaiseErrorFmt("Не удалось записать архив [%s]: [%s]"_cp, {archivePath, SystemErrorText(errno)});
  } catch (const CVorlentException&) {
    ::unlink(SysPath(temporary).c_str());
    throw;
  }
  return true;
}

namespace {

// A member carried from a package archive anywhere but first in a new archive.
[[noreturn]] void RaiseNotCarried(const std::string& name) {
  RaiseErrorFmt("Не удалось добавить файл [%s] в архив: [%s]"_cp, {name, ZipError(ZIP_ER_INTERNAL).Text()});
}

}  // namespace

void COsAbbreviaTool::ArchiveMembers(const std::vector<ArchiveMember>& members, int fd,
                                     const std::string& archivePath) {
  // A carried first member: the package file is copied, and the archive library then keeps
  // its first entry where it lies and writes the other members after it.
  const CPackageArchive* kept = nullptr;
  std::vector<std::pair<std::string, std::string_view>> views;
  for (std::size_t i = 0; i < members.size(); ++i) {
    const ArchiveMember& member = members[i];
    if (!member.carriedFrom) {
      views.emplace_back(member.name, *member.bytes);
      continue;
    }
    if (i != 0 || !member.carriedFrom->Carriable(member.name)) RaiseNotCarried(member.name);
    kept = member.carriedFrom.get();
    kept->CopyInto(fd, archivePath);
  }
  WriteMembers(views, fd, archivePath, 0, kept);
}

void COsAbbreviaTool::AppendMembers(const std::vector<ArchiveMember>& members, int fd,
                                    const std::string& archivePath) {
  struct stat st {};
  if (::fstat(fd, &st) != 0) RaiseFileError(errno);
  std::vector<std::pair<std::string, std::string_view>> views;
  for (const ArchiveMember& member : members) {
    if (member.carriedFrom) RaiseNotCarried(member.name);
    views.emplace_back(member.name, *member.bytes);
  }
  WriteMembers(views, fd, archivePath, static_cast<zip_uint64_t>(st.st_size));
}

void CPackageArchive::Discard::operator()(zip_t* archive) const {
  zip_discard(archive);
}

CPackageArchive::CPackageArchive(const std::string& archivePath, std::uint64_t maxEntrySize)
    : path_(archivePath), maxEntrySize_(maxEntrySize) {
  try {
    file_.Reset(::open(SysPath(archivePath).c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    struct stat st {};
    if (file_.Get() >= 0 ? ::fstat(file_.Get(), &st) == 0 : ::stat(SysPath(archivePath).c_str(), &st) == 0)
      archiveSize_ = static_cast<std::uint64_t>(st.st_size);
    if (file_.Get() >= 0 && S_ISREG(st.st_mode) && archiveSize_ < kCarrySize && ReadWhole()) {
      ZipError error;
      ZipSourceHandle source(zip_source_buffer_create(whole_.data(), whole_.size(), 0, error.Get()));
      archive_.reset(source ? zip_open_from_source(source.get(), ZIP_RDONLY | ZIP_CHECKCONS, error.Get())
                            : nullptr);
      if (!archive_) RaiseErrorFmt("Не удалось открыть архив [%s]: [%s]"_cp, {archivePath, error.Text()});
      source.release();  // the archive's now
    } else {
      archive_.reset(OpenArchive(archivePath).release());
    }
    names_ = CheckedNames(archive_.get());
  } catch (const CVorlentException& e) {
    RaiseErrorFmt("Неверный формат пакета: ошибка при разархивации [%s]"_cp, {e.Message()});
  }
  for (std::size_t i = 0; i < names_.size(); ++i) index_[names_[i]] = i;
  FindFirstEntry();
}

bool CPackageArchive::ReadWhole() {
  whole_.resize(static_cast<std::size_t>(archiveSize_));
  for (std::size_t got = 0; got < whole_.size();) {
    ssize_t n = ::pread(file_.Get(), whole_.data() + got, whole_.size() - got, static_cast<off_t>(got));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      // changed under us or unreadable: the archive library reads it as before and says what is wrong
      whole_.clear();
      whole_.shrink_to_fit();
      return false;
    }
    got += static_cast<std::size_t>(n);
  }
  return true;
}

// The first entry as it lies, from its local header at the start of the file (the archive
// library tells no entry's offset): stored, plain, no data descriptor, the sizes and check sum
// the directory gives, and the name in plain ASCII, as the archive library writes it again.
void CPackageArchive::FindFirstEntry() {
  if (names_.empty() || file_.Get() < 0 || !IsAscii(names_[0])) return;
  zip_stat_t st;
  constexpr zip_uint64_t kKnown =
      ZIP_STAT_SIZE | ZIP_STAT_COMP_SIZE | ZIP_STAT_CRC | ZIP_STAT_COMP_METHOD | ZIP_STAT_ENCRYPTION_METHOD;
  if (zip_stat_index(archive_.get(), 0, 0, &st) != 0 || (st.valid & kKnown) != kKnown ||
      st.comp_method != ZIP_CM_STORE || st.encryption_method != ZIP_EM_NONE || st.size < kCarrySize ||
      st.size != st.comp_size || st.size >= 0xFFFFFFFFu)
    return;
  const char* raw = zip_get_name(archive_.get(), 0, ZIP_FL_ENC_RAW);
  zip_uint32_t commentLength = 0;
  if (!raw || names_[0] != raw ||
      (zip_file_get_comment(archive_.get(), 0, &commentLength, 0) && commentLength))
    return;
  unsigned char header[30];
  std::string name(names_[0].size(), '\0');
  if (::pread(file_.Get(), header, sizeof header, 0) != static_cast<ssize_t>(sizeof header) ||
      ::pread(file_.Get(), name.data(), name.size(), sizeof header) != static_cast<ssize_t>(name.size()))
    return;
  auto u16 = [&](int at) { return static_cast<std::uint32_t>(header[at] | header[at + 1] << 8); };
  auto u32 = [&](int at) { return u16(at) | u16(at + 2) << 16; };
  const std::uint64_t dataOffset = sizeof header + u16(26) + u16(28);
  if (u32(0) != 0x04034b50 || (u16(6) & 0x0009) != 0 || u16(8) != ZIP_CM_STORE || u32(14) != st.crc ||
      u32(18) != st.size || u32(22) != st.size || u16(26) != name.size() || name != names_[0] ||
      dataOffset + st.size > archiveSize_ || archiveSize_ - (dataOffset + st.size) > kCarryRest)
    return;
  first_.name = names_[0];
  first_.dataOffset = dataOffset;
  first_.size = st.size;
  first_.crc = st.crc;
}

void CPackageArchive::CheckFirstEntryOf(zip_t* archive) const {
  zip_stat_t st;
  const char* raw = zip_get_name(archive, 0, ZIP_FL_ENC_RAW);
  if (!raw || first_.name != raw || zip_stat_index(archive, 0, 0, &st) != 0 || !(st.valid & ZIP_STAT_SIZE) ||
      !(st.valid & ZIP_STAT_CRC) || !(st.valid & ZIP_STAT_COMP_METHOD) || st.size != first_.size ||
      st.crc != first_.crc || st.comp_method != ZIP_CM_STORE)
    RaiseChanged();
}

bool CPackageArchive::Carriable(const std::string& name) const {
  auto found = index_.find(name);
  return first_.kept && name == first_.name && found != index_.end() && found->second == 0;
}

void CPackageArchive::RaiseChanged() const {
  RaiseErrorFmt("Файл с пакетом [%s] изменён после открытия: операция невозможна"_cp, {path_});
}

CPackageArchive::~CPackageArchive() = default;

std::uint64_t CPackageArchive::DeclaredSize(const std::string& name) const {
  auto found = index_.find(name);
  zip_stat_t st;
  std::lock_guard<std::mutex> lock(zipLock_);
  if (found == index_.end() || zip_stat_index(archive_.get(), found->second, 0, &st) != 0 ||
      !(st.valid & ZIP_STAT_SIZE))
    return 0;
  return st.size;
}

void CPackageArchive::Rename(const std::string& from, const std::string& to) {
  auto found = index_.find(from);
  if (found == index_.end() || index_.count(to)) return;
  index_[to] = found->second;
  index_.erase(found);
}

namespace {

struct DecompressorFree {
  void operator()(libdeflate_decompressor* decompressor) const { libdeflate_free_decompressor(decompressor); }
};
using DecompressorHandle = std::unique_ptr<libdeflate_decompressor, DecompressorFree>;

[[noreturn]] void RaiseReadError(const std::string& name, const std::string& text) {
  RaiseErrorFmt("Не удалось прочитать файл [%s] архива: [%s]"_cp, {name, text});
}

[[noreturn]] void RaiseReadError(const std::string& name, int code) {
  ZipError error(code);
  RaiseReadError(name, error.Text());
}

// `data` becomes `size` zero bytes in fresh memory, whose pages are faulted in from both ends.
void Fresh(std::string& data, std::size_t size) {
  data.reserve(size);
  CPrefault ahead(data.data(), size);
  data.resize(size);
}

// Reads what `file` gives, which must be exactly `size` bytes, straight into a string that
// grows by at most kReadStep beyond the bytes really read: an entry that declares more than
// it holds takes no more memory than it holds. The reader compares the check sum when it
// reaches the end, which the read after the last byte does.
std::string ReadExactly(zip_file_t* file, std::uint64_t size, const std::string& name) {
  constexpr std::size_t kReadStep = 16 << 20;
  auto fail = [&] { RaiseReadError(name, Utf8ToCp1251(zip_error_strerror(zip_file_get_error(file)))); };
  std::string data;
  data.reserve(static_cast<std::size_t>(size));
  std::size_t got = 0;
  for (;;) {
    if (got == data.size()) {
      if (got == size) break;
      data.resize(got + std::min<std::size_t>(kReadStep, static_cast<std::size_t>(size) - got));
    }
    zip_int64_t n = zip_fread(file, &data[got], data.size() - got);
    if (n < 0) fail();
    if (n == 0) break;
    got += static_cast<std::size_t>(n);
  }
  char more = 0;
  zip_int64_t n = got == size ? zip_fread(file, &more, 1) : 0;
  if (n < 0) fail();
  if (n > 0 || got != size) RaiseReadError(name, ZIP_ER_INCONS);
  return data;
}

// Reads `length` bytes from `start` of the stored entry `index` into `out`. The archive
// library reads a part of an entry as it lies, with no check sum of its own.
void ReadStoredPart(zip_t* archive, zip_uint64_t index, zip_uint64_t start, zip_uint64_t length, char* out,
                    const std::string& name) {
  ZipSourceHandle source(zip_source_zip(archive, archive, index, 0, start, static_cast<zip_int64_t>(length)));
  if (!source) RaiseReadError(name, Utf8ToCp1251(zip_strerror(archive)));
  if (zip_source_open(source.get()) < 0)
    RaiseReadError(name, Utf8ToCp1251(zip_error_strerror(zip_source_error(source.get()))));
  zip_uint64_t got = 0;
  while (got < length) {
    zip_int64_t n = zip_source_read(source.get(), out + got, length - got);
    if (n <= 0) {
      std::string text = n < 0 ? zip_error_strerror(zip_source_error(source.get())) : "";
      zip_source_close(source.get());
      if (n < 0) RaiseReadError(name, Utf8ToCp1251(text));
      RaiseReadError(name, ZIP_ER_INCONS);
    }
    got += static_cast<zip_uint64_t>(n);
  }
  zip_source_close(source.get());
}

using PieceDigest = CPackageArchive::PieceDigest;
using PieceKey = CPackageArchive::PieceKey;

struct MacFree {
  void operator()(EVP_MAC* mac) const { EVP_MAC_free(mac); }
  void operator()(EVP_MAC_CTX* context) const { EVP_MAC_CTX_free(context); }
};

// The digest of the pieces of a kept entry: GMAC (AES-128-GCM) under a key drawn at random for
// the archive, which no other process knows, so none can make other bytes that give the same
// digests; with the piece's number as its nonce. It takes a quarter of the time of SHA-256.
class PieceMac {
 public:
  PieceMac() : context_(Gmac() ? EVP_MAC_CTX_new(Gmac()) : nullptr) {
    if (!context_) throw std::bad_alloc();
  }
  // Whether OpenSSL gives the MAC here (a configuration may leave it out): without it no entry is kept.
  static bool Available() {
    static const bool available = [] {
      try {
        PieceMac mac;
        mac.Start(PieceKey{}, 0);
        mac.Finish();
        return true;
      } catch (const std::bad_alloc&) {
        return false;
      }
    }();
    return available;
  }
  void Start(const PieceKey& key, std::uint64_t piece) {
    unsigned char nonce[12] = {};
    for (std::size_t i = 0; i < 8; ++i) nonce[i] = static_cast<unsigned char>(piece >> (8 * i));
    char cipher[] = "AES-128-GCM";
    const OSSL_PARAM params[] = {OSSL_PARAM_construct_utf8_string(OSSL_MAC_PARAM_CIPHER, cipher, 0),
                                 OSSL_PARAM_construct_octet_string(OSSL_MAC_PARAM_IV, nonce, sizeof nonce),
                                 OSSL_PARAM_construct_end()};
    if (EVP_MAC_init(context_.get(), key.data(), key.size(), params) != 1) throw std::bad_alloc();
  }
  void Update(const char* data, std::size_t size) {
    if (EVP_MAC_update(context_.get(), reinterpret_cast<const unsigned char*>(data), size) != 1)
      throw std::bad_alloc();
  }
  PieceDigest Finish() {
    PieceDigest digest{};
    std::size_t size = 0;
    if (EVP_MAC_final(context_.get(), digest.data(), &size, digest.size()) != 1 || size != digest.size())
      throw std::bad_alloc();
    return digest;
  }

 private:
  static EVP_MAC* Gmac() {
    static const std::unique_ptr<EVP_MAC, MacFree> mac(EVP_MAC_fetch(nullptr, "GMAC", nullptr));
    return mac.get();
  }
  std::unique_ptr<EVP_MAC_CTX, MacFree> context_;
};

PieceDigest DigestOfPiece(const PieceKey& key, std::uint64_t piece, const char* data, std::size_t size) {
  PieceMac mac;
  mac.Start(key, piece);
  mac.Update(data, size);
  return mac.Finish();
}

// Reads exactly `size` bytes at `offset` of `fd`: errno when it fails, EIO when the file ends first.
int ReadAt(int fd, char* out, std::size_t size, std::uint64_t offset) {
  for (std::size_t got = 0; got < size;) {
    ssize_t n = ::pread(fd, out + got, size - got, static_cast<off_t>(offset + got));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return n < 0 ? errno : EIO;
    got += static_cast<std::size_t>(n);
  }
  return 0;
}

// Checks bytes that arrive in pieces of any size against the digest of each kDigestPiece bytes.
// Raises nothing once made: a copy shows it its pieces while its writer thread runs.
class PieceChecker {
 public:
  PieceChecker(const PieceKey& key, const std::vector<PieceDigest>& digests) : key_(key), digests_(digests) {
    mac_.Start(key_, 0);
  }

  void Add(const char* data, std::size_t size) {
    while (size > 0 && ok_) {
      const std::size_t n =
          static_cast<std::size_t>(std::min<std::uint64_t>(size, CPackageArchive::kDigestPiece - inPiece_));
      try {
        mac_.Update(data, n);
      } catch (const std::bad_alloc&) {
        ok_ = false;
      }
      data += n;
      size -= n;
      inPiece_ += n;
      if (inPiece_ == CPackageArchive::kDigestPiece) Finish();
    }
  }

  // Whether every byte was what was digested, and nothing is missing.
  bool Matches() {
    if (inPiece_ > 0) Finish();
    return ok_ && same_ && piece_ == digests_.size();
  }

 private:
  void Finish() {
    try {
      same_ = same_ && piece_ < digests_.size() && mac_.Finish() == digests_[piece_];
      mac_.Start(key_, piece_ + 1);
    } catch (const std::bad_alloc&) {
      ok_ = false;
    }
    ++piece_;
    inPiece_ = 0;
  }

  const PieceKey& key_;
  const std::vector<PieceDigest>& digests_;
  PieceMac mac_;
  std::size_t piece_ = 0;
  std::uint64_t inPiece_ = 0;
  bool ok_ = true;
  bool same_ = true;
};

}  // namespace

std::string CPackageArchive::Read(const std::string& name, const std::string& shown) const {
  auto found = index_.find(name);
  if (found == index_.end()) RaiseErrorFmt("Файл не найден: [%s]"_cp, {shown});
  const zip_uint64_t index = found->second;
  if (index == 0 && first_.kept && name == first_.name) return ReadKept();
  {
    std::lock_guard<std::mutex> lock(aheadLock_);
    auto early = ahead_.find(name);
    if (early != ahead_.end()) {
      ReadEarlier taken = std::move(early->second);
      ahead_.erase(early);
      if (taken.failure) std::rethrow_exception(taken.failure);
      return std::move(taken.data);
    }
  }
  std::string data;
  try {
    // The archive library's handle serves one thread at a time; what is read is checked and
    // inflated outside the lock.
    std::unique_lock<std::mutex> lock(zipLock_);
    zip_stat_t st;
    if (zip_stat_index(archive_.get(), index, 0, &st) != 0)
      RaiseReadError(name, Utf8ToCp1251(zip_strerror(archive_.get())));
    const std::uint64_t declared = (st.valid & ZIP_STAT_SIZE) ? st.size : 0;
    if (declared > maxEntrySize_) RaiseErrorFmt("Файл [%s] в архиве больше допустимого размера"_cp, {name});
    // A stored entry (of two bytes or more: it is read in two parts) and a deflated one, not
    // encrypted, are read as they lie in the archive; a deflated one is then inflated in one
    // pass over the whole buffer. Both are checked here by a check sum several times faster
    // than the archive library's own. Their bytes lie in the archive file, and deflated
    // bytes far beyond what the declared size can deflate to are left to the archive
    // library's stream, which reads every other entry and never holds more than the size
    // declared. The buffers take the kernel's ordinary pages: asking for 2 MiB pages
    // (MADV_HUGEPAGE) saved 0.02 s per 100 MiB when memory had just been freed, but on a
    // virtual machine whose host takes freed memory back it cost 0.2-0.27 s per 100 MiB (and
    // 1.6-2.6 s per GiB against 0.4 s) for the first process to touch it. There the page
    // faults are most of the reading, so the second core takes half of them (Fresh).
    constexpr zip_uint64_t kKnown =
        ZIP_STAT_SIZE | ZIP_STAT_COMP_SIZE | ZIP_STAT_CRC | ZIP_STAT_COMP_METHOD | ZIP_STAT_ENCRYPTION_METHOD;
    const bool plain = (st.valid & kKnown) == kKnown && st.encryption_method == ZIP_EM_NONE;
    if (plain && st.comp_method == ZIP_CM_STORE && declared >= 2) {
      if (st.comp_size != declared || declared > archiveSize_) RaiseReadError(name, ZIP_ER_INCONS);
      // the memory is made ready while another thread reads (ReadAhead)
      lock.unlock();
      Fresh(data, declared);
      lock.lock();
      ReadStoredPart(archive_.get(), index, 0, declared - 1, data.data(), name);
      ReadStoredPart(archive_.get(), index, declared - 1, 1, data.data() + declared - 1, name);
      lock.unlock();
    } else if (plain && st.comp_method == ZIP_CM_DEFLATE && st.comp_size <= archiveSize_ &&
               st.comp_size <= declared + declared / 16 + 65536) {
      ZipFileHandle file(zip_fopen_index(archive_.get(), index, ZIP_FL_COMPRESSED));
      if (!file) RaiseReadError(name, Utf8ToCp1251(zip_strerror(archive_.get())));
      std::string raw = ReadExactly(file.get(), st.comp_size, name);
      file.reset();
      lock.unlock();
      DecompressorHandle decompressor(libdeflate_alloc_decompressor());
      if (!decompressor) throw std::bad_alloc();
      Fresh(data, declared);
      std::size_t actual = 0;
      libdeflate_result result = libdeflate_deflate_decompress(decompressor.get(), raw.data(), raw.size(),
                                                               data.data(), data.size(), &actual);
      if (result == LIBDEFLATE_INSUFFICIENT_SPACE || (result == LIBDEFLATE_SUCCESS && actual != declared))
        RaiseReadError(name, ZIP_ER_INCONS);
      if (result != LIBDEFLATE_SUCCESS) RaiseReadError(name, ZIP_ER_COMPRESSED_DATA);
    } else {
      ZipFileHandle file(zip_fopen_index(archive_.get(), index, 0));
      if (!file) RaiseReadError(name, Utf8ToCp1251(zip_strerror(archive_.get())));
      return ReadExactly(file.get(), declared, name);
    }
    if (libdeflate_crc32(0, data.data(), data.size()) != st.crc) RaiseReadError(name, ZIP_ER_CRC);
  } catch (const CVorlentException& e) {
    RaiseErrorFmt("Неверный формат пакета: ошибка при разархивации [%s]"_cp, {e.Message()});
  }
  return data;
}

void CPackageArchive::ReadAhead(const std::vector<std::string>& names) {
  std::vector<std::string> wanted;
  for (const std::string& name : names) {
    if (Contains(name) && (first_.name.empty() || name != first_.name) &&
        DeclaredSize(name) >= kReadAheadSize && std::find(wanted.begin(), wanted.end(), name) == wanted.end())
      wanted.push_back(name);
  }
  if (wanted.size() < 2) return;
  std::vector<ReadEarlier> read(wanted.size());
  InParallelWhole(wanted.size(), [&](std::size_t i) {
    try {
      read[i].data = Read(wanted[i], wanted[i]);
    } catch (...) {
      read[i].failure = std::current_exception();
    }
  });
  std::lock_guard<std::mutex> lock(aheadLock_);
  for (std::size_t i = 0; i < wanted.size(); ++i) ahead_[wanted[i]] = std::move(read[i]);
}

void CPackageArchive::Keep(const std::string& name) {
  // one too large is left to Read, which refuses it
  if (first_.kept || first_.name.empty() || name != first_.name || index_.count(name) == 0 ||
      index_.at(name) != 0 || first_.size > maxEntrySize_)
    return;
  // Without a key nobody else knows, or without the MAC, the entry is read as any other.
  PieceKey key{};
  if (!PieceMac::Available() || RAND_bytes(key.data(), static_cast<int>(key.size())) != 1) return;
  // Read once, piece by piece on every processor: the check sum of each piece, joined in order
  // afterwards, and its digest.
  const std::size_t pieces = static_cast<std::size_t>((first_.size + kDigestPiece - 1) / kDigestPiece);
  std::vector<PieceDigest> digests(pieces);
  std::vector<uLong> crcs(pieces);
  std::atomic<int> failure{0};
  InParallel(pieces, [&](std::size_t i) {
    if (failure) return;
    const std::uint64_t at = i * kDigestPiece;
    const std::size_t size = static_cast<std::size_t>(std::min(kDigestPiece, first_.size - at));
    try {
      std::unique_ptr<char[]> bytes(new char[size]);
      if (int error = ReadAt(file_.Get(), bytes.get(), size, first_.dataOffset + at)) {
        failure = error;
        return;
      }
      crcs[i] = libdeflate_crc32(0, bytes.get(), size);
      digests[i] = DigestOfPiece(key, i, bytes.get(), size);
    } catch (const std::bad_alloc&) {
      failure = ENOMEM;
    }
  });
  std::string header(static_cast<std::size_t>(first_.dataOffset), '\0');
  if (!failure) failure = ReadAt(file_.Get(), header.data(), header.size(), 0);
  uLong crc = crc32(0, nullptr, 0);
  for (std::size_t i = 0; i < pieces; ++i)
    crc = crc32_combine(crc, crcs[i],
                        static_cast<z_off_t>(std::min(kDigestPiece, first_.size - i * kDigestPiece)));
  try {
    if (failure == ENOMEM) throw std::bad_alloc();
    if (failure) RaiseReadError(name, SystemErrorText(failure));
    if (crc != first_.crc) RaiseReadError(name, ZIP_ER_CRC);
  } catch (const CVorlentException& e) {
    RaiseErrorFmt("Неверный формат пакета: ошибка при разархивации [%s]"_cp, {e.Message()});
  }
  first_.header = std::move(header);
  first_.key = key;
  first_.digests = std::move(digests);
  first_.kept = true;
}

std::string CPackageArchive::Read(const std::string& name, const std::string& shown,
                                  const std::function<void(const char*, std::size_t)>& each) const {
  auto found = index_.find(name);
  if (found != index_.end() && found->second == 0 && first_.kept && name == first_.name)
    return ReadKept(each);
  std::string data = Read(name, shown);
  if (each) each(data.data(), data.size());
  return data;
}

std::string CPackageArchive::ReadKept(const std::function<void(const char*, std::size_t)>& each) const {
  // Read into place and checked piece by piece, on every processor when nobody takes the pieces
  // as they come; the bytes returned are the bytes checked.
  const auto size = static_cast<std::size_t>(first_.size);
  std::string data;
  // The bytes stay where they are: the string never grows beyond what is reserved here.
  data.reserve(size);
  char* const bytes = data.data();
  const std::size_t pieces = first_.digests.size();
  auto pieceSize = [&](std::size_t i) {
    return static_cast<std::size_t>(std::min(kDigestPiece, first_.size - i * kDigestPiece));
  };
  std::atomic<bool> same{true};
  // Each piece, once it is read and checked (or left unread after a piece that was not the
  // same), is marked done: good or not.
  std::mutex lock;
  std::condition_variable marked;
  std::vector<char> done(pieces, 0);  // 0 not yet, 1 good, 2 not
  auto readPiece = [&](std::size_t i) {
    bool good = false;
    if (same) {
      char* piece = bytes + i * kDigestPiece;
      try {
        good = ReadAt(file_.Get(), piece, pieceSize(i), first_.dataOffset + i * kDigestPiece) == 0 &&
               DigestOfPiece(first_.key, i, piece, pieceSize(i)) == first_.digests[i];
      } catch (const std::bad_alloc&) {
      }
      if (!good) same = false;
    }
    if (each) {
      std::lock_guard<std::mutex> guard(lock);
      done[i] = good ? 1 : 2;
      marked.notify_all();
    }
  };
  std::thread reader;
  if (each) {
    // The pieces are read in order on a thread of their own while this one hands them on as
    // they come: reading is several times as fast as any digest, which keeps a processor.
    try {
      // The memory of each piece is made here too, while the pieces before it are handed on.
      reader = std::thread([&] {
        for (std::size_t i = 0; i < pieces; ++i) {
          data.resize(i * kDigestPiece + pieceSize(i));
          readPiece(i);
        }
      });
    } catch (const std::system_error&) {
    }
  }
  if (!reader.joinable()) {
    Fresh(data, size);
    InParallel(pieces, readPiece);
    if (!same) RaiseChanged();
    if (each) each(data.data(), data.size());
    return data;
  }
  try {
    for (std::size_t i = 0; i < pieces; ++i) {
      std::unique_lock<std::mutex> guard(lock);
      marked.wait(guard, [&] { return done[i] != 0; });
      if (done[i] != 1) break;
      guard.unlock();
      each(bytes + i * kDigestPiece, pieceSize(i));
    }
  } catch (...) {
    same = false;  // the rest is left unread
    reader.join();
    throw;
  }
  reader.join();
  if (!same) RaiseChanged();
  return data;
}

void CPackageArchive::CopyInto(int fd, const std::string& archivePath) const {
  // The local header and the entry kept are checked in the very bytes the copy writes.
  const std::uint64_t begin = first_.dataOffset, end = first_.dataOffset + first_.size;
  PieceChecker checker(first_.key, first_.digests);
  bool headerSame = true;
  const bool copied = CopyFileBytes(
      file_.Get(), fd, archiveSize_, [&](const char* bytes, std::size_t size, std::uint64_t offset) {
        if (offset < begin) {
          const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(size, begin - offset));
          headerSame =
              headerSame && first_.header.compare(static_cast<std::size_t>(offset), n, bytes, n) == 0;
        }
        const std::uint64_t from = std::max(begin, offset);
        const std::uint64_t to = std::min(end, offset + size);
        if (from < to) checker.Add(bytes + (from - offset), static_cast<std::size_t>(to - from));
      });
  if (!copied) {
    // a package file shorter than it was is a changed one, not a failure of the new file
    const int error = errno;
    struct stat st {};
    if (::fstat(file_.Get(), &st) == 0 && static_cast<std::uint64_t>(st.st_size) != archiveSize_)
      RaiseChanged();
    RaiseErrorFmt("Не удалось записать архив [%s]: [%s]"_cp, {archivePath, SystemErrorText(error)});
  }
  if (!headerSame || !checker.Matches()) RaiseChanged();
}

std::string COsAbbreviaTool::UnpackSingleFile(const std::string& content, const ExtractLimits& limits) {
  // Read straight from memory: no temporary archive or file is ever written.
  ZipError error;
  ZipSourceHandle source(zip_source_buffer_create(content.data(), content.size(), 0, error.Get()));
  if (!source) RaiseErrorFmt("Не удалось открыть архив: [%s]"_cp, {error.Text()});
  ZipHandle archive(zip_open_from_source(source.get(), ZIP_RDONLY | ZIP_CHECKCONS, error.Get()));
  if (!archive) RaiseErrorFmt("Не удалось открыть архив: [%s]"_cp, {error.Text()});
  source.release();  // the archive owns it now
  zip_int64_t count = zip_get_num_entries(archive.get(), 0);
  if (count != 1) RaiseErrorFmt("Неверное число файлов в архиве: [%d]"_cp, {static_cast<long long>(count)});
  std::string name = EntryName(archive.get(), 0);
  std::string data;
  std::uint64_t totalLeft = limits.maxTotalSize ? limits.maxTotalSize : limits.maxEntrySize;
  zip_stat_t declared;
  if (zip_stat_index(archive.get(), 0, 0, &declared) == 0 && (declared.valid & ZIP_STAT_SIZE)) {
    CheckUnpackedSize(name, declared.size, limits, totalLeft);
  }
  ReadEntry(archive.get(), 0, name, limits, totalLeft,
            [&](const char* bytes, std::size_t n) { data.append(bytes, n); });
  return data;
}

}  // namespace qv
