// The library's own C interface for tools (include/qelvorlent/QelVorlentTools.h): key
// provisioning into containers and detached-signature checks with the checks chosen one by one.
#include <openssl/cms.h>
#include <openssl/pkcs12.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <functional>
#include <mutex>
#include <new>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "automation/Conversions.h"
#include "automation/EntryObjects.h"
#include "automation/ReceiveBatch.h"
#include "automation/ToolChecks.h"
#include "automation/VorlentObject.h"
#include "crypto/CryptoProvider.h"
#include "crypto/CryptoSignature.h"
#include "crypto/CryptoUtils.h"
#include "crypto/StringBio.h"
#include "crypto/VorlentCryptoTool.h"
#include "crypto/ZumecCertificate.h"
#include "foundation/CodePage.h"
#include "foundation/Errors.h"
#include "foundation/Parallel.h"
#include "keys/VorlentCrypt.h"
#include "manifest/SubjectTypes.h"
#include "manifest/XMLGpr.h"
#include "package/VorlentDoc.h"
#include "package/VorlentDocument.h"
#include "package/VorlentKey.h"
#include "package/VorlentSignature.h"
#include "platform/CertServices.h"
#include "platform/KeyContainer.h"
#include "platform/Ossl.h"
#include "platform/ProviderContainer.h"
#include "qelvorlent/QelVorlentTools.h"
#include "validation/ChainBuilder.h"
#include "validation/ChainDownloads.h"

