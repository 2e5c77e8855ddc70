// One detached signature of an open package: a signature under a document or a
// counter-signature under another signature, with its own counter-signatures to any depth.
// It names its ".p7s" file, reads and writes it in the working folder and removes its
// counter-signatures. It reads its signer's key record from its bytes, and counter-signs and
// verifies its counter-signatures through the package's cryptographic services
// (package/PackageCrypto.h).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "foundation/BaseClass.h"
#include "foundation/StrArray.h"
#include "manifest/SubjectTypes.h"
#include "package/Archive.h"
#include "package/PackageConfig.h"
#include "package/VorlentKey.h"

namespace qv {

class CXMLClass;
class CXMLGprExtSignature;
class CXMLGprExtSignatureCollection;

// Entries are shared: the owner holds a std::shared_ptr, views keep a std::weak_ptr. An
// entry that is deleted or whose package is closed is closed first (unbound from its
// manifest element), so a view that still holds it sees IsOpened() false; once the owner
// lets go, the view's weak pointer expires as well.
class CVorlentSignature : public CCustomDoc {
 public:
  // Asks once whether the cryptographic provider is installed.
  CVorlentSignature();
  ~CVorlentSignature() override;

  using CCustomDoc::Save;

  // Binds to the configuration's manifest signature; "Документ уже открыт, операция
  // невозможна" when already bound.
  bool New(const CDocConfig* config) override;
  // Closes, binds and reads the signature file and, recursively, the counter-signatures.
  bool Open(const CDocConfig* config) override;
  // Clears the content, unbinds and closes and drops every counter-signature entry.
  bool Close() override;
  bool IsOpened() const override { return element_ != nullptr; }
  // Writes the signature file under its computed name, then the counter-signature files.
  bool Store() override;
  // Names the signature file and, recursively, the counter-signature files as Store does
  // and appends them with their bytes, for an archive written from memory.
  void CollectFiles(std::vector<ArchiveMember>& files);

  // "%s.%s_%d.p7s": the owner's file name, the role word, the position among the siblings
  // counting from 1. Stored into the manifest signature and returned.
  std::string GetFileName();
  void SetFileName(const std::string& name);

  const std::string& GetContent() const { return content_; }
  // Replaces the signature's bytes. Signatures made elsewhere arrive here; the signing
  // operations of the cryptographic layer put the bytes they made here as well.
  void SetContent(std::string content) { content_ = std::move(content); }
  SubjectType GetRole() const;

  int GetResignCount() const { return static_cast<int>(resigns_.size()); }
  // Range check "iIndex".
  std::shared_ptr<CVorlentSignature> GetResign(int index) const;
  // Appends a counter-signature with the given role and bytes (manifest and entry). The
  // counter-signing of the cryptographic layer makes the bytes over GetContent() and
  // calls this; verification reads GetContent() of the entry and of its owner.
  std::shared_ptr<CVorlentSignature> AddResign(SubjectType role, const std::string& content);
  // A new signature entry bound to a new manifest signature of `list`, owned in the
  // manifest by `owner` (a document's or a signature's element), holding `content`. When
  // the entry cannot be made, the manifest signature is taken out again.
  static std::shared_ptr<CVorlentSignature> AddToList(CXMLGprExtSignatureCollection& list, CXMLClass* owner,
                                                      const CVorlentPackageConfig& config, SubjectType role,
                                                      const std::string& content);
  // Removes every counter-signature: the entries and the manifest's counter-signatures.
  void DeleteResigns();

  CXMLGprExtSignature* Element() const { return element_; }
  const CVorlentPackageConfig& EntryConfig() const { return config_; }

  // The signer's key record, read from the signature bytes; its fields are empty while the
  // signer is not known (a signature made elsewhere whose signer cannot be read).
  const CVorlentKey* Key() const { return key_.get(); }
  void SetKey(std::unique_ptr<CVorlentKey> key) { key_ = std::move(key); }

  const CVorlentKey* GetKey() const { return key_.get(); }

  // Adds a counter-signature made with `key` over this signature's bytes; the same signer
  // twice is refused.
  void Resign(const CVorlentKey& key);
  // Adds a counter-signature made elsewhere, with its signer role (subject-type number).
  void AddSign(const std::string& content, SubjectType role);
  // Verifies every counter-signature over this signature's bytes and, below each, the
  // counter-signatures of that one, to any depth.
  void CheckResigns(bool download, bool checkCrl);
  // The signers the last verification found (certificate items and key records).
  CStrArray& SignerList() { return signerList_; }
  bool CspInstalled() const { return cspInstalled_; }

 private:
  void Bind(const CDocConfig* config);

  CXMLGprExtSignature* element_ = nullptr;  // not owned: the manifest owns it
  std::vector<std::shared_ptr<CVorlentSignature>> resigns_;
  std::string content_;
  CVorlentPackageConfig config_;
  // Created with the entry; filled when the signer is read from the signature bytes.
  std::unique_ptr<CVorlentKey> key_ = std::make_unique<CVorlentKey>();
  bool cspInstalled_ = false;
  CStrArray signerList_;
};

// The word for a signer's role in signature file names: "fns", "zayav", "notarius",
// "cbrf", "minust", "mfc", or the subject-type number in decimal digits.
std::string RoleFileWord(SubjectType role);

}  // namespace qv
