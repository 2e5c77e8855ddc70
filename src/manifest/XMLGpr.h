// The package description "packageDescription.xml": the root "ТрансИнф" with the sender,
// the optional special operator, the receiver and the documents with their content and
// signature files. The plain classes keep the fixed-length file names of the original
// format; the package container works with the Ext variants, which accept any file name
// and keep counter-signatures nested inside their signature.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "manifest/SubjectTypes.h"
#include "xml/XMLClass.h"

namespace qv {

class CXMLGprPackage;
class CXMLGprDocument;
class CXMLGprSignature;
class CXMLGprExtSignature;
class CXMLGprDocumentCollection;
class CXMLGprSignatureCollection;
class CXMLGprExtSignatureCollection;

// The manifest file's name inside a package.
std::string ManifestFileName();  // "packageDescription.xml"

// How deep counter-signatures may nest under a document's signature. A real package has
// two or three levels; every walk of the signature tree recurses once per level.
constexpr int kMaxCounterSignatureLevel = 32;

class CXMLGprSubject : public CXMLClass {
 public:
  explicit CXMLGprSubject(std::string elementName);

  const std::string& ElementName() const { return elementName_; }
  const std::string& SubjectIdentifier() const { return subjectIdentifier_; }
  void SetSubjectIdentifier(const std::string& text);
  SubjectType GetSubjectType() const { return subjectType_; }
  void SetSubjectType(SubjectType type) { subjectType_ = type; }

 protected:
  void Save(CXMLTextWriter& writer) override;
  void Load(CXMLTextReader& reader) override;

 private:
  const std::string elementName_;
  std::string subjectIdentifier_;
  SubjectType subjectType_ = 0;
};

class CXMLGprPackage : public CXMLClass {
 public:
  CXMLGprPackage();
  ~CXMLGprPackage() override;

  const std::string& ThreadType() const { return threadType_; }
  void SetThreadType(const std::string& text);
  const std::string& ThreadTypeCode() const { return threadTypeCode_; }
  void SetThreadTypeCode(const std::string& text);
  const std::string& TransactType() const { return transactType_; }
  void SetTransactType(const std::string& text);
  const std::string& TransactTypeCode() const { return transactTypeCode_; }
  void SetTransactTypeCode(const std::string& text);
  const std::string& ThreadIdentifier() const { return threadIdentifier_; }
  void SetThreadIdentifier(const std::string& text) { threadIdentifier_ = text; }
  const std::string& ProgVersion() const { return progVersion_; }
  void SetProgVersion(const std::string& text);

  CXMLGprSubject& Sender() const { return *sender_; }
  CXMLGprSubject& SpecialOperator() const { return *specialOperator_; }
  CXMLGprSubject& Receiver() const { return *receiver_; }
  CXMLGprDocumentCollection& Documents() const { return *documents_; }

  bool IsUFRThread() const;
  bool IsCRSThread() const;
  // "UFR:1.0", "CRS:1.0" or "ФНС:1.0" by the flow code.
  std::string FormatVersion() const;

 protected:
  // For subclasses whose factories differ: they call CreateChildren from their own constructor.
  struct DeferChildren {};
  explicit CXMLGprPackage(DeferChildren);
  void CreateChildren();

  void Save(CXMLTextWriter& writer) override;
  void Load(CXMLTextReader& reader) override;
  virtual CXMLGprSubject* CreateSubject(const std::string& elementName);
  virtual CXMLGprDocumentCollection* CreateDocuments();

 private:
  std::string threadType_;
  std::string threadTypeCode_;
  std::string transactType_;
  std::string transactTypeCode_;
  std::string threadIdentifier_;
  std::string progVersion_;
  std::unique_ptr<CXMLGprSubject> sender_;
  std::unique_ptr<CXMLGprSubject> specialOperator_;
  std::unique_ptr<CXMLGprSubject> receiver_;
  std::unique_ptr<CXMLGprDocumentCollection> documents_;
};

class CXMLGprDocument : public CXMLClass {
 public:
  explicit CXMLGprDocument(CXMLGprPackage* package);
  ~CXMLGprDocument() override;

  CXMLGprPackage* Package() const { return package_; }

  const std::string& DocumentType() const { return documentType_; }
  void SetDocumentType(const std::string& text);
  const std::string& DocumentTypeCode() const { return documentTypeCode_; }
  void SetDocumentTypeCode(const std::string& text);
  const std::string& ContentType() const { return contentType_; }
  void SetContentType(const std::string& text);
  bool Compressed() const { return compressed_; }
  void SetCompressed(bool value) { compressed_ = value; }
  bool Encrypted() const { return encrypted_; }
  void SetEncrypted(bool value) { encrypted_ = value; }
  const std::string& DocumentCode() const { return documentCode_; }
  void SetDocumentCode(const std::string& text);
  const std::string& SourceFileName() const { return sourceFileName_; }
  void SetSourceFileName(const std::string& text) { sourceFileName_ = text; }
  const std::string& FileName() const { return fileName_; }
  void SetFileName(const std::string& text);

  CXMLGprSignatureCollection& Signatures() const { return *signatures_; }

 protected:
  struct DeferChildren {};
  CXMLGprDocument(CXMLGprPackage* package, DeferChildren);
  void CreateChildren();