namespace qv {
namespace {

thread_local std::string lastToolError;
// The run opened by QvToolBeginVerification on the thread.
thread_local std::unique_ptr<CVerificationRun> toolRun;
// The digests QvToolDigestDocuments computed in the run, each with the buffer of the content it
// is of: held, so that no other content can take its place while the run lasts.
struct KnownContent {
  std::shared_ptr<const std::string> content;
  ContentDigests digests;
};
thread_local std::vector<KnownContent> toolDigests;

const ContentDigests* KnownDigestsOf(const std::shared_ptr<const std::string>& content) {
  for (const KnownContent& known : toolDigests) {
    if (known.content == content) return &known.digests;
  }
  return nullptr;
}

// Runs `body`; a failure becomes the thread's message (UTF-8) and a negative status.
template <class Body>
HRESULT ToolFrame(Body&& body) {
  lastToolError.clear();
  try {
    body();
    return S_OK;
  } catch (const COSException& e) {
    lastToolError = Cp1251ToUtf8(e.what());
    return e.Status() < 0 ? static_cast<HRESULT>(e.Status()) : E_FAIL;
  } catch (const std::bad_alloc&) {
    lastToolError = "Недостаточно памяти";
    return E_OUTOFMEMORY;
  } catch (const std::exception& e) {
    lastToolError = Cp1251ToUtf8(e.what());
    return E_FAIL;
  }
}

void CheckPointer(const void* pointer, const char* name) {
  if (!pointer) RaiseError(FormatText("Передан пустой аргумент: %s"_cp, {name}));
}

// A copy the caller frees with QvToolFree.
char* CopyOut(const std::string& bytes) {
  char* memory = static_cast<char*>(std::malloc(bytes.size() + 1));
  if (!memory) throw std::bad_alloc();
  std::memcpy(memory, bytes.data(), bytes.size());
  memory[bytes.size()] = '\0';
  return memory;
}

std::string Text(const char* utf8) {
  return utf8 ? Utf8ToCp1251(utf8) : std::string();
}

// A file name: refused rather than turned into the name of another file.
std::string FileName(const char* utf8) {
  return utf8 ? FileNameUtf8ToCp1251(utf8) : std::string();
}

// "/CN=a/O=b" as (type, 1251 value) pairs; "\/" keeps a slash inside a value.
std::vector<std::pair<std::string, std::string>> ParseSubject(const std::string& subject) {
  std::vector<std::pair<std::string, std::string>> parts;
  std::string item;
  auto flush = [&] {
    if (item.empty()) return;
    std::size_t eq = item.find('=');
    if (eq == std::string::npos || eq == 0)
      RaiseError(FormatText("Неверная часть имени субъекта: %s"_cp, {item}));
    parts.emplace_back(item.substr(0, eq), item.substr(eq + 1));
    item.clear();
  };
  for (std::size_t i = 0; i < subject.size(); ++i) {
    if (subject[i] == '\\' && i + 1 < subject.size()) {
      item += subject[++i];
    } else if (subject[i] == '/') {
      flush();
    } else {
      item += subject[i];
    }
  }
  flush();
  if (parts.empty()) RaiseError("Не задано имя субъекта запроса"_cp);
  return parts;
}

bool IsPkcs12(const std::string& data) {
  const unsigned char* p = reinterpret_cast<const unsigned char*>(data.data());
  PKCS12* pkcs12 = d2i_PKCS12(nullptr, &p, static_cast<long>(data.size()));
  ERR_clear_error();
  if (!pkcs12) return false;
  PKCS12_free(pkcs12);
  return true;
}

std::string CertificateDer(const std::string& data) {
  if (data.find("-----BEGIN") == std::string::npos) return data;
  BioPtr bio = MemoryBio(data);
  X509Ptr x509(PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr));
  if (!x509) {
    ERR_clear_error();
    RaiseError("Файл не содержит сертификата"_cp);
  }
  unsigned char* der = nullptr;
  int length = i2d_X509(x509.get(), &der);
  if (length <= 0) RaiseError("Файл не содержит сертификата"_cp);
  std::string bytes(reinterpret_cast<char*>(der), static_cast<std::size_t>(length));
  OPENSSL_free(der);
  return bytes;
}

// The signing time of the signer with the certificate's serial in a DER signature, or "".
std::string SigningTimeOf(const std::string& signature, const std::string& serial) {
  BioPtr bio = MemoryBio(signature);
  CmsPtr cms(d2i_CMS_bio(bio.get(), nullptr));
  if (!cms) {
    ERR_clear_error();
    return {};
  }
  std::string result;
  STACK_OF(CMS_SignerInfo)* infos = CMS_get0_SignerInfos(cms.get());
  for (int i = 0; i < sk_CMS_SignerInfo_num(infos) && result.empty(); ++i) {
    CMS_SignerInfo* info = sk_CMS_SignerInfo_value(infos, i);
    ASN1_INTEGER* number = nullptr;
    if (CMS_SignerInfo_get0_signer_id(info, nullptr, nullptr, &number) != 1 || !number) continue;
    std::string candidate(reinterpret_cast<const char*>(ASN1_STRING_get0_data(number)),
                          static_cast<std::size_t>(ASN1_STRING_length(number)));
    if (!serial.empty() && candidate != serial && sk_CMS_SignerInfo_num(infos) > 1) continue;
    int index = CMS_signed_get_attr_by_NID(info, NID_pkcs9_signingTime, -1);
    if (index < 0) continue;
    X509_ATTRIBUTE* attribute = CMS_signed_get_attr(info, index);
    ASN1_TYPE* value = X509_ATTRIBUTE_get0_type(attribute, 0);
    if (!value || (value->type != V_ASN1_UTCTIME && value->type != V_ASN1_GENERALIZEDTIME)) continue;
    struct tm time {};
    if (ASN1_TIME_to_tm(value->value.utctime, &time) != 1) continue;
    char text[80];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02dZ", time.tm_year + 1900, time.tm_mon + 1,
                  time.tm_mday, time.tm_hour, time.tm_min, time.tm_sec);
    result = text;
  }
  ERR_clear_error();
  return result;
}

