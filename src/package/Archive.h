// The only place the package model touches ZIP archives: reading a package's files into
// memory or extracting them into a folder, archiving files into a package file, and
// unpacking a document whose content is itself a one-file archive.
#pragma once

#include <array>
#include <cstdint>
#include <exception>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "foundation/BaseClass.h"
#include "foundation/Files.h"

struct zip;  // the archive library's archive

namespace qv {

// Limits of extraction, so that a crafted archive cannot fill the disk. An entry may
// unpack to less than 4 GiB (documents are read whole afterwards); all entries of one
// archive together to no more than the free space of the target folder's file system
// less kExtractReserve. The sizes an archive declares are not trusted: bytes are
// counted as they are written.
struct ExtractLimits {
  std::uint64_t maxEntrySize = 0xFFFFFFFFULL;
  std::uint64_t maxTotalSize = 0;  // 0: the free space of the target less kExtractReserve
  // What an excess of the total is reported as; empty: the free space of the temporary folder.
  std::string overTotal;
};
constexpr std::uint64_t kExtractReserve = 64ULL << 20;

class CPackageArchive;

// One file of an archive written from memory: its bare name and its bytes, held by the
// caller until the archive is written. Or, for the first file only, no bytes but the package
// archive whose first entry it is (CPackageArchive::Carriable), carried over as it lies there.
struct ArchiveMember {
  std::string name;
  const std::string* bytes = nullptr;
  std::shared_ptr<const CPackageArchive> carriedFrom;
};

// A package archive open for reading its files into memory, one at a time and only those
// asked for. Every entry's name is checked on opening as extraction checks it (plain names,
// no folders, links or duplicates); every failure is reported as "Неверный формат пакета:
// ошибка при разархивации [%s]".
class CPackageArchive {
 public:
  // Entries of more than `maxEntrySize` bytes are refused.
  CPackageArchive(const std::string& archivePath, std::uint64_t maxEntrySize);
  ~CPackageArchive();
  CPackageArchive(const CPackageArchive&) = delete;
  CPackageArchive& operator=(const CPackageArchive&) = delete;

  // The names of the entries, in the archive's order.
  const std::vector<std::string>& Names() const { return names_; }
  // The package file the archive was opened from.
  const std::string& Path() const { return path_; }
  bool Contains(const std::string& name) const { return index_.count(name) != 0; }
  // The size the archive declares for the entry `name`; 0 when there is none.
  std::uint64_t DeclaredSize(const std::string& name) const;
  // The bytes of the entry `name` (`shown` names the file in "Файл не найден: [%s]" when
  // there is none). An entry that declares more than `maxEntrySize` is refused before it is
  // read; the sizes declared are not trusted: an entry that unpacks to more bytes than it
  // declares is refused by the first byte too many, and the check sum is checked. Several
  // threads may read at once.
  std::string Read(const std::string& name, const std::string& shown) const;
  // Read, handing the bytes to `each` in order as well: those of an entry kept in the package
  // file (Keep) piece by piece, each as soon as it is read and checked while the next are being
  // read, those of any other entry whole. `each` only ever sees bytes checked: a piece no longer
  // what Keep read reaches it in no part, and Read raises.
  std::string Read(const std::string& name, const std::string& shown,
                   const std::function<void(const char*, std::size_t)>& each) const;
  // Reads the entries `names` at once, each on a thread of its own, for the Read of each that
  // follows: that Read gives the bytes read here, checked as any, or raises what failed here;
  // a Read after it reads anew. Left to their Read: entries below kReadAheadSize, a first entry
  // that Keep may keep, and a single one.
  void ReadAhead(const std::vector<std::string>& names);
  // Smaller entries take less time to read than a thread takes to start.
  static constexpr std::uint64_t kReadAheadSize = 4ULL << 20;
  // The entry `from` is known as `to` from now on (`to` names no entry).
  void Rename(const std::string& from, const std::string& to);

