#include "package/Archive.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>
#include <zip.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <memory>
#include <set>
#include <vector>

#include "foundation/CodePage.h"
#include "foundation/Errors.h"
#include "foundation/Files.h"
#include "foundation/Guid.h"
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

void WriteAllTo(int fd, const char* data, std::size_t count, const std::string& path) {
  if (!WriteAllBytes(fd, data, count)) {
    RaiseErrorFmt("Не удалось записать в файл [%s]: [%s]"_cp, {path, SystemErrorText(errno)});
  }
}

constexpr zip_uint32_t kDeflateLevel = 6;

constexpr std::size_t kEntropySample = 64 * 1024;

// Whether content is worth deflating, judged from the byte entropy of its beginning, so
// that already compressed or random content is stored without being deflated whole
// first. Deflate gains next to nothing on content above about 7.8 bits per byte.
bool LooksCompressible(const unsigned char* sample, std::size_t n) {
  if (n < 256) return true;
  std::size_t counts[256] = {};
  for (std::size_t i = 0; i < n; ++i) ++counts[sample[i]];
  double entropy = 0;
  for (std::size_t count : counts) {
    if (count == 0) continue;
    double p = static_cast<double>(count) / static_cast<double>(n);
    entropy -= p * std::log2(p);
  }
  return entropy < 7.8;
}

bool LooksCompressible(const std::string& path) {
  CFileHandle fd(::open(SysPath(path).c_str(), O_RDONLY | O_CLOEXEC));
  if (fd.Get() < 0) return true;
  std::vector<unsigned char> sample(kEntropySample);
  ssize_t n = ::read(fd.Get(), sample.data(), sample.size());
  return n < 0 || LooksCompressible(sample.data(), static_cast<std::size_t>(n));
}

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
    zip_int64_t count = zip_get_num_entries(archive.get(), 0);
    std::vector<std::string> names;
    std::set<std::string> seen;
    for (zip_int64_t i = 0; i < count; ++i) {
      std::string name = EntryName(archive.get(), static_cast<zip_uint64_t>(i));
      CheckEntryName(name, archive.get(), static_cast<zip_uint64_t>(i));
      if (!seen.insert(name).second) RaiseErrorFmt("Файл [%s] повторяется в архиве"_cp, {name});
      names.push_back(name);
    }
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

// A new archive at `archivePath`. libzip writes it to a temporary file beside the target
// and renames that over the target only when it is complete.
ZipHandle CreateArchive(const std::string& archivePath) {
  int code = 0;
  ZipHandle archive(zip_open(SysPath(archivePath).c_str(), ZIP_CREATE | ZIP_TRUNCATE, &code));
  if (!archive) {
    ZipError error(code);
    RaiseErrorFmt("Не удалось создать архив [%s]: [%s]"_cp, {archivePath, error.Text()});
  }
  return archive;
}

// Adds `source` under the bare `name` (`shown` names it in messages), deflated at the
// normal level (the archive library's own default is the slowest one) or stored.
void AddMember(zip_t* archive, const std::string& name, const std::string& shown, ZipSourceHandle source,
               bool deflate) {
  std::string stored = IsAscii(name) ? name : Cp1251ToUtf8(name);
  zip_int64_t index = zip_file_add(archive, stored.c_str(), source.get(),
                                   ZIP_FL_OVERWRITE | (IsAscii(name) ? 0 : ZIP_FL_ENC_UTF_8));
  if (index < 0) {
    RaiseErrorFmt("Не удалось добавить файл [%s] в архив: [%s]"_cp,
                  {shown, Utf8ToCp1251(zip_strerror(archive))});
  }
  source.release();  // the archive owns it now
  zip_set_file_compression(archive, static_cast<zip_uint64_t>(index), deflate ? ZIP_CM_DEFLATE : ZIP_CM_STORE,
                           deflate ? kDeflateLevel : 0);
}

void CloseArchive(ZipHandle& archive, const std::string& archivePath) {
  if (zip_close(archive.get()) != 0) {
    std::string text = Utf8ToCp1251(zip_strerror(archive.get()));
    RaiseErrorFmt("Не удалось записать архив [%s]: [%s]"_cp, {archivePath, text});
  }
  archive.release();  // closed and freed by zip_close
}

}  // namespace

bool COsAbbreviaTool::ArchiveFolder(const std::string& folder, const std::string& mask,
                                    const std::string& archivePath) {
  if (!IsDirectory(folder)) return false;
  CStrArray names;
  ListFiles(folder, mask, kListFiles, names);
  ZipHandle archive = CreateArchive(archivePath);
  for (int i = 0; i < names.Count(); ++i) {
    const std::string& name = names.Key(i);
    std::string path = CombinePath(folder, name);
    struct stat st {};
    if (::lstat(SysPath(path).c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;  // files only
    ZipError error;
    ZipSourceHandle source(zip_source_file_create(SysPath(path).c_str(), 0, -1, error.Get()));
    if (!source) RaiseErrorFmt("Не удалось добавить файл [%s] в архив: [%s]"_cp, {path, error.Text()});
    AddMember(archive.get(), name, path, std::move(source), LooksCompressible(path));
  }
  CloseArchive(archive, archivePath);
  return true;
}

void COsAbbreviaTool::ArchiveMembers(const std::vector<ArchiveMember>& members,
                                     const std::string& archivePath) {
  ZipHandle archive = CreateArchive(archivePath);
  for (const ArchiveMember& member : members) {
    const std::string& bytes = *member.bytes;
    ZipSourceHandle source(zip_source_buffer(archive.get(), bytes.data(), bytes.size(), 0));
    if (!source) {
      RaiseErrorFmt("Не удалось добавить файл [%s] в архив: [%s]"_cp,
                    {member.name, Utf8ToCp1251(zip_strerror(archive.get()))});
    }
    bool deflate = LooksCompressible(reinterpret_cast<const unsigned char*>(bytes.data()),
                                     std::min(bytes.size(), kEntropySample));
    AddMember(archive.get(), member.name, member.name, std::move(source), deflate);
  }
  CloseArchive(archive, archivePath);
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
