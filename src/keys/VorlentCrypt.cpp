#include "keys/VorlentCrypt.h"

#include <openssl/pem.h>

#include <cctype>
#include <filesystem>
#include <mutex>
#include <system_error>

#include "crypto/CryptObjects.h"
#include "crypto/CryptoAPI20Tool.h"
#include "crypto/CryptoSignature.h"
#include "crypto/CryptoUtils.h"
#include "foundation/CodePage.h"
#include "foundation/Errors.h"
#include "foundation/Files.h"
#include "foundation/ValueCheck.h"
#include "net/HttpsClient.h"
#include "platform/CryptError.h"
#include "platform/KeyContainer.h"
#include "platform/Ossl.h"
#include "validation/ChainBuilder.h"

namespace qv {

namespace {

// The caching flag of the key-provider information: the platform keeps the opened key
// context with the certificate after its first use, so the PIN is asked for once per process.
constexpr std::uint32_t kKeyContextCaching = 1;

std::string Upper(std::string text) {
  for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return text;
}

// The list's objects are stored as CBaseClass pointers, the form its ownership destroys.
const CVorlentKey* RecordAt(const CStrArray& list, int index) {
  return static_cast<const CVorlentKey*>(static_cast<const CBaseClass*>(list.Object(index)));
}

int LocationOf(bool currentUser) {
  return currentUser ? kStoreCurrentUser : kStoreLocalMachine;
}

// True when two names denote one file that exists.
bool SameFile(const std::string& a, const std::string& b) {
  if (a == b) return true;
  std::error_code error;
  return std::filesystem::equivalent(SysPath(a), SysPath(b), error) && !error;
}

}  // namespace

// ---------------------------------------------------------------------------------------
// Services of this layer

bool CertificateForThumbprint(const std::string& thumbprint, std::string& certificatePem,
                              std::string& privateKeyPem) {
  std::string sha1 = Upper(Trim(thumbprint));
  if (sha1.empty()) return false;
  CertContextPtr certificate;
  for (int location : {kStoreCurrentUser, kStoreLocalMachine}) {
    certificate = CCryptoAPI20Utils::FindBySha1(nullptr, location, kStoreMy, sha1);
    if (certificate) break;
  }
  if (!certificate) return false;
  EvpPkeyPtr key = LoadKeyForCertificate(*certificate);
  BioPtr keyBio(BIO_new(BIO_s_mem()));
  BioPtr certBio(BIO_new(BIO_s_mem()));
  if (!keyBio || !certBio ||
      !PEM_write_bio_PrivateKey(keyBio.get(), key.get(), nullptr, nullptr, 0, nullptr, nullptr) ||
      !PEM_write_bio_X509(certBio.get(), certificate->Cert())) {
    RaiseErrorFmt("Не удалось подготовить сертификат клиента [%s]: %s"_cp, {sha1, TakeOpenSslErrors()});
  }
  privateKeyPem = BioBytes(keyBio.get());
  certificatePem = BioBytes(certBio.get());
  return true;
}

void InstallKeyServices() {
  static std::once_flag once;
  std::call_once(once, [] {
    InstallStrictChainBuilder();
    SetClientCertificateSource([](const std::string& thumbprint, CClientCertificate& result) {
      return CertificateForThumbprint(thumbprint, result.Certificate, result.PrivateKey);
    });
  });
}

// ---------------------------------------------------------------------------------------
// The engine

CVorlentCrypt::CVorlentCrypt() {
  InstallKeyServices();
  privateKeys_.SetOwnership(CStrArray::kOwnDestroy);
  opponentKeys_.SetOwnership(CStrArray::kOwnDestroy);
  privateKeys_.SetCompareMode(CStrArray::kCompareNoCase);
  opponentKeys_.SetCompareMode(CStrArray::kCompareNoCase);
}

CVorlentCrypt::~CVorlentCrypt() = default;

bool CVorlentCrypt::IsCryptographyOk() {
  // On this platform the provider of types 75 and 2 is the GOST engine of OpenSSL: present
  // when it loads and offers GOST R 34.10-2012.
  return CCryptoAPI20Utils::IsCryptoProviderInstalled();
}

void CVorlentCrypt::Guard(const std::string& operation) const {
  if (!providerPresent_) {
    RaiseErrorFmt("Не установлен СКЗИ, который требуется для операции: %s"_cp, {operation});
  }
}

// Operations that need the facade after a failed (or without any) Init fail with one message
// naming the operation, instead of working on a missing provider context.
void CVorlentCrypt::RequireFacade(const std::string& operation) const {
  if (!facade_) {
    RaiseErrorFmt("Криптопровайдер не инициализирован (требуется успешный вызов Init) для операции: %s"_cp,
                  {operation});
  }
}

int CVorlentCrypt::Location() const {
  return LocationOf(currentUser_);
}

bool CVorlentCrypt::Init(bool currentUser) {
  providerPresent_ = IsCryptographyOk();
  Guard("инициализация"_cp);
  // Without a facade the lists stay as they were; loading them replaces each.
  facade_.reset();
  currentUser_ = currentUser;
  auto facade = std::make_unique<CCryptoProvider>();
  try {
    facade->AcquireContext({}, {}, kCryptVerifyContext, kProvGost);
  } catch (const CVorlentException& e) {
    RaiseErrorFmt("Ошибка при инициализации криптопровайдера: %s"_cp, {e.Message()});
  }
  facade->SetMachineKeyset(!currentUser);
  facade_ = std::move(facade);
  LoadList(kStoreMy, privateKeys_);
  LoadList(kStoreAddressBook, opponentKeys_);
  LoadContainers();
  return true;
}

void CVorlentCrypt::LoadList(int storeName, CStrArray& list) {
  list.Clear();
  // The store's certificates go to a list of their own first, so the key list only ever holds
  // key records, also when filling one fails half-way.
  CStrArray found;
  CCryptoAPI20Utils::EnumStore(facade_->Handle(), Location(), storeName, &found);
  for (int i = 0; i < found.Count(); ++i) {
    auto record = std::make_unique<CVorlentKey>();
    record->FillFromCertificate(static_cast<CCertHandleItem*>(found.Object(i))->Context);
    list.Add(found.Key(i), static_cast<CBaseClass*>(record.get()));
    record.release();
  }
}

void CVorlentCrypt::LoadContainers() {
  containers_.Clear();
  if (!providerPresent_) return;
  CCryptoProvider provider;
  provider.SetMachineKeyset(!currentUser_);
  provider.EnumContainers(kProvGost, containers_);
}

const CVorlentKey& CVorlentCrypt::KeyAt(const CStrArray& list, int index, const char* name) {
  CValueCheckTool::CheckInRange(index, 0, list.Count() - 1, name);
  return *RecordAt(list, index);
}

const CVorlentKey* CVorlentCrypt::FindKey(const CStrArray& list, const std::string& sha1) {
  for (int i = 0; i < list.Count(); ++i) {
    if (SameText(list.Key(i), sha1)) return RecordAt(list, i);
  }
  return nullptr;
}

const CVorlentKey& CVorlentCrypt::PrivateKey(int index) const {
  Guard("получение личного ключа"_cp);
  return KeyAt(privateKeys_, index, "privateKeyIndex");
}

const CVorlentKey& CVorlentCrypt::OpponentKey(int index) const {
  Guard("получение ключа оппонента"_cp);
  return KeyAt(opponentKeys_, index, "opponentKeyIndex");
}

const CVorlentKey& CVorlentCrypt::PrivateKeyBySha1(const std::string& sha1) const {
  Guard("получение ключа по отпечатку"_cp);
  CValueCheckTool::CheckNotEmpty(sha1, "sha1");
  const CVorlentKey* key = FindKey(privateKeys_, sha1);
  if (!key) RaiseErrorFmt("Не найден личный сертификат по отпечатку [%s]"_cp, {sha1});
  return *key;
}

const CVorlentKey& CVorlentCrypt::OpponentKeyBySha1(const std::string& sha1) const {
  Guard("получение ключа по отпечатку"_cp);
  CValueCheckTool::CheckNotEmpty(sha1, "sha1");
  const CVorlentKey* key = FindKey(opponentKeys_, sha1);
  if (!key) RaiseErrorFmt("Не найден сертификат по отпечатку [%s]"_cp, {sha1});
  return *key;
}

std::string CVorlentCrypt::Container(int index) const {
  Guard("получение имени контейнера"_cp);
  CValueCheckTool::CheckInRange(index, 0, containers_.Count() - 1, "containerIndex");
  return containers_.Key(index);
}

void CVorlentCrypt::ImportP7BChain(const std::string& content) {
  Guard("импорт цепочки сертификатов"_cp);
  CValueCheckTool::CheckNotEmpty(content, "P7B-content");
  RequireFacade("импорт цепочки сертификатов"_cp);
  CCryptoAPI20Utils::ImportBundle(facade_->Handle(), Location(), content);
  Init(currentUser_);
}

std::unique_ptr<CVorlentKey> CVorlentCrypt::ImportOpponentCertificate(const std::string& body) {
  Guard("импорт ключа оппонента"_cp);
  CValueCheckTool::CheckNotEmpty(body, "certificateBody");
  RequireFacade("импорт ключа оппонента"_cp);
  CertContextPtr certificate = CCryptoAPI20Utils::CertificateFromText(body);
  CCryptoAPI20Utils::AddToStore(facade_->Handle(), Location(), kStoreAddressBook, {}, certificate);
  auto record = std::make_unique<CVorlentKey>();
  record->FillFromCertificate(certificate);
  Init(currentUser_);
  return record;
}

std::unique_ptr<CVorlentKey> CVorlentCrypt::ImportPrivateCertificate(const std::string& body,
                                                                     const std::string& container) {
  Guard("импорт личного сертификата"_cp);
  CValueCheckTool::CheckNotEmpty(body, "certificateBody");
  CValueCheckTool::CheckNotEmpty(container, "ContainerName");
  RequireFacade("импорт личного сертификата"_cp);
  CertContextPtr certificate = CCryptoAPI20Utils::CertificateFromText(body);
  // Added, bound to the container in the current user's key set (the facade's context has no
  // machine key set) and added again, so the store's copy carries the binding.
  CCryptoAPI20Utils::AddToStore(facade_->Handle(), Location(), kStoreMy, container, certificate);
  auto record = std::make_unique<CVorlentKey>();
  record->FillFromCertificate(certificate);
  Init(currentUser_);
  return record;
}

void CVorlentCrypt::CheckSignature(const std::string& content, const std::string& signature) const {
  RequireFacade("проверка подписи"_cp);
  if (!CCryptoAPI20Tool::VerifyDetached(currentUser_, content, signature, true, true, 0, nullptr)) {
    RaiseError("Подпись не прошла проверку"_cp);
  }
}

CertStorePtr CVorlentCrypt::OpenPersonalStore() const {
  CertStorePtr store = CCryptoAPI20Utils::OpenSystemStore(facade_->Handle(), Location(), kStoreMy);
  if (!store) RaiseLastCryptError();
  return store;
}

// The store's thumbprints are upper-case hexadecimal; the comparison is exact, as the
// library itself produces them.
CertContextPtr CVorlentCrypt::FindExact(const CertStorePtr& store, const std::string& sha1) {
  for (const CertContextPtr& certificate : store->Certificates()) {
    if (certificate->Sha1Text() == sha1) return certificate;
  }
  RaiseErrorFmt("Не найден личный сертификат по отпечатку [%s]"_cp, {sha1});
}

void CVorlentCrypt::RequireKeyBinding() const {
  Guard("привязка ключа к контейнеру"_cp);
  RequireFacade("привязка ключа к контейнеру"_cp);
}

void CVorlentCrypt::LinkPrivateKey(const CVorlentKey& key, bool caching) {
  RequireKeyBinding();
  CValueCheckTool::CheckNotEmpty(key.Sha1(), "Sha1");
  CertStorePtr store = OpenPersonalStore();
  CertContextPtr certificate = FindExact(store, key.Sha1());
  const std::string& container = key.ContainerName();
  CValueCheckTool::CheckNotEmpty(container, "ContainerName");
  // The container is always opened in the current user's key set.
  const CProviderContext* facade = facade_->Handle();
  ProviderContextPtr context =
      CCryptoAPI20Utils::OpenContainerFor(facade->name, facade->type, false, container, *certificate);
  KeyProvInfo info;
  info.containerName = container;
  info.providerName = context->name;
  info.providerType = context->type;
  info.flags = caching ? kKeyContextCaching : 0;
  info.keySpec = kAtKeyExchange;
  if (!store->SetKeyProv(certificate, info)) {
    RaiseErrorFmt("Ошибка при связывании сертификата с контейнером: [%s]"_cp,
                  {"Ошибка присвоения свойств сертификата: "_cp + CCryptoAPI20Utils::LastErrorText()});
  }
  if (!WriteContainerCertificate(false, container, certificate->Encoded())) {
    RaiseErrorFmt("Ошибка при импорте сертификата в контейнер: %s"_cp, {CCryptoAPI20Utils::LastErrorText()});
  }
}

void CVorlentCrypt::SetPrivateKeyCaching(const CVorlentKey& key, bool caching) {
  RequireKeyBinding();
  CValueCheckTool::CheckNotEmpty(key.Sha1(), "Sha1");
  CertStorePtr store = OpenPersonalStore();
  CertContextPtr certificate = FindExact(store, key.Sha1());
  const CProviderContext* facade = facade_->Handle();
  KeyProvInfo info;
  info.containerName = key.ContainerName();
  info.providerName = facade->name;
  info.providerType = facade->type;
  info.flags = caching ? kKeyContextCaching : 0;
  info.keySpec = kAtKeyExchange;
  if (!store->SetKeyProv(certificate, info)) {
    RaiseErrorFmt("Ошибка при связывании сертификата с контейнером: [%s]"_cp,
                  {"Ошибка присвоения свойств сертификата: "_cp + CCryptoAPI20Utils::LastErrorText()});
  }
}

std::string CVorlentCrypt::SignFile(const std::string& fileName, const std::string& sha1,
                                    const std::string& signFileName) {
  CValueCheckTool::CheckNotEmpty(fileName, "FileName");
  CValueCheckTool::CheckNotEmpty(sha1, "Sha1");
  // A missing file is reported before anything about the key; the file is read in pieces below.
  CFileHandle(OpenFileForReading(fileName));
  std::string upper = Upper(sha1);
  const CVorlentKey* key = FindKey(privateKeys_, upper);
  if (!key || !key->Certificate()) RaiseErrorFmt("Ключ по отпечатку [%s] не найден"_cp, {upper});
  std::string output = signFileName.empty() ? fileName + ".p7s" : signFileName;
  // Writing the signature over the signed file would destroy the document.
  if (SameFile(output, fileName)) {
    RaiseErrorFmt("Файл подписи совпадает с подписываемым файлом: [%s]"_cp, {output});
  }
  std::unique_ptr<CCryptCertificate> certificate = CCryptCertificate::Create(key->Certificate());
  std::string signature = CCryptTool::SignFile(*certificate, fileName);
  WriteFileBytes(output, signature);
  return output;
}

void CVorlentCrypt::DownloadFile(const std::string& url, const std::string& fileName) {
  CValueCheckTool::CheckNotEmpty(url, "Url");
  CValueCheckTool::CheckNotEmpty(fileName, "FileName");
  CHttpsClient client;
  std::string body = client.Download(url);
  // The whole-file writer refuses nothing to write; an empty body makes an empty file.
  if (body.empty()) {
    WriteTextFile(fileName, body);
  } else {
    WriteFileBytes(fileName, body);
  }
}

}  // namespace qv