  void Save(CXMLTextWriter& writer) override;
  void Load(CXMLTextReader& reader) override;
  virtual CXMLGprSignatureCollection* CreateSignatures();
  // A content file name that is not empty must have exactly 36 characters.
  virtual void CheckFileName(const std::string& name);

 private:
  CXMLGprPackage* package_;  // not owned
  std::string documentType_;
  std::string documentTypeCode_;
  std::string contentType_;
  bool compressed_ = false;
  bool encrypted_ = false;
  std::string documentCode_;
  std::string sourceFileName_;
  std::string fileName_;
  std::unique_ptr<CXMLGprSignatureCollection> signatures_;
};

class CXMLGprSignature : public CXMLClass {
 public:
  explicit CXMLGprSignature(CXMLGprDocument* document);

  CXMLGprDocument* Document() const { return document_; }
  const std::string& FileName() const { return fileName_; }
  void SetFileName(const std::string& text);
  SubjectType Role() const { return role_; }
  void SetRole(SubjectType role) { role_ = role; }

 protected:
  void Save(CXMLTextWriter& writer) override;
  void Load(CXMLTextReader& reader) override;
  // A signature file name must have exactly 36 characters.
  virtual void CheckFileName(const std::string& name);
  // Reads the file name, the role and the start tag; returns the tag's depth.
  int LoadOwnElement(CXMLTextReader& reader);

 private:
  CXMLGprDocument* document_;  // not owned
  std::string fileName_;
  SubjectType role_ = 0;
};

class CXMLGprSignatureCollection : public CXMLCollection {
 public:
  explicit CXMLGprSignatureCollection(CXMLGprDocument* document) : document_(document) {}

  CXMLGprDocument* Document() const { return document_; }
  std::string ItemName() const override;
  CXMLGprSignature* Signature(int index) const { return static_cast<CXMLGprSignature*>(Item(index)); }
  CXMLGprSignature* AddSignature() { return static_cast<CXMLGprSignature*>(AddItem()); }

 protected:
  CBaseClass* CreateItem() override;

 private:
  CXMLGprDocument* document_;  // not owned
};

class CXMLGprDocumentCollection : public CXMLCollection {
 public:
  explicit CXMLGprDocumentCollection(CXMLGprPackage* package) : package_(package) {}

  CXMLGprPackage* Package() const { return package_; }
  std::string ItemName() const override;
  CXMLGprDocument* Document(int index) const { return static_cast<CXMLGprDocument*>(Item(index)); }
  CXMLGprDocument* AddDocument() { return static_cast<CXMLGprDocument*>(AddItem()); }

 protected:
  CBaseClass* CreateItem() override;

 private:
  CXMLGprPackage* package_;  // not owned
};

// ---- Ext variants: what the package container works with.

class CXMLGprExtPackage : public CXMLGprPackage {
 public:
  CXMLGprExtPackage();

 protected:
  CXMLGprDocumentCollection* CreateDocuments() override;
};

class CXMLGprExtDocumentCollection : public CXMLGprDocumentCollection {
 public:
  using CXMLGprDocumentCollection::CXMLGprDocumentCollection;

 protected:
  CBaseClass* CreateItem() override;
};

class CXMLGprExtDocument : public CXMLGprDocument {
 public:
  explicit CXMLGprExtDocument(CXMLGprPackage* package);

  CXMLGprExtSignatureCollection& ExtSignatures() const;

 protected:
  CXMLGprSignatureCollection* CreateSignatures() override;
  void CheckFileName(const std::string&) override {}
};

// Signatures of a document, or counter-signatures of a signature: items are
// CXMLGprExtSignature objects whose Owner is the document or the signature. A
// counter-signature deeper than kMaxCounterSignatureLevel is refused, read or added.
class CXMLGprExtSignatureCollection : public CXMLGprSignatureCollection {
 public:
  CXMLGprExtSignatureCollection(CXMLGprDocument* document, CXMLClass* owner)
      : CXMLGprSignatureCollection(document), owner_(owner) {}

  CXMLClass* Owner() const { return owner_; }
  CXMLGprExtSignature* ExtSignature(int index) const;
  CXMLGprExtSignature* AddExtSignature();

 protected:
  CBaseClass* CreateItem() override;

 private:
  CXMLClass* owner_;  // not owned
};

class CXMLGprExtSignature : public CXMLGprSignature {
 public:
  CXMLGprExtSignature(CXMLGprDocument* document, CXMLClass* owner);
  ~CXMLGprExtSignature() override;

  // The document or the signature this signature belongs to (not owned).
  CXMLClass* Owner() const { return owner_; }
  void SetOwner(CXMLClass* owner) { owner_ = owner; }
  // Counter-signatures of this signature.
  CXMLGprExtSignatureCollection& Signatures() const { return *signatures_; }
  // 0 for a signature of a document, 1 for a counter-signature of it, and so on.
  int Level() const;

 protected:
  void Save(CXMLTextWriter& writer) override;
  void Load(CXMLTextReader& reader) override;
  void CheckFileName(const std::string&) override {}
  virtual CXMLGprExtSignatureCollection* CreateSignatures();

 private:
  CXMLClass* owner_;  // not owned
  std::unique_ptr<CXMLGprExtSignatureCollection> signatures_;
};

}  // namespace qv
