// The package: one registration package in memory with its life cycle. It creates an
// empty package for a transaction type, opens a package file (a ZIP archive with
// "packageDescription.xml", the content files and the ".p7s" files, all at the root),
// keeps the manifest and one document entry per manifest document in the same order, and
// writes the whole package back. While open it has a private working folder under the
// temporary folder, used only as a staging area and removed on closing.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "foundation/BaseClass.h"
#include "foundation/Files.h"
#include "manifest/SubjectTypes.h"
#include "package/Archive.h"
#include "package/VorlentDocument.h"
#include "package/VorlentSignature.h"

namespace qv {

class CXMLGprExtPackage;

class CVorlentDoc : public CCustomDoc {
 public:
  CVorlentDoc();
  ~CVorlentDoc() override;

  using CCustomDoc::New;
  using CCustomDoc::Open;

  // Closes what is open and starts an empty package with a new working folder.
  bool New();
  // Closes what is open and loads a package file. On failure the container stays open
  // with an empty manifest and no entries, and nothing of the package stays on disk.
  bool Open(const std::string& path);
  // Removes the working folder and drops the manifest and every entry; true.
  bool Close() override;
  bool IsOpened() const override { return opened_; }
  // Writes the package file from the entries' bytes and the manifest: the archive goes to
  // a new file beside the target that replaces the target only when complete, so a failed
  // save leaves an earlier file as it was. The working folder is emptied; nothing of the
  // documents is written there.
  bool Save(const std::string& path) override;
  // Signs the documents at `files` with `key` and saves the package at `path`, as Sign on each
  // and then Save do; the files the package held before are written while the signing runs.
  // A failure of either leaves the package file as it was.
  bool SignAndSave(const std::vector<int>& files, const CVorlentKey& key, const std::string& path);

  SubjectType GetSenderType() const;
  void SetSenderType(SubjectType type);
  std::string GetSenderIdentifier() const;
  void SetSenderIdentifier(const std::string& text);
  SubjectType GetReceiverType() const;
  void SetReceiverType(SubjectType type);
  std::string GetReceiverIdentifier() const;
  void SetReceiverIdentifier(const std::string& text);
  // Internal transaction codes 1 to 9.
  std::uint8_t GetTransactionType() const;
  void SetTransactionType(std::uint8_t code);

  int GetFileCount() const;
  std::shared_ptr<CVorlentDocument> GetFile(int index) const;
  std::shared_ptr<CVorlentDocument> AddDocument();
  // The first document whose source file name is exactly `name`.
  std::shared_ptr<CVorlentDocument> FindDocument(const std::string& name) const;
  int GetSignatureCount(int file) const;
  std::shared_ptr<CVorlentSignature> GetSignature(int file, int sign) const;
  int GetResignCount(int file, int sign) const;
  std::shared_ptr<CVorlentSignature> GetResign(int file, int sign, int resign) const;
  bool DeleteFile(int file);
  bool DeleteFileSignatures(int file);
  bool DeleteFileResignatures(int file, int sign);
  bool DeleteFileSignature(int file, int sign);

  bool GetFlagUsageUserStorage() const { return flagUsageUserStorage_; }
  void SetFlagUsageUserStorage(bool flag) { flagUsageUserStorage_ = flag; }
  // True as soon as one document is encrypted.
  bool IsEncrypted() const;

  // Limits of reading a package on opening: of them only the entry limit applies (below
  // 4 GiB by default), to the package's files and to compressed documents unpacked; all
  // of them together are bound by the content limit.
  void SetExtractLimits(const ExtractLimits& limits) { extractLimits_ = limits; }
  // What an opened package may hold in memory: its documents, compressed ones unpacked,
  // and its signature files together; kMaxPackageContent by default.
  void SetContentLimit(std::uint64_t limit) { contentLimit_ = limit; }

  // The working folder with a trailing "/"; empty when closed.
  const std::string& WorkFolder() const { return workFolder_; }
  // The manifest; "Документ не открыт" when closed.
  CXMLGprExtPackage& Manifest() const;
  // The document-flow type (1 legal entities, 2 individual entrepreneurs) from the
  // manifest's flow code.
  std::uint8_t ThreadKind() const;

  // Cryptographic operations of the package, through the entries' own operations.
  // The document whose source file name is `name` signs with `key`.
  bool SignDocument(const std::string& name, const CVorlentKey& key);
  // The document whose source file name is `name` counter-signs all its signatures with `key`.
  bool ResignDocument(const std::string& name, const CVorlentKey& key);
  // Every document whose kind is to be encrypted, and is not yet, is encrypted for `key`.
  bool EncryptAll(const CVorlentKey& key);
  // Every encrypted document is decrypted.
  bool DecryptAll();

 private:
  void RequireOpen() const;
  void StartPackage();
  void MakeWorkFolder();
  void EnsureWorkFolder();
  void RemoveWorkFolder();
  void DiscardModel();
  void LoadPackage(const std::string& path);
  std::vector<ArchiveMember> CollectFiles();
  // Save, with `change` (when there is one) made to the package while what it held so far is
  // being written.
  void SaveWith(const std::string& path, const std::function<void()>& change);
  std::shared_ptr<CVorlentDocument> Entry(int file) const;
  std::shared_ptr<CVorlentSignature> SignatureEntry(int file, int sign) const;
  void FillConfig(CVorlentPackageConfig& config, CXMLClass* element, std::uint8_t kind) const;

  bool opened_ = false;
  bool flagUsageUserStorage_ = true;
  std::string workFolder_;
  // The working folder, held open (and locked as in use) while it exists: it is emptied and
  // removed through this handle only, never through its name.
  CFileHandle workFolderHandle_;
  std::unique_ptr<CXMLGprExtPackage> manifest_;
  std::vector<std::shared_ptr<CVorlentDocument>> entries_;
  ExtractLimits extractLimits_;
  std::uint64_t contentLimit_ = kMaxPackageContent;
};

// The full path for a path without a folder part: in the current directory.
std::string PackageFullPath(const std::string& path);

}  // namespace qv
