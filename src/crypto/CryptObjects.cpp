#include "crypto/CryptObjects.h"

#include "crypto/CryptoUtils.h"
#include "foundation/CodePage.h"
#include "foundation/Errors.h"
#include "platform/CryptError.h"

namespace qv {

// ---------------------------------------------------------------------------------------
// Names

void CCryptNameInfo::Attach(const CertContextPtr& owner, const X509_NAME* name) {
  if (name == name_ && owner == owner_) return;
  Release();
  owner_ = owner;
  name_ = name;
  if (name_) Parse();
}

void CCryptNameInfo::Parse() {
  struct Field {
    const char* oid;
    std::string CCryptNameInfo::*field;
  };
  static const Field kFields[] = {
      {"2.5.4.3", &CCryptNameInfo::CN},
      {"2.5.4.11", &CCryptNameInfo::OU},
      {"2.5.4.42", &CCryptNameInfo::G},
      {"2.5.4.4", &CCryptNameInfo::SN},
      {"1.2.643.100.1", &CCryptNameInfo::OGRN},
      {"1.2.840.113549.1.9.1", &CCryptNameInfo::E},
      {"2.5.4.10", &CCryptNameInfo::O},
      {"2.5.4.12", &CCryptNameInfo::T},
      {"1.2.643.3.131.1.1", &CCryptNameInfo::INN},
      {"1.2.643.3.141.1.1", &CCryptNameInfo::RegNumFSS},
      {"1.2.643.3.141.1.2", &CCryptNameInfo::SubCodeFSS},
      {"1.2.643.100.3", &CCryptNameInfo::SNILS},
  };
  std::string text;
  for (int i = 0; i < X509_NAME_entry_count(name_); ++i) {
    const X509_NAME_ENTRY* entry = X509_NAME_get_entry(name_, i);
    std::string oid = OidText(X509_NAME_ENTRY_get_object(entry));
    std::string value = Asn1StringTo1251(X509_NAME_ENTRY_get_data(entry));
    if (!text.empty()) text += ", ";
    text += oid + "=" + value;
    for (const Field& f : kFields) {
      if (oid == f.oid) this->*f.field = value;
    }
  }
  Text = text;
}

void CCryptNameInfo::ReleaseHandle() {
  CN.clear(), OU.clear(), G.clear(), SN.clear(), OGRN.clear(), E.clear(), O.clear(), T.clear();
  INN.clear(), RegNumFSS.clear(), SubCodeFSS.clear(), SNILS.clear(), Text.clear();
  name_ = nullptr;
  owner_.reset();
}

// ---------------------------------------------------------------------------------------
// Extensions and public key

void CCryptExtensions::Attach(const CertContextPtr& owner) {
  if (owner == owner_) return;
  Release();
  owner_ = owner;
}

void CCryptExtensions::ReleaseHandle() {
  crlDistributionPoints_.reset();
  policies_.reset();
  owner_.reset();
}

CStrArray& CCryptExtensions::GetCrlDistributionPoints() {
  if (crlDistributionPoints_) return *crlDistributionPoints_;
  auto list = std::make_unique<CStrArray>();
  if (owner_) {
    int critical = -1;
    DistPointsPtr points(static_cast<CRL_DIST_POINTS*>(
        X509_get_ext_d2i(owner_->Cert(), NID_crl_distribution_points, &critical, nullptr)));
    if (!points && critical != -1) {
      SetLastCryptErrorFromOpenSsl(kCryptEAsn1BadTag);
      RaiseLastCryptError();
    }
    for (int i = 0; points && i < sk_DIST_POINT_num(points.get()); ++i) {
      DIST_POINT* point = sk_DIST_POINT_value(points.get(), i);
      if (!point->distpoint || point->distpoint->type != 0) continue;
      GENERAL_NAMES* names = point->distpoint->name.fullname;
      for (int j = 0; j < sk_GENERAL_NAME_num(names); ++j) {
        GENERAL_NAME* name = sk_GENERAL_NAME_value(names, j);
        if (name->type == GEN_URI) list->AddKey(Asn1StringTo1251(name->d.uniformResourceIdentifier));
      }
    }
  }
  crlDistributionPoints_ = std::move(list);
  return *crlDistributionPoints_;
}

CStrArray& CCryptExtensions::GetPolicies() {
  if (policies_) return *policies_;
  auto list = std::make_unique<CStrArray>();
  if (owner_) {
    int critical = -1;
    PoliciesPtr policies(static_cast<CERTIFICATEPOLICIES*>(
        X509_get_ext_d2i(owner_->Cert(), NID_certificate_policies, &critical, nullptr)));
    if (!policies && critical != -1) {
      SetLastCryptErrorFromOpenSsl(kCryptEAsn1BadTag);
      RaiseLastCryptError();
    }
    for (int i = 0; policies && i < sk_POLICYINFO_num(policies.get()); ++i) {
      list->AddKey(OidText(sk_POLICYINFO_value(policies.get(), i)->policyid));
    }
  }
  policies_ = std::move(list);
  return *policies_;
}

void CCryptPublicKey::Attach(const CertContextPtr& owner) {
  if (owner == owner_) return;
  Release();
  owner_ = owner;
  if (owner_) Parse();
}

void CCryptPublicKey::Parse() {
  ASN1_OBJECT* algorithm = nullptr;
  X509_PUBKEY* key = X509_get_X509_PUBKEY(owner_->Cert());
  if (key && X509_PUBKEY_get0_param(&algorithm, nullptr, nullptr, nullptr, key))
    AlgorithmOid = OidText(algorithm);
}

void CCryptPublicKey::ReleaseHandle() {
  AlgorithmOid.clear();
  owner_.reset();
}

// ---------------------------------------------------------------------------------------
// Certificates

std::unique_ptr<CCryptCertificate> CCryptCertificate::Create(const CertContextPtr& context) {
  auto certificate = std::make_unique<CCryptCertificate>();
  certificate->Attach(context);
  return certificate;
}

void CCryptCertificate::CheckAttached() const {
  if (!handle_) {
    SetLastCryptError(kErrorInvalidParameter);
    RaiseLastCryptError();
  }
}

void CCryptCertificate::ClearCaches() {
  thumbprint_.clear(), issuer_.clear(), subject_.clear();
  notBefore_ = notAfter_ = 0;
  nameInfo_.reset();
  extensions_.reset();
  publicKey_.reset();
}

std::string CCryptCertificate::GetSha1() {
  CheckAttached();
  if (thumbprint_.empty()) thumbprint_ = handle_->Sha1Text();
  return thumbprint_;
}

std::string CCryptCertificate::GetIssuer() {
  CheckAttached();
  if (issuer_.empty()) issuer_ = NameToX500Text(X509_get_issuer_name(handle_->Cert()));
  return issuer_;
}

std::string CCryptCertificate::GetSubject() {
  CheckAttached();
  if (subject_.empty()) subject_ = NameToX500Text(X509_get_subject_name(handle_->Cert()));
  return subject_;
}

CCryptNameInfo& CCryptCertificate::GetNameInfo() {
  CheckAttached();
  if (!nameInfo_) {
    nameInfo_ = std::make_unique<CCryptNameInfo>();
    nameInfo_->Attach(handle_, X509_get_subject_name(handle_->Cert()));
  }
  return *nameInfo_;
}

CCryptExtensions& CCryptCertificate::GetExtensions() {
  CheckAttached();
  if (!extensions_) {
    extensions_ = std::make_unique<CCryptExtensions>();
    extensions_->Attach(handle_);
  }
  return *extensions_;
}

CCryptPublicKey& CCryptCertificate::GetPublicKey() {
  CheckAttached();
  if (!publicKey_) {
    publicKey_ = std::make_unique<CCryptPublicKey>();
    publicKey_->Attach(handle_);
  }
  return *publicKey_;
}

double CCryptCertificate::GetNotBefore() {
  CheckAttached();
  if (notBefore_ == 0) notBefore_ = Asn1TimeToDateTime(X509_get0_notBefore(handle_->Cert()));
  return notBefore_;
}

double CCryptCertificate::GetNotAfter() {
  CheckAttached();
  if (notAfter_ == 0) notAfter_ = Asn1TimeToDateTime(X509_get0_notAfter(handle_->Cert()));
  return notAfter_;
}

std::string CCryptCertificate::GetBody() {
  CheckAttached();
  return handle_->Encoded();
}

// ---------------------------------------------------------------------------------------
// CRLs

std::unique_ptr<CCryptCrl> CCryptCrl::Create(const CrlContextPtr& context) {
  auto crl = std::make_unique<CCryptCrl>();
  crl->Attach(context);
  return crl;
}

void CCryptCrl::Load(const std::string& text) {
  if (text.empty()) RaiseError("CRL: передано пустое содержимое"_cp);
  CrlContextPtr crl = CCrlContext::FromDer(CCryptoAPI20Utils::NormalizeCrlText(text));
  if (!crl) RaiseLastCryptError();
  AttachOwned(std::move(crl));
}

double CCryptCrl::GetRevocationDate(const CCryptCertificate& certificate) const {
  if (!handle_ || !certificate.Context()) {
    SetLastCryptError(kErrorInvalidParameter);
    RaiseLastCryptError();
  }
  double date = 0;
  FindCertificateInCrl(*certificate.Context(), *handle_, date);
  return date;
}

// ---------------------------------------------------------------------------------------
// Collections

CCryptCollection::CCryptCollection(Factory factory) : factory_(std::move(factory)) {
  SetOwnership(kOwnDestroy);
}

CCryptCollection::~CCryptCollection() {
  Clear();
}

void CCryptCollection::RaiseWrongClass() {
  RaiseError("Передана коллекция неверного класса"_cp);
}

CCryptObject* CCryptCollection::CreateFromHandle(const CertContextPtr& handle) const {
  std::unique_ptr<CCryptObject> item = factory_();
  auto* certificate = dynamic_cast<CCryptCertificate*>(item.get());
  if (!certificate) RaiseWrongClass();
  certificate->Attach(handle);
  return item.release();
}

CCryptObject* CCryptCollection::CreateFromHandle(const CrlContextPtr& handle) const {
  std::unique_ptr<CCryptObject> item = factory_();
  auto* crl = dynamic_cast<CCryptCrl*>(item.get());
  if (!crl) RaiseWrongClass();
  crl->Attach(handle);
  return item.release();
}

CCryptObject* CCryptCollection::AddFromHandle(const CertContextPtr& handle) {
  std::unique_ptr<CCryptObject> item(CreateFromHandle(handle));
  Add({}, item.get());
  return item.release();
}

CCryptObject* CCryptCollection::AddFromHandle(const CrlContextPtr& handle) {
  std::unique_ptr<CCryptObject> item(CreateFromHandle(handle));
  Add({}, item.get());
  return item.release();
}

// ---------------------------------------------------------------------------------------
// Stores

void CCryptStoreBase::EnumCertificates(CCryptCollection& collection) {
  collection.CheckClass<CCryptCertificate>();
  if (!handle_) return;
  for (const CertContextPtr& cert : handle_->Certificates()) collection.AddFromHandle(cert);
}

void CCryptStoreBase::EnumCrls(CCryptCollection& collection) {
  collection.CheckClass<CCryptCrl>();
  if (!handle_) return;
  for (const CrlContextPtr& crl : handle_->Crls()) collection.AddFromHandle(crl);
}

CCryptCertificate* CCryptStoreBase::FindIssuer(const CCryptCertificate& certificate,
                                               CCryptCollection& collection, bool& selfSigned, bool create) {
  selfSigned = false;
  if (!handle_ || !certificate.Context()) {
    SetLastCryptError(kErrorInvalidParameter);
    RaiseLastCryptError();
  }
  CertContextPtr candidate;
  std::uint32_t flags;
  do {
    flags = 1;
    candidate = GetIssuerFromStore(*handle_, *certificate.Context(), candidate.get(), flags);
  } while (candidate && flags != 0);
  if (!candidate) {
    std::int32_t code = GetLastCryptError();
    if (code == kCryptENotFound) return nullptr;
    if (code == kCryptESelfSigned) {
      selfSigned = true;
      return nullptr;
    }
    RaiseLastCryptError();
  }
  for (int i = 0; i < collection.Count(); ++i) {
    CCryptObject* item = collection.Item(i);
    if (item && item->HandleId() == candidate.get()) return dynamic_cast<CCryptCertificate*>(item);
  }
  if (!create) return nullptr;
  return dynamic_cast<CCryptCertificate*>(collection.AddFromHandle(candidate));
}

void CCryptPkcs7Store::Load(const std::string& bytes) {
  CertStorePtr store = OpenPkcs7Store(bytes, false);
  if (!store) RaiseLastCryptError();
  AttachOwned(std::move(store));
}

void CCryptFileStore::Load(const std::string& fileName) {
  CertStorePtr store = OpenFileStore(fileName);
  if (!store) RaiseLastCryptError();
  AttachOwned(std::move(store));
}

void CCryptSystemStore::Open(int location, int name) {
  CertStorePtr store = CCryptoAPI20Utils::OpenSystemStore(nullptr, location, name);
  if (!store) RaiseLastCryptError();
  AttachOwned(std::move(store));
}

}  // namespace qv
