// The instance part of CCryptoAPI20Tool: the facade key management creates once per
// initialisation.
#include "crypto/CryptoAPI20Tool.h"
#include "crypto/CryptoUtils.h"
#include "foundation/CodePage.h"
#include "foundation/Errors.h"
#include "foundation/ValueCheck.h"
#include "platform/KeyContainer.h"

namespace qv {

CCryptoAPI20Tool::CCryptoAPI20Tool() {
  handle_ = AcquireProviderContext({}, {}, providerType_, kCryptVerifyContext);
  if (!handle_) {
    RaiseErrorFmt("Ошибка при инициализации криптопровайдера: %s"_cp, {CCryptoAPI20Utils::LastErrorText()});
  }
}

CCryptoAPI20Tool::~CCryptoAPI20Tool() = default;

void CCryptoAPI20Tool::CheckStore(int name) const {
  if (location_ == 0) RaiseError("Неизвестное хранилище"_cp);
  if (name == 0) RaiseError("Неизвестное имя хранилища"_cp);
}

CertContextPtr CCryptoAPI20Tool::CertificateFromBody(const std::string& body) {
  return Funnel([&] {
    CValueCheckTool::CheckNotEmpty(body, "CertificateBody");
    return CCryptoAPI20Utils::CertificateFromText(body);
  });
}

void CCryptoAPI20Tool::EnumStore(int name, CStrArray* list) {
  Funnel([&] {
    CheckStore(name);
    CValueCheckTool::CheckNotNil(list, "certArray");
    CCryptoAPI20Utils::EnumStore(handle_.get(), location_, name, list);
  });
}

CertContextPtr CCryptoAPI20Tool::FindBySha1(int name, const std::string& sha1) {
  return Funnel([&] {
    CheckStore(name);
    CValueCheckTool::CheckNotEmpty(sha1, "sSha1");
    return CCryptoAPI20Utils::FindBySha1(handle_.get(), location_, name, sha1);
  });
}

std::string CCryptoAPI20Tool::GetCertificateBody(const CertContextPtr& context) {
  return Funnel([&] {
    CValueCheckTool::CheckNotNil(context.get(), "CertContext");
    return context->Encoded();
  });
}

void CCryptoAPI20Tool::ImportP7B(const std::string& text) {
  Funnel([&] {
    CValueCheckTool::CheckNotEmpty(text, "p7b-body");
    CCryptoAPI20Utils::ImportBundle(handle_.get(), location_, text);
  });
}

void CCryptoAPI20Tool::AddToStore(int name, const CertContextPtr& certificate, const std::string& container) {
  Funnel([&] {
    CheckStore(name);
    CCryptoAPI20Utils::AddToStore(handle_.get(), location_, name, container, certificate);
  });
}

void CCryptoAPI20Tool::SetKeyProvWith(const CProviderContext& context, const CertContextPtr& certificate,
                                      const std::string& container, bool caching) {
  try {
    if (!certificate) RaiseError("Ошибка присвоения свойств сертификата"_cp);
    KeyProvInfo info;
    info.containerName = container;
    info.providerName = context.name;
    info.providerType = context.type;
    info.flags = caching ? 1u : 0u;
    info.keySpec = kAtKeyExchange;
    certificate->SetKeyProv(info);
  } catch (const CVorlentException& e) {
    RaiseErrorFmt("Ошибка при связывании сертификата с контейнером: [%s]"_cp, {e.Message()});
  }
}

void CCryptoAPI20Tool::LinkToContainer(const CertContextPtr& certificate, const std::string& container,
                                       bool caching) {
  CValueCheckTool::CheckNotNil(certificate.get(), "certificate");
  // The container of the user key set, holding the certificate's own key.
  ProviderContextPtr context =
      CCryptoAPI20Utils::OpenContainerFor(providerName_, providerType_, false, container, *certificate);
  SetKeyProvWith(*context, certificate, container, caching);
  if (!WriteContainerCertificate(false, container, certificate->Encoded())) {
    RaiseErrorFmt("Ошибка при импорте сертификата в контейнер: %s"_cp, {CCryptoAPI20Utils::LastErrorText()});
  }
}

void CCryptoAPI20Tool::SetKeyProvInfo(const CertContextPtr& certificate, const std::string& container,
                                      bool caching) {
  SetKeyProvWith(*handle_, certificate, container, caching);
}

std::string CCryptoAPI20Tool::GetContainerName(const CertContextPtr& certificate) {
  CValueCheckTool::CheckNotNil(certificate.get(), "certificate");
  const std::optional<KeyProvInfo>& info = certificate->KeyProv();
  return info ? info->containerName : std::string();
}

bool CCryptoAPI20Tool::CheckSignature(bool currentUser, const std::string& content,
                                      const std::string& signature) {
  return VerifyDetached(currentUser, content, signature, true, true, 0, nullptr);
}

}  // namespace qv