// A line per signer of a verified signature: thumbprint, subject and signing time.
std::string SignerLines(const std::string& signature) {
  BioPtr bio = MemoryBio(signature);
  CmsPtr cms(d2i_CMS_bio(bio.get(), nullptr));
  std::string lines;
  if (!cms) {
    ERR_clear_error();
    return lines;
  }
  std::unique_ptr<STACK_OF(X509), void (*)(STACK_OF(X509)*)> certs(
      CMS_get1_certs(cms.get()), [](STACK_OF(X509) * stack) { sk_X509_pop_free(stack, X509_free); });
  STACK_OF(CMS_SignerInfo)* infos = CMS_get0_SignerInfos(cms.get());
  for (int i = 0; i < sk_CMS_SignerInfo_num(infos); ++i) {
    CMS_SignerInfo* info = sk_CMS_SignerInfo_value(infos, i);
    for (int j = 0; certs && j < sk_X509_num(certs.get()); ++j) {
      X509* candidate = sk_X509_value(certs.get(), j);
      if (CMS_SignerInfo_cert_cmp(info, candidate) != 0) continue;
      unsigned char* der = nullptr;
      int length = i2d_X509(candidate, &der);
      std::unique_ptr<unsigned char, OsslFreeDeleter> owner(der);
      if (length <= 0) break;
      CertContextPtr context = CCertContext::FromDer(
          std::string(reinterpret_cast<const char*>(der), static_cast<std::size_t>(length)));
      if (!context) break;
      const ASN1_INTEGER* serial = X509_get0_serialNumber(candidate);
      std::string number(reinterpret_cast<const char*>(ASN1_STRING_get0_data(serial)),
                         static_cast<std::size_t>(ASN1_STRING_length(serial)));
      lines += Cp1251ToUtf8(context->Sha1Text()) + "\t" +
               Cp1251ToUtf8(NameToX500Text(X509_get_subject_name(candidate))) + "\t" +
               SigningTimeOf(signature, number) + "\n";
      break;
    }
  }
  ERR_clear_error();
  return lines;
}

// A system store by its name, opened for the current user or the machine.
CertStorePtr ToolStore(int machine, const char* name) {
  CheckPointer(name, "store");
  const std::string text(name);
  if (text != "MY" && text != "ROOT" && text != "CA" && text != "addressbook")
    RaiseError(FormatText("Неизвестное хранилище сертификатов: %s"_cp, {Text(name)}));
  CertStorePtr store = OpenSystemStore(machine ? kLocationLocalMachine : kLocationCurrentUser, text);
  if (!store) RaiseLastCryptError();
  return store;
}

// A copy of bytes the caller frees with QvToolFree.
void CopyOutBytes(const std::string& bytes, void** out, std::size_t* size) {
  CheckPointer(out, "out");
  CheckPointer(size, "size");
  *out = CopyOut(bytes);
  *size = bytes.size();
}

struct PromptHolder {
  std::mutex lock;
  QvPinPrompt prompt = nullptr;
  void* context = nullptr;
};

PromptHolder& Prompt() {
  static PromptHolder holder;
  return holder;
}

}  // namespace
}  // namespace qv

using namespace qv;

STDAPI_(const char*) QvToolLastError(void) {
  return lastToolError.c_str();
}

STDAPI_(void) QvToolFree(void* memory) {
  std::free(memory);
}

STDAPI_(void) QvToolSetPinPrompt(QvPinPrompt prompt, void* context) {
  {
    std::lock_guard<std::mutex> guard(Prompt().lock);
    Prompt().prompt = prompt;
    Prompt().context = context;
  }
  if (!prompt) {
    SetPinCallback(nullptr);
    return;
  }
  SetPinCallback([](const std::string& containerName, std::string& pin) {
    QvPinPrompt current;
    void* context;
    {
      std::lock_guard<std::mutex> guard(Prompt().lock);
      current = Prompt().prompt;
      context = Prompt().context;
    }
    if (!current) return false;
    std::vector<char> buffer(1024, '\0');
    bool given = current(Cp1251ToUtf8(containerName).c_str(), buffer.data(), buffer.size(), context) != 0;
    buffer.back() = '\0';
    if (given) pin = Utf8ToCp1251(buffer.data());
    OPENSSL_cleanse(buffer.data(), buffer.size());
    return given;
  });
}

