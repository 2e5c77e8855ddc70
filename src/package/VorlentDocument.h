// One document of an open package: its bytes, its binding to the manifest document that
// describes it, and its signature entries. It reads its files from the working folder when
// opened and writes them when stored; everything else lives in memory. Signing,
// verification, encryption and decryption go through the package's cryptographic services
// (package/PackageCrypto.h).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "foundation/BaseClass.h"
#include "manifest/SubjectTypes.h"
#include "package/PackageConfig.h"
#include "package/VorlentSignature.h"

namespace qv {

class CSharedSigner;

class CXMLGprExtDocument;

// Shared like signature entries: the container holds a std::shared_ptr, views a
// std::weak_ptr; a deleted entry is closed before it is dropped, so IsOpened() turns false
// for anyone still holding it.
class CVorlentDocument : public CCustomDoc {
 public:
  // Asks once whether the cryptographic provider is installed.
  CVorlentDocument();
  ~CVorlentDocument() override;

  using CCustomDoc::Save;

  // Binds a new manifest document and gives it an identifier when it has none;
  // "Документ уже открыт, операция невозможна" when already bound.
  bool New(const CDocConfig* config) override;
  // Binds an existing manifest document and reads its content (unpacking a compressed
  // one) and its signature files; an entry already bound stays as it is.
  bool Open(const CDocConfig* config) override;
  // Drops the content and the plain content, unbinds and closes every signature entry.
  bool Close() override;
  bool IsOpened() const override { return element_ != nullptr; }
  // Writes the content file (naming it first) and every signature file.
  bool Store() override;
  // Names the content and signature files as Store does and appends them with their
  // bytes, for an archive written from memory.
  void CollectFiles(std::vector<ArchiveMember>& files);

  const std::string& GetContent() const;
  // Sets the plain content; clears the compressed and encrypted marks.
  void SetContent(std::string content);
  const std::string& GetRawContent() const;
  // The buffer GetRawContent() returns, held: while it is held its bytes stay what they are.
  // Its bytes go to `each` in order as well, when given: those of a document left in the package
  // file piece by piece as they are read and checked (CPackageArchive::Read), so that it is
  // digested while it is read. Nothing for a document with no raw content.
  std::shared_ptr<const std::string> RawContentHandle(
      const std::function<void(const char*, std::size_t)>& each = {}) const;
  // The size of GetRawContent(), without reading a document still left in the package file.
  std::uint64_t GetRawContentSize() const;
  void SaveRawContent(const std::string& path) const;

  std::uint8_t GetKind() const;
  void SetKind(std::uint8_t kind);
  std::string GetContentType() const;
  void SetContentType(const std::string& text);
  std::string GetDocumentCode() const;
  void SetDocumentCode(const std::string& text);
  // The content file name inside the package; assigned at the first call as
  // "<stem>_<identifier><extension of the source file name>" and kept afterwards.
  std::string GetFileName();
  void SetFileName(const std::string& name);
  std::string GetSourceFileName() const;
  // Keeps the file-name part of the path only.
  void SetSourceFileName(const std::string& path);
  bool IsCompressed() const;
  bool IsEncrypted() const;

  int GetSignatureCount() const { return static_cast<int>(signs_.size()); }
  // Range check "iIndex".
  std::shared_ptr<CVorlentSignature> GetSignature(int index) const;
  // Appends a signature with the given role and bytes (manifest and entry). Signatures
  // made elsewhere arrive here; the signing of the cryptographic layer makes the bytes
  // over GetContent() and calls this, after its own checks (document not encrypted, the
  // signer has not signed it yet).
  std::shared_ptr<CVorlentSignature> AddSignature(SubjectType role, const std::string& content);
  // Range check "iIndex"; removes that signature with its counter-signatures.
  void DeleteSignature(int index);
  void DeleteSignatures();

  CXMLGprExtDocument* Element() const { return element_; }
  const CVorlentPackageConfig& EntryConfig() const { return config_; }

  // Encryption and decryption of the cryptographic layer replace the content through
  // this and set or clear the encrypted mark; the last plain content is kept.
  void ReplaceContent(std::string content, bool encrypted);

  // Signs the content with `key` and adds the signature with the key's role; refused for an
  // encrypted document and for a signer (same thumbprint) that has signed it already.
  void Sign(const CVorlentKey& key);
  // The signature Sign adds, made and not added: documents of one package may make theirs on
  // several threads at once (the content digest is nearly all the work), each its own.
  std::string MakeSignature(const CVorlentKey& key, CSharedSigner* signer = nullptr);
  // Every signature, in order, gets a counter-signature made with `key`.
  void Resign(const CVorlentKey& key);
  // Adds a signature made elsewhere with its signer role (subject-type number).
  void AddSign(const std::string& content, SubjectType role);
  // Verifies every signature and counter-signature.
  void CheckSign(bool download, bool checkCrl);
  // Encrypts the content for the key's certificate when the document kind is marked for
  // encryption and the document is not encrypted yet; otherwise does nothing.
  void Encrypt(const CVorlentKey& key);
  // Decrypts an encrypted document with the personal store; otherwise does nothing.
  void Decrypt();
  bool CspInstalled() const { return cspInstalled_; }

 private:
  void RequireBound() const;
  void UnpackCompressed();
  // Reads the content left in the package archive, if it is still there; the raw content goes to
  // `each` as it is read.
  void Load(const std::function<void(const char*, std::size_t)>& each = {}) const;

  CXMLGprExtDocument* element_ = nullptr;  // not owned: the manifest owns it
  CVorlentPackageConfig config_;
  std::vector<std::shared_ptr<CVorlentSignature>> signs_;
  // The plain content and the current content share one buffer while they are the same,
  // so a large document is held once. A large document first in its package stays in the
  // package file (source_, under sourceName_) until its bytes are needed: counter-signing or
  // re-saving the package never reads them into memory.
  using Bytes = std::shared_ptr<const std::string>;
  mutable std::shared_ptr<std::string> content_;
  mutable Bytes rawContent_;
  mutable std::shared_ptr<const CPackageArchive> source_;
  std::string sourceName_;
  bool cspInstalled_ = false;
};

}  // namespace qv
