#include "manifest/XMLGpr.h"

#include "foundation/CodePage.h"
#include "foundation/Errors.h"
#include "foundation/Guid.h"
#include "foundation/ValueCheck.h"

namespace qv {
namespace {

// Element and attribute names of the manifest, converted once.
struct Names {
  std::string transInf = "ТрансИнф"_cp;
  std::string sender = "отправитель"_cp;
  std::string specialOperator = "спецоператор"_cp;
  std::string receiver = "получатель"_cp;
  std::string document = "документ"_cp;
  std::string content = "содержимое"_cp;
  std::string signature = "подпись"_cp;
  std::string formatVersion = "версияФормата"_cp;
  std::string threadTypeCode = "кодТипаДокументооборота"_cp;
  std::string threadType = "типДокументооборота"_cp;
  std::string transactTypeCode = "кодТипаТранзакции"_cp;
  std::string transactType = "типТранзакции"_cp;
  std::string threadIdentifier = "идентификаторДокументооборота"_cp;
  std::string progVersion = "ВерсПрог"_cp;
  std::string subjectIdentifier = "идентификаторСубъекта"_cp;
  std::string subjectType = "типСубъекта"_cp;
  std::string documentTypeCode = "кодТипаДокумента"_cp;
  std::string documentType = "типДокумента"_cp;
  std::string contentType = "типСодержимого"_cp;
  std::string compressed = "сжат"_cp;
  std::string encrypted = "зашифрован"_cp;
  std::string documentCode = "идентификаторДокумента"_cp;
  std::string sourceFileName = "исходноеИмяФайла"_cp;
  std::string fileName = "имяФайла"_cp;
  std::string role = "роль"_cp;
  std::string versionFNS = "ФНС:1.0"_cp;
};

const Names& N() {
  static const Names names;
  return names;
}

}  // namespace

std::string ManifestFileName() {
  return "packageDescription.xml";
}

// ---- subject

CXMLGprSubject::CXMLGprSubject(std::string elementName) : elementName_(std::move(elementName)) {}

void CXMLGprSubject::SetSubjectIdentifier(const std::string& text) {
  CValueCheckTool::CheckNotEmpty(text, "SubjectIdentifier");
  subjectIdentifier_ = text;
}

void CXMLGprSubject::Save(CXMLTextWriter& writer) {
  std::string typeName = SubjectTypeToName(subjectType_);
  writer.StartElement(elementName_);
  writer.AddAttribute(N().subjectIdentifier, subjectIdentifier_);
  writer.AddAttribute(N().subjectType, typeName);
  writer.EndElement();
}

void CXMLGprSubject::Load(CXMLTextReader& reader) {
  std::string identifier = reader.ReadAttribute(N().subjectIdentifier);
  CValueCheckTool::CheckNotEmpty(identifier, "SubjectIdentifier");
  std::string typeName = reader.ReadAttribute(N().subjectType);
  reader.ReadStartElement(elementName_);
  SubjectType type = SubjectTypeFromName(typeName);
  // the subject changes only when its whole element was read
  subjectIdentifier_ = identifier;
  subjectType_ = type;
}

// ---- package

CXMLGprPackage::CXMLGprPackage() {
  CreateChildren();
}

CXMLGprPackage::CXMLGprPackage(DeferChildren) {}

CXMLGprPackage::~CXMLGprPackage() = default;

void CXMLGprPackage::CreateChildren() {
  sender_.reset(CreateSubject(N().sender));
  specialOperator_.reset(CreateSubject(N().specialOperator));
  receiver_.reset(CreateSubject(N().receiver));
  documents_.reset(CreateDocuments());
}

CXMLGprSubject* CXMLGprPackage::CreateSubject(const std::string& elementName) {
  return new CXMLGprSubject(elementName);
}

CXMLGprDocumentCollection* CXMLGprPackage::CreateDocuments() {
  return new CXMLGprDocumentCollection(this);
}

void CXMLGprPackage::SetThreadType(const std::string& text) {
  CValueCheckTool::CheckMaxLength(text, "ThreadType", 50);
  threadType_ = text;
}

void CXMLGprPackage::SetThreadTypeCode(const std::string& text) {
  CValueCheckTool::CheckLength(text, "ThreadTypeCode", 2);
  threadTypeCode_ = text;
}

void CXMLGprPackage::SetTransactType(const std::string& text) {
  CValueCheckTool::CheckMaxLength(text, "TransactType", 50);
  transactType_ = text;
}

void CXMLGprPackage::SetTransactTypeCode(const std::string& text) {
  CValueCheckTool::CheckLength(text, "TransactTypeCode", 2);
  transactTypeCode_ = text;
}

void CXMLGprPackage::SetProgVersion(const std::string& text) {
  CValueCheckTool::CheckLengthInRange(text, 1, 40, "ProgVersion");
  progVersion_ = text;
}

bool CXMLGprPackage::IsUFRThread() const {
  return qv::IsUFRThread(threadTypeCode_);
}

bool CXMLGprPackage::IsCRSThread() const {
  return qv::IsCRSThread(threadTypeCode_);
}

std::string CXMLGprPackage::FormatVersion() const {
  if (IsUFRThread()) return "UFR:1.0";
  if (IsCRSThread()) return "CRS:1.0";
  return N().versionFNS;
}

void CXMLGprPackage::Save(CXMLTextWriter& writer) {
  if (threadIdentifier_.empty()) threadIdentifier_ = NewCompactGuid();
  writer.StartDocument();
  writer.StartElement(N().transInf);
  writer.AddAttribute(N().formatVersion, FormatVersion());
  writer.AddAttribute(N().threadTypeCode, threadTypeCode_);
  writer.AddAttribute(N().threadType, threadType_);
  writer.AddAttribute(N().transactTypeCode, transactTypeCode_);
  writer.AddAttribute(N().transactType, transactType_);
  writer.AddAttribute(N().threadIdentifier, threadIdentifier_);
  writer.AddAttribute(N().progVersion, progVersion_);
  sender_->Write(&writer);
  if (!specialOperator_->SubjectIdentifier().empty()) specialOperator_->Write(&writer);
  receiver_->Write(&writer);
  documents_->Write(writer);
  writer.EndElement();
  writer.EndDocument();
}

void CXMLGprPackage::Load(CXMLTextReader& reader) {
  reader.FindElement(N().transInf);
  int depth = reader.CurrentDepth();
  threadType_ = reader.ReadAttribute(N().threadType);
  threadTypeCode_ = reader.ReadAttribute(N().threadTypeCode);
  transactType_ = reader.ReadAttribute(N().transactType);
  transactTypeCode_ = reader.ReadAttribute(N().transactTypeCode);
  threadIdentifier_ = reader.ReadAttribute(N().threadIdentifier);
  progVersion_ = reader.ReadAttribute(N().progVersion);
  reader.ReadStartElement(N().transInf);
  sender_->Read(&reader);
  if (reader.CurrentElementName() == N().specialOperator) specialOperator_->Read(&reader);
  receiver_->Read(&reader);
  // the documents are children of the root: a "документ" inside additional data that may
  // stand before them (any content is allowed there) is not one of them
  reader.FindElement(N().document);
  while (reader.CurrentDepth() != depth + 1) {
    reader.ReadStartElement({});
    reader.FindElement(N().document);
  }
  documents_->Read(reader);
}

// ---- document

CXMLGprDocument::CXMLGprDocument(CXMLGprPackage* package) : package_(package) {
  CreateChildren();
}

CXMLGprDocument::CXMLGprDocument(CXMLGprPackage* package, DeferChildren) : package_(package) {}

CXMLGprDocument::~CXMLGprDocument() = default;

void CXMLGprDocument::CreateChildren() {
  signatures_.reset(CreateSignatures());
}

CXMLGprSignatureCollection* CXMLGprDocument::CreateSignatures() {
  return new CXMLGprSignatureCollection(this);
}

void CXMLGprDocument::CheckFileName(const std::string& name) {
  if (!name.empty()) CValueCheckTool::CheckLength(name, "FileName", 36);
}

void CXMLGprDocument::SetDocumentType(const std::string& text) {
  CValueCheckTool::CheckMaxLength(text, "DocumentType", 50);
  documentType_ = text;
}

void CXMLGprDocument::SetDocumentTypeCode(const std::string& text) {
  CValueCheckTool::CheckLength(text, "DocumentTypeCode", 2);
  documentTypeCode_ = text;
}

void CXMLGprDocument::SetContentType(const std::string& text) {
  CValueCheckTool::CheckNotEmpty(text, "ContentType");
  contentType_ = text;
}

void CXMLGprDocument::SetDocumentCode(const std::string& text) {
  CValueCheckTool::CheckLength(text, "DocumentCode", 32);
  documentCode_ = text;
}

void CXMLGprDocument::SetFileName(const std::string& text) {
  CheckFileName(text);
  fileName_ = text;
}

void CXMLGprDocument::Save(CXMLTextWriter& writer) {
  if (documentCode_.empty()) documentCode_ = NewCompactGuid();
  writer.StartElement(N().document);
  writer.AddAttribute(N().documentTypeCode, documentTypeCode_);
  writer.AddAttribute(N().documentType, documentType_);
  writer.AddAttribute(N().contentType, contentType_);
  writer.AddBoolAttribute(N().compressed, compressed_);
  writer.AddBoolAttribute(N().encrypted, encrypted_);
  writer.AddAttribute(N().documentCode, documentCode_);
  if (!sourceFileName_.empty()) writer.AddAttribute(N().sourceFileName, sourceFileName_);
  if (!fileName_.empty()) {
    writer.StartElement(N().content);
    writer.AddAttribute(N().fileName, fileName_);
    writer.EndElement();
  }
  signatures_->Write(writer);
  writer.EndElement();
}

void CXMLGprDocument::Load(CXMLTextReader& reader) {
  SetDocumentType(reader.ReadAttribute(N().documentType));
  SetDocumentTypeCode(reader.ReadAttribute(N().documentTypeCode));
  SetContentType(reader.ReadAttribute(N().contentType));
  compressed_ = reader.ReadBoolAttribute(N().compressed);
  encrypted_ = reader.ReadBoolAttribute(N().encrypted);
  SetDocumentCode(reader.ReadAttribute(N().documentCode));
  sourceFileName_ = reader.ReadAttribute(N().sourceFileName);
  reader.ReadStartElement(N().document);
  if (reader.CurrentElementName() == N().content) {
    fileName_ = reader.ReadAttribute(N().fileName);
    reader.ReadStartElement(N().content);
  }
  signatures_->Read(reader);
}

// ---- signature

CXMLGprSignature::CXMLGprSignature(CXMLGprDocument* document) : document_(document) {}

void CXMLGprSignature::CheckFileName(const std::string& name) {
  CValueCheckTool::CheckLength(name, "FileName", 36);
}

void CXMLGprSignature::SetFileName(const std::string& text) {
  CheckFileName(text);
  fileName_ = text;
}

void CXMLGprSignature::Save(CXMLTextWriter& writer) {
  writer.StartElement(N().signature);
  writer.AddAttribute(N().fileName, fileName_);
  CXMLGprPackage* package = document_ ? document_->Package() : nullptr;
  if (!package || (!package->IsUFRThread() && !package->IsCRSThread())) {
    writer.AddAttribute(N().role, SubjectTypeToName(role_));
  }
  writer.EndElement();
}

int CXMLGprSignature::LoadOwnElement(CXMLTextReader& reader) {
  SetFileName(reader.ReadAttribute(N().fileName));
  std::string roleName = reader.ReadAttribute(N().role);
  int depth = reader.CurrentDepth();
  reader.ReadStartElement(N().signature);
  role_ = SubjectTypeFromName(roleName);
  return depth;
}

void CXMLGprSignature::Load(CXMLTextReader& reader) {
  LoadOwnElement(reader);
}

std::string CXMLGprSignatureCollection::ItemName() const {
  return N().signature;
}

CBaseClass* CXMLGprSignatureCollection::CreateItem() {
  return new CXMLGprSignature(document_);
}

std::string CXMLGprDocumentCollection::ItemName() const {
  return N().document;
}

CBaseClass* CXMLGprDocumentCollection::CreateItem() {
  return new CXMLGprDocument(package_);
}

// ---- Ext variants

CXMLGprExtPackage::CXMLGprExtPackage() : CXMLGprPackage(DeferChildren{}) {
  CreateChildren();
}

CXMLGprDocumentCollection* CXMLGprExtPackage::CreateDocuments() {
  return new CXMLGprExtDocumentCollection(this);
}

CBaseClass* CXMLGprExtDocumentCollection::CreateItem() {
  return new CXMLGprExtDocument(Package());
}

CXMLGprExtDocument::CXMLGprExtDocument(CXMLGprPackage* package) : CXMLGprDocument(package, DeferChildren{}) {
  CreateChildren();
}

CXMLGprSignatureCollection* CXMLGprExtDocument::CreateSignatures() {
  return new CXMLGprExtSignatureCollection(this, this);
}

CXMLGprExtSignatureCollection& CXMLGprExtDocument::ExtSignatures() const {
  return static_cast<CXMLGprExtSignatureCollection&>(Signatures());
}

CXMLGprExtSignature* CXMLGprExtSignatureCollection::ExtSignature(int index) const {
  return static_cast<CXMLGprExtSignature*>(Item(index));
}

CXMLGprExtSignature* CXMLGprExtSignatureCollection::AddExtSignature() {
  return static_cast<CXMLGprExtSignature*>(AddItem());
}

CBaseClass* CXMLGprExtSignatureCollection::CreateItem() {
  auto signature = dynamic_cast<CXMLGprExtSignature*>(owner_);
  if (signature && signature->Level() >= kMaxCounterSignatureLevel) {
    RaiseErrorFmt("Заверяющие подписи вложены глубже %d уровней"_cp, {kMaxCounterSignatureLevel});
  }
  return new CXMLGprExtSignature(Document(), owner_);
}

CXMLGprExtSignature::CXMLGprExtSignature(CXMLGprDocument* document, CXMLClass* owner)
    : CXMLGprSignature(document), owner_(owner) {
  signatures_.reset(CreateSignatures());
}

CXMLGprExtSignature::~CXMLGprExtSignature() = default;

int CXMLGprExtSignature::Level() const {
  int level = 0;
  for (auto owner = dynamic_cast<CXMLGprExtSignature*>(owner_); owner;
       owner = dynamic_cast<CXMLGprExtSignature*>(owner->Owner()))
    ++level;
  return level;
}

CXMLGprExtSignatureCollection* CXMLGprExtSignature::CreateSignatures() {
  return new CXMLGprExtSignatureCollection(Document(), this);
}

void CXMLGprExtSignature::Save(CXMLTextWriter& writer) {
  std::string roleName = SubjectTypeToName(Role());
  writer.StartElement(N().signature);
  writer.AddAttribute(N().fileName, FileName());
  writer.AddAttribute(N().role, roleName);
  for (int i = 0; i < signatures_->Count(); ++i) signatures_->Item(i)->Write(&writer);
  writer.EndElement();
}

// Counter-signatures keep their nesting: every "подпись" inside this signature's element
// becomes a counter-signature of this signature, not a further signature of the document,
// so a package opened and saved again keeps its signature tree and its file names.
void CXMLGprExtSignature::Load(CXMLTextReader& reader) {
  int depth = LoadOwnElement(reader);
  while (!reader.AtEnd() && reader.CurrentDepth() > depth && reader.CurrentElementName() == N().signature) {
    signatures_->AddItem()->Read(&reader);
  }
}

}  // namespace qv