STDAPI QvToolCreateContainer(const char* name, int algorithm, const char* subject, const char* pin,
                             char** requestPem) {
  return ToolFrame([&] {
    CheckPointer(name, "name");
    CheckPointer(requestPem, "requestPem");
    *requestPem = nullptr;
    GostKeyAlgorithm gost;
    if (algorithm == QV_KEY_GOST2012_256) {
      gost = GostKeyAlgorithm::kGost2012_256;
    } else if (algorithm == QV_KEY_GOST2012_512) {
      gost = GostKeyAlgorithm::kGost2012_512;
    } else {
      RaiseError(FormatText("Неизвестный алгоритм ключа: %d"_cp, {algorithm}));
    }
    std::string request =
        CreateContainerWithRequest(false, Text(name), gost, ParseSubject(Text(subject)), Text(pin));
    *requestPem = CopyOut(request);
  });
}

STDAPI QvToolImportKey(const char* name, const void* data, size_t size, const char* password, const char* pin,
                       void** certificate, size_t* certificateSize) {
  return ToolFrame([&] {
    CheckPointer(name, "name");
    CheckPointer(data, "data");
    if (certificate) *certificate = nullptr;
    if (certificateSize) *certificateSize = 0;
    // refused by its size before it is parsed, even to tell what it is
    if (size > kMaxKeyFileSize) RaiseErrorFmt("Файл ключа больше допустимых %d байт"_cp, {kMaxKeyFileSize});
    std::string bytes(static_cast<const char*>(data), size);
    if (IsPkcs12(bytes)) {
      std::string der = ImportPkcs12(false, Text(name), bytes, Text(password), Text(pin));
      if (certificate && certificateSize) {
        *certificate = CopyOut(der);
        *certificateSize = der.size();
      }
    } else {
      ImportPkcs8Key(false, Text(name), bytes, password ? password : "", Text(pin));
    }
  });
}

STDAPI QvToolImportContainer(const char* folder, const char* name, const char* pin, int slot, char** sha1) {
  return ToolFrame([&] {
    CheckPointer(folder, "folder");
    CheckPointer(name, "name");
    if (sha1) *sha1 = nullptr;
    const std::string container = Text(name);
    std::string given = pin ? Text(pin) : std::string();
    ProviderImport imported =
        ImportProviderContainer(false, Text(folder), container, pin ? &given : nullptr, slot);
    OPENSSL_cleanse(given.data(), given.size());
    if (imported.certificate.empty()) return;
    // Bound to the new container, which is opened once more to compare its key: with the PIN
    // just given, not asked for a second time. A certificate the store refuses takes the new
    // container away again.
    try {
      ScopedContainerPin known(false, container, imported.pin);
      OPENSSL_cleanse(imported.pin.data(), imported.pin.size());
      CVorlentCrypt crypt;
      crypt.Init(true);
      std::unique_ptr<CVorlentKey> key = crypt.ImportPrivateCertificate(imported.certificate, container);
      if (sha1) *sha1 = CopyOut(key->Sha1());
    } catch (...) {
      DeleteKeyContainer(false, container);
      throw;
    }
  });
}

STDAPI QvToolKeyFromCertificate(const void* data, size_t size, IVorlentKey** key) {
  return ToolFrame([&] {
    CheckPointer(data, "data");
    CheckPointer(key, "key");
    *key = nullptr;
    CertContextPtr context =
        CCertContext::FromDer(CertificateDer(std::string(static_cast<const char*>(data), size)));
    if (!context) RaiseError("Файл не содержит сертификата"_cp);
    CVorlentKey record;
    record.FillFromCertificate(context);
    *key = KeyToInterface(&record);
  });
}

