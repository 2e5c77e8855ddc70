// Encryption for one recipient and decryption with a store of bound certificates.
#include <memory>

#include "crypto/CryptoAPI20Tool.h"
#include "crypto/CryptoProvider.h"
#include "crypto/CryptoUtils.h"
#include "crypto/ZumecCertificate.h"
#include "foundation/CodePage.h"
#include "foundation/Errors.h"
#include "foundation/ValueCheck.h"
#include "platform/CryptError.h"
#include "platform/CryptProvider.h"
#include "platform/KeyContainer.h"

namespace qv {
namespace {

// GOST 28147-89, 1.2.643.2.2.21.
constexpr const char* kContentCipherOid = "1.2.643.2.2.21";

[[noreturn]] void RaisePass(const char* operation, int pass, const std::string& text) {
  RaiseErrorFmt("Ошибка при %s (%d): %s"_cp, {std::string(operation), pass, text});
}
[[noreturn]] void RaiseEncrypt(int pass, std::int32_t code) {
  SetLastCryptErrorFromOpenSsl(code);
  RaisePass("шифровании"_cp.c_str(), pass, CCryptoAPI20Utils::LastErrorText());
}
[[noreturn]] void RaiseDecrypt(int pass, std::int32_t code, bool fromOpenSsl = true) {
  if (fromOpenSsl) {
    SetLastCryptErrorFromOpenSsl(code);
  } else {
    SetLastCryptError(code);
  }
  RaisePass("расшифровании"_cp.c_str(), pass, CCryptoAPI20Utils::LastErrorText());
}

std::string ToDer(CMS_ContentInfo* cms, int pass) {
  BioPtr out(BIO_new(BIO_s_mem()));
  if (!out || i2d_CMS_bio(out.get(), cms) != 1) RaiseEncrypt(pass, kCryptEBadEncode);
  return BioBytes(out.get());
}

// The key-transport recipient of `cms` that `cert` stands for, or null.
bool IsRecipient(CMS_ContentInfo* cms, X509* cert) {
  STACK_OF(CMS_RecipientInfo)* infos = CMS_get0_RecipientInfos(cms);
  for (int i = 0; infos && i < sk_CMS_RecipientInfo_num(infos); ++i) {
    CMS_RecipientInfo* info = sk_CMS_RecipientInfo_value(infos, i);
    if (CMS_RecipientInfo_type(info) == CMS_RECIPINFO_TRANS &&
        CMS_RecipientInfo_ktri_cert_cmp(info, cert) == 0) {
      return true;
    }
  }
  return false;
}

}  // namespace

std::string CCryptoAPI20Tool::EncryptMessage(const CertContextPtr& recipient, const std::string& content) {
  CValueCheckTool::CheckNotNil(recipient.get(), "recipient");
  EnsureGostEngine();
  Asn1ObjectPtr oid(OBJ_txt2obj(kContentCipherOid, 1));
  const EVP_CIPHER* cipher = oid ? EVP_get_cipherbyobj(oid.get()) : nullptr;
  if (!cipher) RaiseEncrypt(1, kNteBadAlgid);
  BioPtr input = MemoryBio(content);
  CmsPtr cms(CMS_encrypt(nullptr, nullptr, cipher, CMS_BINARY | CMS_PARTIAL));
  // CMS_KEY_PARAM makes the recipient's key context now, so that the key transport learns the
  // content cipher before the envelope is finished (the GOST engine needs it).
  CMS_RecipientInfo* info =
      cms ? CMS_add1_recipient_cert(cms.get(), recipient->Cert(), CMS_BINARY | CMS_KEY_PARAM) : nullptr;
  EVP_PKEY_CTX* keyContext = info ? CMS_RecipientInfo_get0_pkey_ctx(info) : nullptr;
  if (!keyContext) RaiseEncrypt(1, kNteFail);
  int set = EVP_PKEY_CTX_ctrl(keyContext, -1, -1, EVP_PKEY_CTRL_CIPHER, EVP_CIPHER_get_nid(cipher), nullptr);
  if (set <= 0 && set != -2) RaiseEncrypt(1, kNteBadAlgid);
  if (!input || CMS_final(cms.get(), input.get(), nullptr, CMS_BINARY) != 1) RaiseEncrypt(1, kNteFail);
  return ToDer(cms.get(), 2);
}

std::string CCryptoAPI20Tool::DecryptMessage(const CertStorePtr& store, const std::string& encrypted) {
  CValueCheckTool::CheckNotNil(store.get(), "store");
  EnsureGostEngine();
  BioPtr input = MemoryBio(encrypted);
  CmsPtr cms(input ? d2i_CMS_bio(input.get(), nullptr) : nullptr);
  if (!cms) RaiseDecrypt(1, kCryptEAsn1BadTag);
  if (OBJ_obj2nid(CMS_get0_type(cms.get())) != NID_pkcs7_enveloped) {
    RaiseDecrypt(1, kCryptEUnexpectedMsgType, false);
  }
  // The recipient's certificate among the bound certificates of the store.
  CertContextPtr recipient;
  for (const CertContextPtr& cert : store->Certificates()) {
    if (cert->KeyProv() && !cert->KeyProv()->containerName.empty() && IsRecipient(cms.get(), cert->Cert())) {
      recipient = cert;
      break;
    }
  }
  if (!recipient) RaiseDecrypt(1, kCryptENoDecryptCert, false);
  EvpPkeyPtr key;
  try {
    key = LoadContainerKey((recipient->KeyProv()->flags & kCryptMachineKeyset) != 0,
                           recipient->KeyProv()->containerName);
  } catch (const CVorlentException& e) {
    RaisePass("расшифровании"_cp.c_str(), 1, e.Message());
  }
  // With the certificate and CMS_DEBUG_DECRYPT a key that does not unwrap the content key is an
  // error, not a random content key (the countermeasure that would make garbage look like success).
  BioPtr output(BIO_new(BIO_s_mem()));
  if (!output || CMS_decrypt(cms.get(), key.get(), recipient->Cert(), nullptr, output.get(),
                             CMS_BINARY | CMS_DEBUG_DECRYPT) != 1) {
    RaiseDecrypt(1, kNteBadData);
  }
  return BioBytes(output.get());
}

std::string CCryptoAPI20Tool::EncryptForThumbprint(bool currentUser, const std::string& content,
                                                   const std::string& sha1) {
  int location = currentUser ? kStoreCurrentUser : kStoreLocalMachine;
  CCryptoProvider provider;
  provider.AcquireContext({}, {}, kCryptVerifyContext | (currentUser ? 0u : kCryptMachineKeyset), kProvGost);
  CertContextPtr recipient =
      CCryptoAPI20Utils::FindBySha1(provider.Handle(), location, kStoreAddressBook, sha1);
  if (!recipient) {
    RaiseErrorFmt(
        "Сертификат для шифрования с отпечатком [%s] не найден в храниилище \"Другие пользователи\""_cp,
        {sha1});
  }
  return EncryptMessage(recipient, content);
}

std::string CCryptoAPI20Tool::EncryptForCertificate(const std::string& content,
                                                    const std::string& certificateText) {
  CZUMECCertificate certificate;
  certificate.Open(certificateText);
  return EncryptMessage(certificate.GetContext(), content);
}

std::string CCryptoAPI20Tool::DecryptWithPersonalStore(bool currentUser, const std::string& encrypted) {
  CCryptoProvider provider;
  provider.SetMachineKeyset(!currentUser);
  provider.AcquireContext({}, {}, kCryptVerifyContext | (currentUser ? 0u : kCryptMachineKeyset), kProvGost);
  CCryptoStore store;
  store.SetProvider(&provider);
  store.Open(kStoreProvSystem, "MY");
  return DecryptMessage(store.Handle(), encrypted);
}

}  // namespace qv