  // Documents of at least this size that lie first in the package are read only when needed.
  static constexpr std::uint64_t kCarrySize = 16ULL << 20;
  // What may follow that first entry in the file for it to be carried: the whole file is
  // copied, so a few signatures and the manifest, not other documents or anything appended.
  static constexpr std::uint64_t kCarryRest = 64ULL << 20;
  // The first entry's bytes are digested in pieces of this size, each on whichever processor is free.
  static constexpr std::uint64_t kDigestPiece = 4ULL << 20;
  // The digest of a piece, made with a key of the archive's own.
  using PieceDigest = std::array<unsigned char, 16>;
  using PieceKey = std::array<unsigned char, 16>;
  // Keeps the entry `name` in the package file until its bytes are needed, if it can be: the
  // first entry, of kCarrySize bytes or more, stored as it is (not deflated, not encrypted) right
  // at the start of the file under its own name and followed by at most kCarryRest bytes, so that
  // a new archive can keep it where it lies. It is read here once, its check sum checked (a
  // damaged entry fails the opening as any other), and a digest of every piece of it is kept,
  // made with a key drawn at random here (GMAC): every later read or copy of it is checked
  // against those digests, not against its check sum, which whoever can write the package file
  // can keep while changing the bytes: without the key nobody can change them and keep the digests.
  void Keep(const std::string& name);
  // Whether `name` is the entry Keep has kept in the package file.
  bool Carriable(const std::string& name) const;
  // Copies the package file into the empty file `fd` (the file at `archivePath`) and checks
  // there the local header and the bytes of the kept first entry against what Keep read. Only
  // the descriptor of the package file is used, so another thread may Read meanwhile.
  void CopyInto(int fd, const std::string& archivePath) const;
  std::uint64_t FileSize() const { return archiveSize_; }
  // Where the first entry ends in the file, when Carriable.
  std::uint64_t FirstEntryEnd() const { return first_.dataOffset + first_.size; }
  // Whether the first entry of `archive` (a copy of this one) is still the one CopyInto checked;
  // raises RaiseChanged when it is not.
  void CheckFirstEntryOf(::zip* archive) const;
  // "Файл с пакетом [%s] изменён после открытия: операция невозможна".
  [[noreturn]] void RaiseChanged() const;

 private:
  struct Discard {
    void operator()(::zip* archive) const;
  };
  // The first entry as it lies in the file, when Carriable.
  struct FirstEntry {
    std::string name;
    std::uint64_t dataOffset = 0;
    std::uint64_t size = 0;
    std::uint32_t crc = 0;
    bool kept = false;                 // read and digested by Keep
    std::string header;                // the local header, name and extra field, as Keep read them
    PieceKey key{};                    // of the digests, drawn at random by Keep
    std::vector<PieceDigest> digests;  // of each kDigestPiece bytes of the data
  };
  void FindFirstEntry();
  // Reads the package file whole into whole_; false (and whole_ empty) when it cannot.
  bool ReadWhole();
  // The kept first entry, read once more and checked against its digests; its pieces go to
  // `each`, when given, as Read with `each` tells.
  std::string ReadKept(const std::function<void(const char*, std::size_t)>& each = {}) const;

  // A package file below kCarrySize read whole in one read, and the archive read from it: no
  // system call per entry. Declared before archive_, which reads it until it is discarded.
  std::string whole_;
  std::unique_ptr<::zip, Discard> archive_;
  mutable std::mutex zipLock_;  // archive_ serves one thread at a time: several documents load at once
  std::string path_;            // names the package file in messages
  CFileHandle file_;            // the package file, for carrying its first entry
  std::uint64_t maxEntrySize_;
  std::uint64_t archiveSize_ = 0;
  std::vector<std::string> names_;
  std::map<std::string, std::uint64_t> index_;
  FirstEntry first_;
  // What ReadAhead has read and no Read has taken yet.
  struct ReadEarlier {
    std::string data;
    std::exception_ptr failure;
  };
  mutable std::mutex aheadLock_;
  mutable std::map<std::string, ReadEarlier> ahead_;
};

class COsAbbreviaTool : public CBaseClass {
 public:
  // Extracts every entry of the archive into `folder` (or a fresh braced-GUID subfolder
  // of it), created private (0700). Only plain file names are accepted: absolute names,
  // "..", "/", "\", drive letters, folders, links and duplicate names are refused. On
  // any failure the output folder is removed and the error goes to the caller.
  static std::string ExtractArchive(const std::string& folder, const std::string& archivePath,
                                    bool freshSubfolder, const ExtractLimits& limits = {});
  // Archives the files of `folder` matching `mask` (no subfolders) under their bare
  // names into a new archive at `archivePath`; false when `folder` is not a folder.
  // The archive is written to a temporary file beside the target and renamed over it
  // when complete, so a failed write leaves an earlier file as it was.
  static bool ArchiveFolder(const std::string& folder, const std::string& mask,
                            const std::string& archivePath);
  // Writes a new archive holding `members` under their bare names, each stored or deflated as
  // ArchiveFolder does, read straight from memory, into the open, empty file `fd` (the file at
  // `archivePath`, which names it in messages). A first member carried from a package archive
  // stays as it lies there (CPackageArchive::CopyInto); the others follow it.
  static void ArchiveMembers(const std::vector<ArchiveMember>& members, int fd,
                             const std::string& archivePath);
  // Adds `members` to the archive that ArchiveMembers wrote into `fd`, open for reading and
  // writing: the entries there stay where they lie, the new ones and the directory follow
  // them. No member may have the name of an entry already there.
  static void AppendMembers(const std::vector<ArchiveMember>& members, int fd,
                            const std::string& archivePath);
  // The bytes of the only entry of the archive held in `content`, within the limits (the
  // total 0: the entry's limit). A size the archive declares beyond them is refused before
  // anything is unpacked; what it really unpacks to is counted as well.
  static std::string UnpackSingleFile(const std::string& content, const ExtractLimits& limits = {});
};

}  // namespace qv