std::string qv::CheckDetachedSignature(int checks, const std::string& signature,
                                       const DetachedVerify& verify) {
  static std::once_flag installed;
  std::call_once(installed, [] { InstallStrictChainBuilder(); });
  CCryptoProvider provider;
  provider.Open(kProvGost, {}, false, false);
  CCryptoSignatureConfig config;
  config.provider = &provider;
  std::uint8_t options = 0;
  if (checks & QV_CHECK_CHAIN) options |= kVerifyCheckChain;
  if (checks & QV_CHECK_CRL) options |= kVerifyCheckChain | kVerifyCheckRevocation;
  if (checks & QV_CHECK_DOWNLOAD) {
    options |= kVerifyDownloadCertificates;
    if (checks & QV_CHECK_CRL) options |= kVerifyDownloadCrls;
  }
  config.options = options;
  config.oneSigner = (checks & QV_CHECK_ONE_SIGNER) != 0;
  CCryptoSignature verifier;
  verifier.Open(&config);
  verify(verifier, signature);
  std::string lines = SignerLines(signature);
  verifier.Close();
  return lines;
}

namespace {

// The entry behind a document object of this library.
// A document view's entry with the lock of its package held while it is in use.
struct LockedDocument {
  std::unique_lock<std::recursive_mutex> guard;
  std::shared_ptr<CVorlentDocument> entry;
  CVorlentDocument* operator->() const { return entry.get(); }
};

LockedDocument DocumentOf(IVorlentFile* file) {
  auto* object = dynamic_cast<CVorlentFile_class*>(file);
  if (!object) RaiseError("Объект документа создан не этой библиотекой"_cp);
  std::unique_lock<std::recursive_mutex> guard(*object->Lock());
  std::shared_ptr<CVorlentDocument> entry = object->Entry();
  return {std::move(guard), std::move(entry)};
}

// The checks of QvToolCheckDetachedSignature; `verify` checks the signature with the verifier
// against `content` (the argument named `contentName`).
HRESULT CheckDetached(const void* content, const char* contentName, const void* signature,
                      size_t signatureSize, int checks, char** signers, const DetachedVerify& verify) {
  return ToolFrame([&] {
    CheckPointer(content, contentName);
    CheckPointer(signature, "signature");
    if (signers) *signers = nullptr;
    std::string lines = CheckDetachedSignature(
        checks, std::string(static_cast<const char*>(signature), signatureSize), verify);
    if (signers) *signers = CopyOut(lines);
  });
}

}  // namespace

STDAPI QvToolCheckDetachedSignature(const void* content, size_t contentSize, const void* signature,
                                    size_t signatureSize, int checks, char** signers) {
  return CheckDetached(content, "content", signature, signatureSize, checks, signers,
                       [&](CCryptoSignature& verifier, const std::string& signatureBytes) {
                         verifier.Verify(std::string_view(static_cast<const char*>(content), contentSize),
                                         signatureBytes, 0);
                       });
}

STDAPI QvToolCheckDetachedSignatureOfFile(const char* contentFile, const void* signature,
                                          size_t signatureSize, int checks, char** signers) {
  return CheckDetached(contentFile, "contentFile", signature, signatureSize, checks, signers,
                       [&](CCryptoSignature& verifier, const std::string& signatureBytes) {
                         verifier.VerifyFile(FileName(contentFile), signatureBytes, 0);
                       });
}

STDAPI QvToolCheckDetachedSignatureOfDocument(IVorlentFile* file, const void* signature, size_t signatureSize,
                                              int checks, char** signers) {
  return CheckDetached(file, "file", signature, signatureSize, checks | QV_CHECK_ONE_SIGNER, signers,
                       [&](CCryptoSignature& verifier, const std::string& signatureBytes) {
                         std::shared_ptr<const std::string> content = DocumentOf(file)->RawContentHandle();
                         static const std::string none;
                         verifier.UseKnownDigests(content ? KnownDigestsOf(content) : nullptr);
                         verifier.Verify(content ? *content : none, signatureBytes, 0);
                       });
}

