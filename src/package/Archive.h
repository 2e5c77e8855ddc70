// The only place the package model touches ZIP archives: extracting a package into its
// working folder, archiving the working folder into a package file, and unpacking a
// document whose content is itself a one-file archive.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "foundation/BaseClass.h"

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

// One file of an archive written from memory: its bare name and its bytes, held by the
// caller until the archive is written.
struct ArchiveMember {
  std::string name;
  const std::string* bytes = nullptr;
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
  // `archivePath`, which names it in messages).
  static void ArchiveMembers(const std::vector<ArchiveMember>& members, int fd,
                             const std::string& archivePath);
  // The bytes of the only entry of the archive held in `content`, within the limits (the
  // total 0: the entry's limit). A size the archive declares beyond them is refused before
  // anything is unpacked; what it really unpacks to is counted as well.
  static std::string UnpackSingleFile(const std::string& content, const ExtractLimits& limits = {});
};

}  // namespace qv
