#include "package/VorlentDocument.h"

#include "foundation/CodePage.h"
#include "foundation/Errors.h"
#include "foundation/Files.h"
#include "foundation/Guid.h"
#include "foundation/ValueCheck.h"
#include "manifest/XMLGpr.h"
#include "package/Archive.h"
#include "package/PackageCrypto.h"
#include "package/VorlentTool.h"

namespace qv {

CVorlentDocument::CVorlentDocument() : cspInstalled_(PackageCryptoProviderInstalled()) {}

CVorlentDocument::~CVorlentDocument() {
  try {
    CVorlentDocument::Close();
  } catch (...) {
  }
}

void CVorlentDocument::RequireBound() const {
  if (!element_) RaiseError("Документ не открыт"_cp);
}

namespace {

CXMLGprExtDocument* BindTo(const CDocConfig* config, CVorlentPackageConfig& own) {
  auto typed = dynamic_cast<const CVorlentPackageConfig*>(config);
  CValueCheckTool::CheckNotNil(typed, "config");
  auto element = dynamic_cast<CXMLGprExtDocument*>(typed->Element());
  CValueCheckTool::CheckNotNil(element, "Element");
  own.Assign(*typed);
  return element;
}

}  // namespace

bool CVorlentDocument::New(const CDocConfig* config) {
  return Funnel([&] {
    if (IsOpened()) RaiseError("Документ уже открыт, операция невозможна"_cp);
    element_ = BindTo(config, config_);
    if (element_->DocumentCode().empty()) element_->SetDocumentCode(NewCompactGuid());
    return true;
  });
}

bool CVorlentDocument::Open(const CDocConfig* config) {
  return Funnel([&] {
    if (IsOpened()) return true;
    element_ = BindTo(config, config_);
    // BindTo has checked the kind of `config`; its archive is not copied into the own configuration
    const std::shared_ptr<const CPackageArchive>& archive =
        static_cast<const CVorlentPackageConfig*>(config)->SharedArchive();
    if (!element_->FileName().empty()) {
      CheckPackageFileName(element_->FileName());
      const bool unpacks = element_->Compressed() && !element_->Encrypted();
      if (!unpacks && archive && archive->Carriable(element_->FileName())) {
        source_ = archive;  // read when needed, or carried into the next save as it lies
        sourceName_ = element_->FileName();
      } else {
        content_ = std::make_shared<std::string>(ReadPackageFile(archive.get(), element_->FileName()));
      }
      if (unpacks) {
        content_ = std::make_shared<std::string>(
            COsAbbreviaTool::UnpackSingleFile(*content_, config_.UnpackLimits()));
        element_->SetCompressed(false);
      }
    }
    CXMLGprExtSignatureCollection& list = element_->ExtSignatures();
    for (int i = 0; i < list.Count(); ++i) {
      CXMLGprExtSignature* child = list.ExtSignature(i);
      child->SetOwner(element_);
      auto entry = std::make_shared<CVorlentSignature>();
      signs_.push_back(entry);
      CVorlentPackageConfig childConfig;
      childConfig.Assign(config_);
      childConfig.SetElement(child);
      childConfig.SetArchive(archive);
      if (!entry->Open(&childConfig)) return false;
    }
    if (!element_->Compressed() && !element_->Encrypted()) rawContent_ = content_;
    return true;
  });
}

bool CVorlentDocument::Close() {
  return Funnel([&] {
    for (auto& sign : signs_) sign->Close();
    signs_.clear();
    source_.reset();
    content_.reset();
    rawContent_.reset();  // nothing of a closed document stays readable through its entry
    element_ = nullptr;
    return true;
  });
}

bool CVorlentDocument::Store() {
  return Funnel([&] {
    std::string name = GetFileName();
    CheckPackageFileName(name);
    WriteTextFile(CombinePath(config_.WorkFolder(), name), GetContent());
    for (auto& sign : signs_) {
      if (!sign->Store()) return false;
    }
    return true;
  });
}

void CVorlentDocument::CollectFiles(std::vector<ArchiveMember>& files) {
  std::string name = GetFileName();
  if (source_ && files.empty() && name == sourceName_) {
    files.push_back({name, nullptr, source_});
  } else {
    files.push_back({name, &GetContent(), nullptr});
  }
  for (auto& sign : signs_) sign->CollectFiles(files);
}

void CVorlentDocument::Load(const std::function<void(const char*, std::size_t)>& each) const {
  if (!source_) return;
  const bool raw = !element_->Compressed() && !element_->Encrypted();
  content_ = std::make_shared<std::string>(
      source_->Read(sourceName_, PackageFileShown(source_.get(), sourceName_), raw ? each : nullptr));
  if (raw) rawContent_ = content_;
  source_.reset();
}

void CVorlentDocument::SetContent(std::string content) {
  RequireBound();
  source_.reset();
  content_ = std::make_shared<std::string>(std::move(content));
  element_->SetCompressed(false);
  element_->SetEncrypted(false);
  rawContent_ = content_;
}

const std::string& CVorlentDocument::GetContent() const {
  static const std::string empty;
  Load();
  return content_ ? *content_ : empty;
}

const std::string& CVorlentDocument::GetRawContent() const {
  static const std::string empty;
  Load();
  return rawContent_ ? *rawContent_ : empty;
}

std::shared_ptr<const std::string> CVorlentDocument::RawContentHandle(
    const std::function<void(const char*, std::size_t)>& each) const {
  if (source_) {
    Load(each);
  } else if (rawContent_ && each) {
    each(rawContent_->data(), rawContent_->size());
  }
  return rawContent_;
}

std::uint64_t CVorlentDocument::GetRawContentSize() const {
  if (!source_) return GetRawContent().size();
  return element_->Compressed() || element_->Encrypted() ? 0 : source_->DeclaredSize(sourceName_);
}

void CVorlentDocument::ReplaceContent(std::string content, bool encrypted) {
  RequireBound();
  source_.reset();
  content_ = std::make_shared<std::string>(std::move(content));
  element_->SetEncrypted(encrypted);
  if (!encrypted && !element_->Compressed()) rawContent_ = content_;
}

void CVorlentDocument::UnpackCompressed() {
  if (!element_->Compressed() || element_->Encrypted()) return;
  content_ =
      std::make_shared<std::string>(COsAbbreviaTool::UnpackSingleFile(GetContent(), PackageUnpackLimits()));
  element_->SetCompressed(false);
  rawContent_ = content_;
}

void CVorlentDocument::Sign(const CVorlentKey& key) {
  // Empty when a handler of the failure let it pass: nothing to add then.
  std::string bytes = MakeSignature(key);
  if (!bytes.empty()) AddSign(bytes, key.SignRole());
}

std::string CVorlentDocument::MakeSignature(const CVorlentKey& key, CSharedSigner* signer) {
  std::string bytes;
  Funnel([&] {
    RequireBound();
    RequirePackageCryptoProvider(cspInstalled_, "подписание"_cp);
    if (element_->Encrypted()) RaiseError("Нельзя подписывать зашифрованный документ"_cp);
    UnpackCompressed();
    // A signature whose signer could not be read has an empty thumbprint: it is nobody's.
    for (const auto& sign : signs_) {
      if (!key.Sha1().empty() && sign->Key() && sign->Key()->Sha1() == key.Sha1()) {
        RaiseErrorFmt("Подпись [%s] уже имеется под этим документом"_cp, {key.SubjectCN()});
      }
    }
    if (!signer) {
      bytes = PackageCryptoService()->SignDetached(config_.FlagUsageUserStorage(), key, GetContent());
      return;
    }
    // A document left in the package file is digested piece by piece as it is read and checked.
    std::unique_ptr<CContentSigning> signing = signer->Start(config_.FlagUsageUserStorage());
    RawContentHandle([&](const char* data, std::size_t size) { signing->Update(data, size); });
    bytes = signing->Finish(GetContent());
  });
  return bytes;
}

void CVorlentDocument::Resign(const CVorlentKey& key) {
  Funnel([&] {
    RequireBound();
    RequirePackageCryptoProvider(cspInstalled_, "переподписание"_cp);
    for (auto& sign : signs_) sign->Resign(key);
  });
}

void CVorlentDocument::AddSign(const std::string& content, SubjectType role) {
  Funnel([&] {
    RequireBound();
    CValueCheckTool::CheckNotEmpty(content, "sSignatureContent");
    // The signer is read before anything is added, so a refused signature leaves neither an
    // entry nor a manifest signature behind.
    auto key = std::make_unique<CVorlentKey>();
    ReadSignerKey(content, role, *key);
    std::shared_ptr<CVorlentSignature> entry = AddSignature(role, content);
    entry->SetKey(std::move(key));
  });
}

void CVorlentDocument::CheckSign(bool download, bool checkCrl) {
  Funnel([&] {
    RequireBound();
    RequirePackageCryptoProvider(cspInstalled_, "Проверка подписи"_cp);
    if (element_->Encrypted()) {
      RaiseError(
          "Нельзя проверить подпись под зашифрованным документом. Необходимо предварительно его расшифровать"_cp);
    }
    // The document's signatures and counter-signatures are one verification run.
    std::shared_ptr<void> run = PackageCryptoService()->OpenVerificationRun();
    for (std::size_t i = 0; i < signs_.size(); ++i) {
      CVorlentSignature& sign = *signs_[i];
      try {
        PackageCryptoService()->VerifySignature(config_.FlagUsageUserStorage(), GetContent(),
                                                sign.GetContent(), sign.SignerList(), download, checkCrl);
      } catch (const std::exception& e) {
        RaiseErrorFmt("Ошибка при проверке подписи [#%d]: %s"_cp,
                      {static_cast<int>(i), std::string(e.what())});
      }
      sign.CheckResigns(download, checkCrl);
    }
  });
}

void CVorlentDocument::Encrypt(const CVorlentKey& key) {
  Funnel([&] {
    RequireBound();
    RequirePackageCryptoProvider(cspInstalled_, "шифрование"_cp);
    if (!CVorlentTool::FindKind(config_.ThreadKind(), GetKind()).encrypt) return;
    if (element_->Encrypted()) return;
    std::shared_ptr<CPackageCryptoService> service = PackageCryptoService();
    std::string encrypted =
        key.CertificateBody().empty()
            ? service->EncryptForThumbprint(config_.FlagUsageUserStorage(), GetContent(), key.Sha1())
            : service->EncryptForCertificate(GetContent(), key.CertificateBody());
    ReplaceContent(std::move(encrypted), true);
  });
}

void CVorlentDocument::Decrypt() {
  Funnel([&] {
    RequireBound();
    RequirePackageCryptoProvider(cspInstalled_, "расшифрование"_cp);
    if (!element_->Encrypted()) return;
    // Decrypted where it lies unless something else still holds the encrypted content.
    Load();
    if (!content_ || content_.use_count() > 1) content_ = std::make_shared<std::string>(GetContent());
    PackageCryptoService()->Decrypt(config_.FlagUsageUserStorage(), *content_);
    element_->SetEncrypted(false);
    UnpackCompressed();
    rawContent_ = content_;
  });
}

void CVorlentDocument::SaveRawContent(const std::string& path) const {
  // The plain content may be a decrypted document: a new file is private, an existing one
  // keeps its access, and a failed write leaves whatever the path held before, never a part of
  // the new content. A link, FIFO or device at the path is refused, never replaced.
  if (path.empty()) RaiseError("Передано пустое имя файла"_cp);
  ReplaceFileAtomically(path, GetRawContent(), 0600, true);
}

std::uint8_t CVorlentDocument::GetKind() const {
  RequireBound();
  return CVorlentTool::FindKindByCode(config_.ThreadKind(), element_->DocumentTypeCode()).kind;
}

void CVorlentDocument::SetKind(std::uint8_t kind) {
  RequireBound();
  KindInfo info = CVorlentTool::FindKind(config_.ThreadKind(), kind);
  element_->SetDocumentType(info.typeName);
  element_->SetDocumentTypeCode(info.code);
}

std::string CVorlentDocument::GetContentType() const {
  RequireBound();
  return element_->ContentType();
}

void CVorlentDocument::SetContentType(const std::string& text) {
  RequireBound();
  element_->SetContentType(text);
}

std::string CVorlentDocument::GetDocumentCode() const {
  RequireBound();
  return element_->DocumentCode();
}

void CVorlentDocument::SetDocumentCode(const std::string& text) {
  RequireBound();
  element_->SetDocumentCode(text);
}

std::string CVorlentDocument::GetFileName() {
  RequireBound();
  if (!element_->FileName().empty()) return element_->FileName();
  KindInfo info = CVorlentTool::FindKindByCode(config_.ThreadKind(), element_->DocumentTypeCode());
  std::string name = FormatText(
      "%s_%s%s", {info.fileStem, element_->DocumentCode(), ExtractFileExt(element_->SourceFileName())});
  element_->SetFileName(name);
  return name;
}

void CVorlentDocument::SetFileName(const std::string& name) {
  RequireBound();
  element_->SetFileName(name);
}

std::string CVorlentDocument::GetSourceFileName() const {
  RequireBound();
  return element_->SourceFileName();
}

void CVorlentDocument::SetSourceFileName(const std::string& path) {
  RequireBound();
  element_->SetSourceFileName(ExtractFileName(path));
}

bool CVorlentDocument::IsCompressed() const {
  RequireBound();
  return element_->Compressed();
}

bool CVorlentDocument::IsEncrypted() const {
  RequireBound();
  return element_->Encrypted();
}

std::shared_ptr<CVorlentSignature> CVorlentDocument::GetSignature(int index) const {
  CValueCheckTool::CheckInRange(index, 0, GetSignatureCount() - 1, "iIndex");
  return signs_[static_cast<std::size_t>(index)];
}

std::shared_ptr<CVorlentSignature> CVorlentDocument::AddSignature(SubjectType role,
                                                                  const std::string& content) {
  RequireBound();
  auto entry = CVorlentSignature::AddToList(element_->ExtSignatures(), element_, config_, role, content);
  signs_.push_back(entry);
  return entry;
}

void CVorlentDocument::DeleteSignature(int index) {
  Funnel([&] {
    CValueCheckTool::CheckInRange(index, 0, GetSignatureCount() - 1, "iIndex");
    std::shared_ptr<CVorlentSignature> entry = signs_[static_cast<std::size_t>(index)];
    entry->DeleteResigns();
    entry->Close();
    signs_.erase(signs_.begin() + index);
    element_->Signatures().Delete(index);
  });
}

void CVorlentDocument::DeleteSignatures() {
  Funnel([&] {
    for (auto& sign : signs_) {
      sign->DeleteResigns();
      sign->Close();
    }
    signs_.clear();
    if (element_) element_->Signatures().Clear();
  });
}

}  // namespace qv