STDAPI QvToolBeginVerification(void) {
  return ToolFrame([] {
    if (!toolRun) toolRun = std::make_unique<CVerificationRun>();
  });
}

STDAPI_(void) QvToolEndVerification(void) {
  toolRun.reset();
  toolDigests.clear();
}

STDAPI QvToolDigestDocuments(IVorlent* package) {
  return ToolFrame([&] {
    CheckPointer(package, "package");
    if (!toolRun) return;
    auto* object = dynamic_cast<CVorlent_class*>(package);
    if (!object) RaiseError("Объект пакета создан не этой библиотекой"_cp);
    std::lock_guard<std::recursive_mutex> guard(*object->Lock());
    struct Work {
      std::shared_ptr<CVorlentDocument> document;
      std::vector<int> nids;
      std::shared_ptr<const std::string> content;
      ContentDigests digests;
    };
    std::vector<Work> work;
    const CVorlentDoc& doc = object->Doc();
    for (int i = 0; i < doc.GetFileCount(); ++i) {
      Work item{doc.GetFile(i), {}, nullptr, {}};
      if (item.document->IsEncrypted()) continue;
      for (int k = 0; k < item.document->GetSignatureCount(); ++k) {
        for (int nid : ContentDigestNids(item.document->GetSignature(k)->GetContent())) {
          if (std::find(item.nids.begin(), item.nids.end(), nid) == item.nids.end()) item.nids.push_back(nid);
        }
      }
      if (!item.nids.empty()) work.push_back(std::move(item));
    }
    // A document that cannot be read is left to its check, which reads it and says why.
    InParallelWhole(work.size(), [&](std::size_t i) {
      try {
        Work& item = work[i];
        // a document left in the package file is digested while it is read
        CContentDigester digester(item.nids);
        std::shared_ptr<const std::string> content = item.document->RawContentHandle(
            [&](const char* data, std::size_t size) { digester.Update(data, size); });
        if (!content) return;
        item.digests = digester.Finish();
        item.content = std::move(content);
      } catch (...) {
        work[i].content.reset();
      }
    });
    for (Work& item : work) {
      if (item.content) toolDigests.push_back({std::move(item.content), std::move(item.digests)});
    }
  });
}

STDAPI QvToolSigningTime(const void* signature, size_t size, char** text) {
  return ToolFrame([&] {
    CheckPointer(signature, "signature");
    CheckPointer(text, "text");
    *text = CopyOut(SigningTimeOf(std::string(static_cast<const char*>(signature), size), {}));
  });
}

STDAPI QvToolStoreCertificates(int machine, const char* store, char** pem) {
  return ToolFrame([&] {
    CheckPointer(pem, "pem");
    *pem = nullptr;
    std::string text;
    BioPtr out = StringSinkBio(text);
    CertStorePtr source = ToolStore(machine, store);
    for (const CertContextPtr& certificate : source->Certificates()) {
      if (!out || PEM_write_bio_X509(out.get(), certificate->Cert()) != 1)
        RaiseError("Недостаточно памяти"_cp);
    }
    out.reset();
    *pem = CopyOut(text);
  });
}

STDAPI QvToolStoreAdd(int machine, const char* store, const void* certificate, size_t size, char** sha1) {
  return ToolFrame([&] {
    CheckPointer(certificate, "certificate");
    if (sha1) *sha1 = nullptr;
    CertStorePtr target = ToolStore(machine, store);
    CertContextPtr context =
        CCertContext::FromDer(CertificateDer(std::string(static_cast<const char*>(certificate), size)));
    if (!context) RaiseError("Файл не содержит сертификата"_cp);
    if (!target->AddCertificate(context, kStoreAddUseExisting))
      RaiseError("Не удалось импортировать сертификат: "_cp + CCryptoAPI20Utils::LastErrorText());
    if (sha1) *sha1 = CopyOut(context->Sha1Text());
  });
}

