#include "foundation/VersionInfo.h"

#include <dlfcn.h>
#include <elf.h>

#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <vector>

#include "foundation/CodePage.h"
#include "foundation/Files.h"
#include "foundation/StrArray.h"
#include "qv_version.h"

// The recorded strings: the translation key, then "Name\0Value\0" pairs, then an empty name.
#define QV_VERSION_ENTRY(name, value) name "\0" value "\0"
extern "C" {
__attribute__((section(".qv_version"), used)) const char qv_version_block[] =
    "041904E3\0"  // Russian, code page 1251
    QV_VERSION_ENTRY("CompanyName", QV_COMPANY_NAME) QV_VERSION_ENTRY("FileDescription", QV_FILE_DESCRIPTION)
        QV_VERSION_ENTRY("FileVersion", QV_FILE_VERSION) QV_VERSION_ENTRY("InternalName", QV_INTERNAL_NAME)
            QV_VERSION_ENTRY("LegalCopyright", QV_LEGAL_COPYRIGHT)
                QV_VERSION_ENTRY("OriginalFilename", QV_ORIGINAL_FILENAME)
                    QV_VERSION_ENTRY("ProductName", QV_PRODUCT_NAME)
                        QV_VERSION_ENTRY("ProductVersion", QV_PRODUCT_VERSION);
}

namespace qv {
namespace {

const char* const kVersionNames[] = {
    "Comments",        "InternalName",    "ProductName",  "CompanyName", "LegalCopyright",   "ProductVersion",
    "FileDescription", "LegalTrademarks", "PrivateBuild", "FileVersion", "OriginalFilename", "SpecialBuild"};

template <class T>
bool ReadAt(const std::string& image, std::uint64_t offset, T& out) {
  if (offset > image.size() || image.size() - offset < sizeof(T)) return false;
  std::memcpy(&out, image.data() + offset, sizeof(T));
  return true;
}

// The bytes of the named section of a 64-bit ELF image, or nothing.
std::string FindSection(const std::string& image, const char* wanted) {
  Elf64_Ehdr header{};
  if (!ReadAt(image, 0, header) || std::memcmp(header.e_ident, ELFMAG, SELFMAG) != 0 ||
      header.e_ident[EI_CLASS] != ELFCLASS64 || header.e_shentsize != sizeof(Elf64_Shdr)) {
    return {};
  }
  Elf64_Shdr names{};
  if (header.e_shstrndx >= header.e_shnum ||
      !ReadAt(image, header.e_shoff + std::uint64_t{header.e_shstrndx} * sizeof(Elf64_Shdr), names)) {
    return {};
  }
  for (unsigned i = 0; i < header.e_shnum; ++i) {
    Elf64_Shdr section{};
    if (!ReadAt(image, header.e_shoff + std::uint64_t{i} * sizeof(Elf64_Shdr), section)) return {};
    std::uint64_t nameOffset = names.sh_offset + section.sh_name;
    if (nameOffset >= image.size() || names.sh_offset > image.size()) continue;
    const char* name = image.data() + nameOffset;
    std::size_t room = image.size() - nameOffset;
    if (strnlen(name, room) == room || std::strcmp(name, wanted) != 0) continue;
    if (section.sh_offset > image.size() || image.size() - section.sh_offset < section.sh_size) return {};
    return image.substr(section.sh_offset, section.sh_size);
  }
  return {};
}

// The file mapped at `address` as /proc/self/maps names it (UTF-8), or nothing.
std::string MappedFileAt(const void* address) {
  std::ifstream maps("/proc/self/maps");
  const auto at = reinterpret_cast<std::uintptr_t>(address);
  std::string line;
  while (std::getline(maps, line)) {
    // "begin-end perms offset device inode   path"
    std::istringstream fields(line);
    std::string range, perms, offset, device, inode, path;
    fields >> range >> perms >> offset >> device >> inode;
    std::getline(fields >> std::ws, path);
    std::size_t dash = range.find('-');
    if (dash == std::string::npos) continue;
    auto begin = static_cast<std::uintptr_t>(std::strtoull(range.c_str(), nullptr, 16));
    auto end = static_cast<std::uintptr_t>(std::strtoull(range.c_str() + dash + 1, nullptr, 16));
    if (at < begin || at >= end) continue;
    // a file replaced since it was loaded, or a name the kernel had to escape, is not named
    if (path.empty() || path[0] != '/' || path.find("\\012") != std::string::npos ||
        (path.size() > 10 && path.compare(path.size() - 10, 10, " (deleted)") == 0)) {
      return {};
    }
    return path;
  }
  return {};
}

}  // namespace

std::string OwnModulePath() {
  // The kernel names a mapped file by its absolute path with every link resolved, whatever name
  // the loader was given: under a relative LD_LIBRARY_PATH that name is relative to the folder
  // that was current then, and means another file in any other folder.
  std::string mapped = MappedFileAt(qv_version_block);
  if (!mapped.empty()) return Utf8ToCp1251(mapped);
  Dl_info info{};
  // a relative name is not resolved: the current folder may not be the one it was relative to
  if (dladdr(reinterpret_cast<const void*>(&qv_version_block), &info) && info.dli_fname &&
      info.dli_fname[0] == '/') {
    char* resolved = ::realpath(info.dli_fname, nullptr);
    if (resolved && *resolved == '/') {
      std::string path = resolved;
      std::free(resolved);
      return Utf8ToCp1251(path);
    }
    std::free(resolved);
  }
  char buffer[4096];
  ssize_t n = readlink("/proc/self/exe", buffer, sizeof buffer - 1);
  return n > 0 ? Utf8ToCp1251(std::string(buffer, static_cast<std::size_t>(n))) : std::string();
}

void GetVersionInfo(const std::string& fileName, CStrArray& list) {
  list.Clear();
  if (!FileExists(fileName)) return;
  std::string block = FindSection(ReadFileBytes(fileName), kVersionSection);
  if (block.empty()) return;
  // split the block into its zero-terminated strings
  std::vector<std::string> parts;
  std::size_t start = 0;
  while (start < block.size()) {
    std::size_t end = block.find('\0', start);
    if (end == std::string::npos) end = block.size();
    parts.push_back(block.substr(start, end - start));
    start = end + 1;
  }
  if (parts.empty() || parts[0].size() != 8) return;
  for (const char* name : kVersionNames) {
    for (std::size_t i = 1; i + 1 < parts.size(); i += 2) {
      if (parts[i] == name) {
        list.AddKey(std::string(name) + "=" + parts[i + 1]);
        break;
      }
    }
  }
}

}  // namespace qv
