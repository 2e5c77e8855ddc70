// What the package container hands to each entry and each entry to its signatures: the
// manifest element the entry is bound to, the working folder, the document flow and the
// certificate storage the cryptographic operations are to use.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "foundation/BaseClass.h"
#include "package/Archive.h"

namespace qv {

class CXMLClass;

class CVorlentPackageConfig : public CBaseClass, public CDocConfig {
 public:
  CVorlentPackageConfig();
  CVorlentPackageConfig(CXMLClass* element, std::uint8_t threadKind, std::string workFolder);

  // Copies all fields but the archive, which is only for the Open it is handed to.
  void Assign(const CVorlentPackageConfig& other);

  // A document entry gets a CXMLGprExtDocument, a signature entry a CXMLGprExtSignature.
  CXMLClass* Element() const { return element_; }
  void SetElement(CXMLClass* element) { element_ = element; }
  const std::string& WorkFolder() const { return workFolder_; }
  void SetWorkFolder(const std::string& folder) { workFolder_ = folder; }
  std::uint8_t ThreadKind() const { return threadKind_; }
  void SetThreadKind(std::uint8_t kind) { threadKind_ = kind; }
  bool FlagUsageUserStorage() const { return flagUsageUserStorage_; }
  void SetFlagUsageUserStorage(bool flag) { flagUsageUserStorage_ = flag; }
  // What a compressed document may unpack to when it is opened; PackageUnpackLimits() unless
  // the container opening a package gives what is left of its content limit.
  const ExtractLimits& UnpackLimits() const { return unpackLimits_; }
  void SetUnpackLimits(const ExtractLimits& limits) { unpackLimits_ = limits; }
  // The archive of the package being opened, which the entry reads its files from. Only a
  // document whose content is left in the archive until it is needed keeps it past its Open.
  const CPackageArchive* Archive() const { return archive_.get(); }
  const std::shared_ptr<const CPackageArchive>& SharedArchive() const { return archive_; }
  void SetArchive(std::shared_ptr<const CPackageArchive> archive) { archive_ = std::move(archive); }

 private:
  CXMLClass* element_ = nullptr;  // not owned
  std::string workFolder_;
  std::uint8_t threadKind_ = 0;
  bool flagUsageUserStorage_ = true;
  ExtractLimits unpackLimits_;
  std::shared_ptr<const CPackageArchive> archive_;
};

// The file `name` of the package being opened from `archive`; "Файл не найден: [%s]" when there
// is no such file or no archive. The message names the file as PackageFileShown does: the
// package file and the entry in it, "<package>/<entry>", which is where the user can look for
// it. (The files are read into memory and never lie in the working folder, so a path there
// would name a file that never existed.)
std::string ReadPackageFile(const CPackageArchive* archive, const std::string& name);
// The entry `name` of the package file of `archive` as messages show it: "<package>/<entry>";
// the bare name when there is no package file.
std::string PackageFileShown(const CPackageArchive* archive, const std::string& name);

// Bounds of a package, read or written.
// A file name in the archive and in the working folder: the longest name a Linux file
// system takes, counted in UTF-8 bytes as it is stored. Signature names grow with the
// depth of their counter-signature, so this also bounds what a save may generate.
constexpr std::size_t kMaxPackageFileName = 255;
// The manifest file: a real one is a few kilobytes.
constexpr std::uint64_t kMaxManifestSize = 16ULL << 20;
// Everything an opened package holds in memory: its documents (compressed ones unpacked)
// and signature files together. Real packages are scanned documents of tens of MiB.
constexpr std::uint64_t kMaxPackageContent = 2ULL << 30;

// "Содержимое пакета больше допустимого размера в памяти (%d байт)" for the content limit `limit`.
std::string ContentLimitMessage(std::uint64_t limit);
// Unpacking a compressed document on its own: the entry limit of extraction, and no more
// than kMaxPackageContent.
ExtractLimits PackageUnpackLimits();

// Names of files inside a package are plain names: not empty, no folder part ("/", "\",
// ":"), not "." or "..", no control characters. Names read from a manifest, set by a
// client or generated are checked, with their length, before they are used to read or
// write in the working folder or the archive.
bool IsPlainFileName(const std::string& name);
// Raises "Недопустимое имя файла в пакете: [%s]" for a name that is not plain, and "Имя
// файла в пакете длиннее %d байт: [%s...]" for one too long.
void CheckPackageFileName(const std::string& name);

}  // namespace qv