STDAPI QvToolStoreRemove(int machine, const char* store, const char* sha1) {
  return ToolFrame([&] {
    CheckPointer(sha1, "sha1");
    CertStorePtr target = ToolStore(machine, store);
    CertContextPtr found;
    for (const CertContextPtr& certificate : target->Certificates()) {
      if (SameText(certificate->Sha1Text(), sha1)) found = certificate;
    }
    if (!found)
      RaiseError(
          FormatText("Сертификат с отпечатком [%s] не найден в хранилище %s"_cp, {Text(sha1), Text(store)}));
    if (!target->DeleteCertificate(found))
      RaiseError("Не удалось удалить сертификат: "_cp + CCryptoAPI20Utils::LastErrorText());
  });
}

STDAPI QvToolEncrypt(const void* content, size_t contentSize, const void* certificate, size_t certificateSize,
                     void** encrypted, size_t* encryptedSize) {
  return ToolFrame([&] {
    CheckPointer(content, "content");
    CheckPointer(certificate, "certificate");
    std::string der = CertificateDer(std::string(static_cast<const char*>(certificate), certificateSize));
    CopyOutBytes(CVorlentCryptoTool::EncryptForCertificate(
                     std::string(static_cast<const char*>(content), contentSize), der),
                 encrypted, encryptedSize);
  });
}

STDAPI QvToolDecrypt(int machine, const void* encrypted, size_t encryptedSize, void** content,
                     size_t* contentSize) {
  return ToolFrame([&] {
    CheckPointer(encrypted, "encrypted");
    std::string message(static_cast<const char*>(encrypted), encryptedSize);
    CVorlentCryptoTool::Decrypt(!machine, message);
    CopyOutBytes(message, content, contentSize);
  });
}

STDAPI QvToolWriteFileContent(IVorlentFile* file, int fd) {
  return ToolFrame([&] {
    CheckPointer(file, "file");
    LockedDocument entry = DocumentOf(file);
    const std::string& bytes = entry->GetRawContent();
    if (!WriteAllBytes(fd, bytes.data(), bytes.size()))
      RaiseErrorFmt("Не удалось записать содержимое документа: [%s]"_cp, {SystemErrorText(errno)});
  });
}

STDAPI QvToolPackageFlow(IVorlent* package, char** flowCode, char** flowType, char** flowIdentifier,
                         char** operatorIdentifier, char** operatorType) {
  return ToolFrame([&] {
    CheckPointer(package, "package");
    char** outputs[] = {flowCode, flowType, flowIdentifier, operatorIdentifier, operatorType};
    for (char** output : outputs) {
      CheckPointer(output, "output");
      *output = nullptr;
    }
    auto* object = dynamic_cast<CVorlent_class*>(package);
    if (!object) RaiseError("Объект пакета создан не этой библиотекой"_cp);
    std::lock_guard<std::recursive_mutex> guard(*object->Lock());
    const CXMLGprExtPackage& manifest = object->Doc().Manifest();
    const CXMLGprSubject& special = manifest.SpecialOperator();
    const bool named = !special.SubjectIdentifier().empty();
    const std::string values[] = {manifest.ThreadTypeCode(), manifest.ThreadType(),
                                  manifest.ThreadIdentifier(), special.SubjectIdentifier(),
                                  named ? SubjectTypeToName(special.GetSubjectType()) : std::string()};
    std::vector<char*> copies;
    try {
      for (const std::string& value : values) copies.push_back(CopyOut(Cp1251ToUtf8(value)));
    } catch (...) {
      for (char* copy : copies) std::free(copy);
      throw;
    }
    for (std::size_t i = 0; i < copies.size(); ++i) *outputs[i] = copies[i];
  });
}

