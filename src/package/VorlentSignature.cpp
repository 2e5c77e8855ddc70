#include "package/VorlentSignature.h"

#include "foundation/CodePage.h"
#include "foundation/Errors.h"
#include "foundation/Files.h"
#include "foundation/ValueCheck.h"
#include "manifest/XMLGpr.h"
#include "package/PackageCrypto.h"

namespace qv {

std::string RoleFileWord(SubjectType role) {
  switch (role) {
    case kSubjectTaxAuthority:
      return "fns";
    case kSubjectApplicant:
      return "zayav";
    case kSubjectNotary:
      return "notarius";
    case kSubjectCentralBankBody:
      return "cbrf";
    case kSubjectJusticeBody:
      return "minust";
    case kSubjectMFC:
      return "mfc";
    default:
      return std::to_string(role);
  }
}

namespace {

const CVorlentPackageConfig& PackageConfigOf(const CDocConfig* config) {
  auto typed = dynamic_cast<const CVorlentPackageConfig*>(config);
  CValueCheckTool::CheckNotNil(typed, "config");
  return *typed;
}

}  // namespace

CVorlentSignature::CVorlentSignature() : cspInstalled_(PackageCryptoProviderInstalled()) {
  signerList_.SetOwnership(CStrArray::kOwnDestroy);
}

CVorlentSignature::~CVorlentSignature() {
  try {
    CVorlentSignature::Close();
  } catch (...) {
  }
}

void CVorlentSignature::Bind(const CDocConfig* config) {
  const CVorlentPackageConfig& source = PackageConfigOf(config);
  auto element = dynamic_cast<CXMLGprExtSignature*>(source.Element());
  CValueCheckTool::CheckNotNil(element, "Element");
  config_.Assign(source);
  element_ = element;
}

bool CVorlentSignature::New(const CDocConfig* config) {
  return Funnel([&] {
    if (IsOpened()) RaiseError("Документ уже открыт, операция невозможна"_cp);
    Bind(config);
    return true;
  });
}

bool CVorlentSignature::Open(const CDocConfig* config) {
  return Funnel([&] {
    Close();
    Bind(config);
    const CPackageArchive* archive = PackageConfigOf(config).Archive();
    if (!element_->FileName().empty()) {
      CheckPackageFileName(element_->FileName());
      content_ = ReadPackageFile(archive, element_->FileName());
    }
    if (!content_.empty()) {
      // A signature whose signer cannot be read still opens, with an empty key record: its
      // bytes stay as they are and are written back on save; verification reports it.
      auto key = std::make_unique<CVorlentKey>();
      try {
        ReadSignerKey(content_, element_->Role(), *key);
        key_ = std::move(key);
      } catch (const std::exception& e) {
        Trace("Не удалось прочитать подписанта из [%s]: %s"_cp, {element_->FileName(), e.what()});
      }
    }
    CXMLGprExtSignatureCollection& list = element_->Signatures();
    for (int i = 0; i < list.Count(); ++i) {
      CXMLGprExtSignature* child = list.ExtSignature(i);
      child->SetOwner(element_);
      auto entry = std::make_shared<CVorlentSignature>();
      resigns_.push_back(entry);
      CVorlentPackageConfig childConfig;
      childConfig.Assign(config_);
      childConfig.SetElement(child);
      childConfig.SetArchive(PackageConfigOf(config).SharedArchive());
      if (!entry->Open(&childConfig)) return false;
    }
    return true;
  });
}

bool CVorlentSignature::Close() {
  return Funnel([&] {
    for (auto& resign : resigns_) resign->Close();
    resigns_.clear();
    content_.clear();
    key_ = std::make_unique<CVorlentKey>();
    signerList_.Clear();
    element_ = nullptr;
    return true;
  });
}

bool CVorlentSignature::Store() {
  return Funnel([&] {
    std::string name = GetFileName();
    CheckPackageFileName(name);
    WriteTextFile(CombinePath(config_.WorkFolder(), name), content_);
    for (auto& resign : resigns_) {
      if (!resign->Store()) return false;
    }
    return true;
  });
}

void CVorlentSignature::CollectFiles(std::vector<ArchiveMember>& files) {
  files.push_back({GetFileName(), &content_, nullptr});
  for (auto& resign : resigns_) resign->CollectFiles(files);
}

std::string CVorlentSignature::GetFileName() {
  if (!element_) RaiseError("Документ не открыт"_cp);
  CXMLGprExtSignatureCollection* siblings = nullptr;
  std::string ownerName;
  if (auto document = dynamic_cast<CXMLGprExtDocument*>(element_->Owner())) {
    siblings = &document->ExtSignatures();
    ownerName = document->FileName();
  } else if (auto signature = dynamic_cast<CXMLGprExtSignature*>(element_->Owner())) {
    siblings = &signature->Signatures();
    ownerName = signature->FileName();
  } else {
    RaiseError("Не назначен Owner"_cp);
  }
  int position = 1;
  std::string word;
  for (int i = 0; i < siblings->Count(); ++i) {
    if (siblings->ExtSignature(i) == element_) {
      position = i + 1;
      word = RoleFileWord(element_->Role());
      break;
    }
  }
  std::string name = FormatText("%s.%s_%d.p7s", {ownerName, word, position});
  element_->SetFileName(name);
  return name;
}

void CVorlentSignature::SetFileName(const std::string& name) {
  if (!element_) RaiseError("Документ не открыт"_cp);
  element_->SetFileName(name);
}

SubjectType CVorlentSignature::GetRole() const {
  return element_ ? element_->Role() : 0;
}

std::shared_ptr<CVorlentSignature> CVorlentSignature::GetResign(int index) const {
  CValueCheckTool::CheckInRange(index, 0, GetResignCount() - 1, "iIndex");
  return resigns_[static_cast<std::size_t>(index)];
}

std::shared_ptr<CVorlentSignature> CVorlentSignature::AddToList(CXMLGprExtSignatureCollection& list,
                                                                CXMLClass* owner,
                                                                const CVorlentPackageConfig& config,
                                                                SubjectType role,
                                                                const std::string& content) {
  CXMLGprExtSignature* child = list.AddExtSignature();
  child->SetOwner(owner);
  child->SetRole(role);
  auto entry = std::make_shared<CVorlentSignature>();
  try {
    CVorlentPackageConfig childConfig;
    childConfig.Assign(config);
    childConfig.SetElement(child);
    entry->New(&childConfig);
  } catch (...) {
    list.Delete(list.Count() - 1);
    throw;
  }
  entry->SetContent(content);
  return entry;
}

std::shared_ptr<CVorlentSignature> CVorlentSignature::AddResign(SubjectType role,
                                                                const std::string& content) {
  if (!element_) RaiseError("Документ не открыт"_cp);
  auto entry = AddToList(element_->Signatures(), element_, config_, role, content);
  resigns_.push_back(entry);
  return entry;
}

void CVorlentSignature::Resign(const CVorlentKey& key) {
  Funnel([&] {
    if (!element_) RaiseError("Документ не открыт"_cp);
    RequirePackageCryptoProvider(cspInstalled_, "подписание"_cp);
    for (const auto& resign : resigns_) {
      if (!key.Sha1().empty() && resign->Key() && resign->Key()->Sha1() == key.Sha1()) {
        RaiseErrorFmt("Подпись [%s] уже имеется под подписью [%s]"_cp,
                      {key.SubjectCN(), key_ ? key_->SubjectCN() : std::string()});
      }
    }
    std::string bytes = PackageCryptoService()->SignDetached(config_.FlagUsageUserStorage(), key, content_);
    AddSign(bytes, key.SignRole());
  });
}

void CVorlentSignature::AddSign(const std::string& content, SubjectType role) {
  Funnel([&] {
    if (!element_) RaiseError("Документ не открыт"_cp);
    CValueCheckTool::CheckNotEmpty(content, "sSignatureContent");
    // The signer is read before anything is added, so a refused signature leaves neither an
    // entry nor a manifest signature behind.
    auto key = std::make_unique<CVorlentKey>();
    ReadSignerKey(content, role, *key);
    std::shared_ptr<CVorlentSignature> entry = AddResign(role, content);
    entry->SetKey(std::move(key));
  });
}

void CVorlentSignature::CheckResigns(bool download, bool checkCrl) {
  Funnel([&] {
    if (!element_) RaiseError("Документ не открыт"_cp);
    RequirePackageCryptoProvider(cspInstalled_, "проверка ЭЦП"_cp);
    for (std::size_t i = 0; i < resigns_.size(); ++i) {
      CVorlentSignature& resign = *resigns_[i];
      try {
        PackageCryptoService()->VerifySignature(config_.FlagUsageUserStorage(), content_, resign.content_,
                                                signerList_, download, checkCrl);
        resign.CheckResigns(download, checkCrl);
      } catch (const std::exception& e) {
        RaiseErrorFmt("Ошибка при проверке подписих [#%d] под подписью: %s"_cp,
                      {static_cast<int>(i), std::string(e.what())});
      }
    }
  });
}

void CVorlentSignature::DeleteResigns() {
  for (auto& resign : resigns_) resign->Close();
  resigns_.clear();
  if (element_) element_->Signatures().Clear();
}

}  // namespace qv
