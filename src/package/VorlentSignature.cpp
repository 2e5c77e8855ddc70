#include "package/VorlentSignature.h"

#include "foundation/CodePage.h"
#include "foundation/Errors.h"
#include "foundation/Files.h"
#include "foundation/ValueCheck.h"
#include "manifest/XMLGpr.h"

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
    if (!element_->FileName().empty()) {
      CheckPackageFileName(element_->FileName());
      content_ = ReadFileBytes(CombinePath(config_.WorkFolder(), element_->FileName()));
    }
    // The cryptographic layer reads the signer from content_ here.
    CXMLGprExtSignatureCollection& list = element_->Signatures();
    for (int i = 0; i < list.Count(); ++i) {
      CXMLGprExtSignature* child = list.ExtSignature(i);
      child->SetOwner(element_);
      auto entry = std::make_shared<CVorlentSignature>();
      resigns_.push_back(entry);
      CVorlentPackageConfig childConfig;
      childConfig.Assign(config_);
      childConfig.SetElement(child);
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
    key_.reset();
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
  files.push_back({GetFileName(), &content_});
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

std::shared_ptr<CVorlentSignature> CVorlentSignature::AddResign(SubjectType role,
                                                                const std::string& content) {
  if (!element_) RaiseError("Документ не открыт"_cp);
  CXMLGprExtSignatureCollection& list = element_->Signatures();
  CXMLGprExtSignature* child = list.AddExtSignature();
  child->SetOwner(element_);
  child->SetRole(role);
  auto entry = std::make_shared<CVorlentSignature>();
  try {
    CVorlentPackageConfig childConfig;
    childConfig.Assign(config_);
    childConfig.SetElement(child);
    entry->New(&childConfig);
  } catch (...) {
    list.Delete(list.Count() - 1);
    throw;
  }
  entry->SetContent(content);
  resigns_.push_back(entry);
  return entry;
}

void CVorlentSignature::Resign(const CVorlentKey& /*key*/) {
  if (!element_) RaiseError("Документ не открыт"_cp);
  RaisePackageCryptoUnavailable();
}

void CVorlentSignature::AddSign(const std::string& /*content*/, SubjectType /*role*/) {
  if (!element_) RaiseError("Документ не открыт"_cp);
  RaisePackageCryptoUnavailable();
}

void CVorlentSignature::DeleteResigns() {
  for (auto& resign : resigns_) resign->Close();
  resigns_.clear();
  if (element_) element_->Signatures().Clear();
}

}  // namespace qv