STDAPI QvToolAddFile(IVorlent* package, const char* docTypeCode, const char* contentType,
                     const char* fileName, const void* content, size_t size, IVorlentFile** file) {
  return ToolFrame([&] {
    CheckPointer(package, "package");
    CheckPointer(file, "file");
    if (size) CheckPointer(content, "content");
    *file = nullptr;
    auto* object = dynamic_cast<CVorlent_class*>(package);
    if (!object) RaiseError("Объект пакета создан не этой библиотекой"_cp);
    std::lock_guard<std::recursive_mutex> guard(*object->Lock());
    *file = object->AddDocument(Text(docTypeCode), Text(contentType), FileName(fileName),
                                size ? std::string(static_cast<const char*>(content), size) : std::string());
  });
}

STDAPI QvToolAddFileFrom(IVorlent* package, const char* docTypeCode, const char* contentType,
                         const char* fileName, int fd, IVorlentFile** file) {
  return ToolFrame([&] {
    CheckPointer(package, "package");
    CheckPointer(file, "file");
    *file = nullptr;
    auto* object = dynamic_cast<CVorlent_class*>(package);
    if (!object) RaiseError("Объект пакета создан не этой библиотекой"_cp);
    std::lock_guard<std::recursive_mutex> guard(*object->Lock());
    std::string content = ReadOpenFile(fd, kMaxWholeFile, "Файл слишком велик!"_cp);
    *file = object->AddDocument(Text(docTypeCode), Text(contentType), FileName(fileName), std::move(content));
  });
}

STDAPI QvToolSignAndSave(IVorlent* package, const LONG* files, size_t count, IVorlentKey* key,
                         const char* path) {
  return ToolFrame([&] {
    CheckPointer(package, "package");
    if (count > 0) CheckPointer(files, "files");
    CheckPointer(path, "path");
    auto* object = dynamic_cast<CVorlent_class*>(package);
    if (!object) RaiseError("Объект пакета создан не этой библиотекой"_cp);
    std::lock_guard<std::recursive_mutex> guard(*object->Lock());
    std::unique_ptr<CVorlentKey> record = KeyArgument(key, "pKey");
    object->Doc().SignAndSave(std::vector<int>(files, files + count), *record, FileName(path));
  });
}

STDAPI QvToolFileContent(IVorlentFile* file, void** data, size_t* size) {
  return ToolFrame([&] {
    CheckPointer(file, "file");
    CheckPointer(size, "size");
    if (data) *data = nullptr;
    LockedDocument entry = DocumentOf(file);
    if (!data) {
      *size = static_cast<size_t>(entry->GetRawContentSize());
      return;
    }
    const std::string& bytes = entry->GetRawContent();
    *size = bytes.size();
    *data = CopyOut(bytes);
  });
}

STDAPI QvToolReceive(const char* const* packages, size_t count, const char* directory, int checks, int jobs,
                     QvReceiveCallback callback, void* context) {
  ReceiveOutcome outcome = ReceiveOutcome::kAllHeld;
  std::size_t ended = 0;
  HRESULT hr = ToolFrame([&] {
    if (count > 0) CheckPointer(packages, "packages");
    CheckPointer(directory, "directory");
    std::vector<std::string> paths;
    for (size_t i = 0; i < count; ++i) {
      CheckPointer(packages[i], "packages");
      paths.emplace_back(packages[i]);
    }
    outcome = ReceiveBatch(paths, directory, checks, jobs, [&](const CReceivedPackage& result) {
      ++ended;
      if (!callback) return false;
      std::vector<const char*> errors;
      for (const std::string& error : result.errors) errors.push_back(error.c_str());
      QvReceivedPackage view{result.package.c_str(), result.folder.empty() ? nullptr : result.folder.c_str(),
                             result.ok ? 1 : 0,      result.documents,
                             result.signatures,      errors.data(),
                             errors.size()};
      return callback(&view, context) != 0;
    });
  });
  if (FAILED(hr)) return hr;
  if (outcome == ReceiveOutcome::kStopped) {
    lastToolError =
        "Приём прерван: обработано пакетов " + std::to_string(ended) + " из " + std::to_string(count);
    return E_ABORT;
  }
  return outcome == ReceiveOutcome::kAllHeld ? S_OK : S_FALSE;
}
