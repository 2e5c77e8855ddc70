// Commands on certificate stores, single certificates and bare encrypted files: keys list,
// keys import-cert, keys remove, cert show, encrypt-file, decrypt-file.
#include <openssl/err.h>
#include <openssl/pem.h>

#include <algorithm>
#include <cctype>
#include <set>

#include "Certificates.h"
#include "PackageCommands.h"
#include "Util.h"

namespace vorlent {

namespace {

using nlohmann::json;

// A store as users name it: "u" (the user's) or "m" (the machine's) and My, AddressBook,
// Root or CA, the last part in any letter case.
struct StoreName {
  bool user;
  std::string library;  // the library's name of the store: MY, addressbook, ROOT, CA
};

StoreName ParseStore(const std::string& name) {
  const char* known = "uMy, uAddressBook, uRoot, uCA, mMy, mAddressBook, mRoot, mCA";
  if (name.size() < 2 || (name[0] != 'u' && name[0] != 'm'))
    Usage("хранилище задаётся с признаком размещения (u — пользователя, m — компьютера): " +
          std::string(known));
  std::string store = name.substr(1);
  std::transform(store.begin(), store.end(), store.begin(), [](unsigned char c) { return std::tolower(c); });
  const std::pair<const char*, const char*> names[] = {
      {"my", "MY"}, {"addressbook", "addressbook"}, {"root", "ROOT"}, {"ca", "CA"}};
  for (const auto& [typed, library] : names) {
    if (store == typed) return {name[0] == 'u', library};
  }
  Usage("неизвестное хранилище " + name + " (" + known + ")");
}

bool Personal(const StoreName& store) {
  return store.library == "MY";
}

// The library's string result of a tools call, freed here.
std::string TakeText(char* text) {
  std::string value = text ? text : "";
  QvToolFree(text);
  return value;
}

std::string TakeBytes(void* bytes, std::size_t size) {
  std::string value = bytes ? std::string(static_cast<const char*>(bytes), size) : std::string();
  QvToolFree(bytes);
  return value;
}

// The certificates of a store as key objects: MY and addressbook through the key interface
// (with their containers), ROOT and CA through the tools interface.
std::vector<Ptr<IVorlentKey>> StoreKeys(const StoreName& store) {
  std::vector<Ptr<IVorlentKey>> keys;
  if (store.library == "ROOT" || store.library == "CA") {
    char* pem = nullptr;
    CheckTool(QvToolStoreCertificates(store.user ? 0 : 1, store.library.c_str(), &pem));
    std::string text = TakeText(pem);
    OsslPtr<BIO, BIO_free_all> in(BIO_new_mem_buf(text.data(), static_cast<int>(text.size())));
    while (in) {
      OsslPtr<X509, X509_free> certificate(PEM_read_bio_X509(in.get(), nullptr, nullptr, nullptr));
      if (!certificate) break;
      unsigned char* der = nullptr;
      int length = i2d_X509(certificate.get(), &der);
      if (length <= 0) break;
      Ptr<IVorlentKey> key;
      HRESULT hr = QvToolKeyFromCertificate(der, static_cast<std::size_t>(length), key.Out());
      OPENSSL_free(der);
      CheckTool(hr);
      keys.push_back(std::move(key));
    }
    ERR_clear_error();
    return keys;
  }
  Ptr<IVorlentCrypt> crypt = NewInitializedCrypt(store.user);
  const bool personal = Personal(store);
  LONG count = 0;
  Check(personal ? crypt->GetPrivateKeyCount(&count) : crypt->GetOpponentKeyCount(&count), crypt.Get());
  for (LONG i = 0; i < count; ++i) {
    Ptr<IVorlentKey> key;
    Check(personal ? crypt->GetPrivateKey(i, key.Out()) : crypt->GetOpponentKey(i, key.Out()), crypt.Get());
    keys.push_back(std::move(key));
  }
  return keys;
}

// The key containers of the user's key set, where the library binds certificates.
std::set<std::string> Containers() {
  Ptr<IVorlentCrypt> crypt = NewInitializedCrypt();
  LONG count = 0;
  Check(crypt->GetContainerCount(&count), crypt.Get());
  std::set<std::string> names;
  for (LONG i = 0; i < count; ++i) {
    Str name;
    Check(crypt->GetContainer(i, name.Out()), crypt.Get());
    names.insert(name.Utf8());
  }
  return names;
}

// KeyJson with the certificate's own fields.
json CertificateJson(IVorlentKey* key, bool details) {
  json item = KeyJson(key);
  Str body;
  Check(key->get_CertificateBody(body.Out()), key);
  OsslPtr<X509, X509_free> certificate = ParseCertificate(body.Bytes());
  item.update(CertificateFields(certificate.get(), details));
  return item;
}

// The lines of a certificate for people, each starting with `indent`.
void PrintCertificate(const Output& out, const json& item, const std::string& indent) {
  out.Line(indent + "Владелец: " + PeopleName(item["subject"].get<std::string>()));
  out.Line(indent + "Издатель: " + PeopleName(item["issuer"].get<std::string>()));
  out.Line(indent + "Действует: с " + item["notBefore"].get<std::string>() + " по " +
           item["notAfter"].get<std::string>());
  const std::pair<const char*, const char*> identifiers[] = {
      {"inn", "ИНН"}, {"innLe", "ИНН ЮЛ"}, {"snils", "СНИЛС"}, {"ogrn", "ОГРН"}, {"ogrnip", "ОГРНИП"}};
  std::string line;
  for (const auto& [key, name] : identifiers) {
    const std::string value = item[key].get<std::string>();
    if (!value.empty()) line += (line.empty() ? "" : ", ") + std::string(name) + " " + value;
  }
  if (!line.empty()) out.Line(indent + line);
  std::string algorithm = item["keyAlgorithmName"].get<std::string>();
  if (algorithm != item["keyAlgorithm"].get<std::string>())
    algorithm += " (" + item["keyAlgorithm"].get<std::string>() + ")";
  out.Line(indent + "Алгоритм ключа: " + algorithm);
  if (item.contains("privateKey")) {
    const std::string container = item["container"].get<std::string>();
    out.Line(indent + "Закрытый ключ: " +
             (item["privateKey"].get<bool>() ? "доступен в контейнере " + container
              : container.empty()            ? "не связан с контейнером"
                                             : "контейнер " + container + " не найден"));
  }
}

int CmdKeysList(const Args& args, Output& out) {
  const std::string storeName = args.Value("--store", "uMy");
  StoreName store = ParseStore(storeName);
  std::vector<Ptr<IVorlentKey>> keys = StoreKeys(store);
  std::set<std::string> containers;
  if (Personal(store) && !keys.empty()) containers = Containers();
  out.doc = {{"store", storeName}, {"keys", json::array()}};
  for (const Ptr<IVorlentKey>& key : keys) {
    json item = CertificateJson(key.Get(), false);
    const std::string container = item["container"].get<std::string>();
    if (Personal(store)) item["privateKey"] = !container.empty() && containers.count(container) != 0;
    out.doc["keys"].push_back(item);
    std::string line = item["thumbprint"].get<std::string>() + "  " + item["subjectCN"].get<std::string>();
    if (!container.empty()) line += "  [" + container + "]";
    out.Line(line);
    PrintCertificate(out, item, "    ");
  }
  if (keys.empty()) out.Line("В хранилище " + storeName + " нет сертификатов");
  return kExitOk;
}

int CmdKeysImportCert(const Args& args, Output& out) {
  const std::string storeName = args.Value("--store", "uAddressBook");
  StoreName store = ParseStore(storeName);
  if (args.Has("--container") && !Personal(store))
    Usage("--container задаётся только для личного хранилища (uMy, mMy)");
  std::string der = CertificateDer(ReadFile(args.At(0), kMaxSmallFile));
  Ptr<IVorlentKey> key;
  if (Personal(store) && args.Has("--container")) {
    Ptr<IVorlentCrypt> crypt = NewInitializedCrypt(store.user);
    Check(crypt->ImportPrivateCertificate(ByteStr(der), Str(args.Value("--container")), key.Out()),
          crypt.Get());
  } else if (store.library == "addressbook") {
    Ptr<IVorlentCrypt> crypt = NewInitializedCrypt(store.user);
    Check(crypt->ImportOpponentCertificate(ByteStr(der), key.Out()), crypt.Get());
  } else {
    CheckTool(QvToolStoreAdd(store.user ? 0 : 1, store.library.c_str(), der.data(), der.size(), nullptr));
  }
  if (!key) CheckTool(QvToolKeyFromCertificate(der.data(), der.size(), key.Out()));
  json item = KeyJson(key.Get());
  out.doc = {{"store", storeName}, {"key", item}};
  out.Line("Сертификат импортирован в " + storeName + ": " + item["thumbprint"].get<std::string>());
  if (store.library == "ROOT") {
    out.Line("Установлен доверенный корневой сертификат: " + PeopleName(item["subject"].get<std::string>()));
    out.Line("Отпечаток SHA-1: " + item["thumbprint"].get<std::string>());
  }
  if (Personal(store) && !args.Has("--container"))
    out.Line("Закрытый ключ не связан: vorlent keys link " + item["thumbprint"].get<std::string>() +
             " КОНТЕЙНЕР");
  return kExitOk;
}

int CmdKeysRemove(const Args& args, Output& out) {
  const std::string storeName = args.Required("--store");
  StoreName store = ParseStore(storeName);
  const std::string sha1 = NormalizeSha1(args.At(0));
  CheckTool(QvToolStoreRemove(store.user ? 0 : 1, store.library.c_str(), sha1.c_str()));
  out.doc = {{"store", storeName}, {"removed", sha1}};
  out.Line("Сертификат " + sha1 + " удалён из " + storeName);
  return kExitOk;
}

int CmdCertShow(const Args& args, Output& out) {
  std::string body = ReadFile(args.At(0), kMaxSmallFile);
  Ptr<IVorlentKey> key;
  CheckTool(QvToolKeyFromCertificate(body.data(), body.size(), key.Out()));
  json item = CertificateJson(key.Get(), true);
  out.doc = item;
  out.doc["certificate"] = args.At(0);
  out.Line("Сертификат: " + item["subjectCN"].get<std::string>());
  PrintCertificate(out, item, "");
  out.Line("Серийный номер: " + item["serial"].get<std::string>());
  out.Line("Отпечаток SHA-1: " + item["thumbprint"].get<std::string>());
  for (const json& policy : item["policies"]) out.Line("Политика: " + policy.get<std::string>());
  for (const json& url : item["crlUrls"]) out.Line("Список отзыва: " + url.get<std::string>());
  for (const json& access : item["authorityInfo"]) {
    const std::string method = access["method"].get<std::string>();
    out.Line((method == "ocsp"        ? "OCSP: "
              : method == "caIssuers" ? "Сертификат издателя: "
                                      : method + ": ") +
             access["url"].get<std::string>());
  }
  return kExitOk;
}

// A CMS message given as DER or PEM, as DER.
std::string MessageDer(const std::string& bytes) {
  if (bytes.find("-----BEGIN") == std::string::npos) return bytes;
  OsslPtr<BIO, BIO_free_all> in(BIO_new_mem_buf(bytes.data(), static_cast<int>(bytes.size())));
  char* name = nullptr;
  char* header = nullptr;
  unsigned char* data = nullptr;
  long length = 0;
  if (!in || PEM_read_bio(in.get(), &name, &header, &data, &length) != 1) {
    ERR_clear_error();
    throw Failure("файл не содержит сообщения CMS в кодировке PEM");
  }
  std::string der(reinterpret_cast<const char*>(data), static_cast<std::size_t>(length));
  OPENSSL_free(name);
  OPENSSL_free(header);
  OPENSSL_free(data);
  return der;
}

// The recipient's certificate of encrypt-file: a file, or a thumbprint in the user's stores.
std::string RecipientCertificate(const Args& args) {
  if (args.Has("--cert") == args.Has("--recipient"))
    Usage("задайте одно из --cert ФАЙЛ или --recipient SHA1");
  if (args.Has("--cert")) return ReadFile(args.Value("--cert"), kMaxSmallFile);
  const std::string sha1 = NormalizeSha1(args.Value("--recipient"));
  Ptr<IVorlentCrypt> crypt = NewInitializedCrypt();
  Ptr<IVorlentKey> key;
  HRESULT hr = crypt->GetOpponentKeyBySha1(Str(sha1), key.Out());
  if (FAILED(hr) || !key) hr = crypt->GetPrivateKeyBySha1(Str(sha1), key.Out());
  if (FAILED(hr) || !key) throw Failure("нет сертификата с отпечатком " + sha1 + " в uAddressBook и uMy");
  Str body;
  Check(key->get_CertificateBody(body.Out()), key.Get());
  return body.Bytes();
}

int CmdEncryptFile(const Args& args, Output& out) {
  std::string content = ReadFile(args.At(0));
  std::string certificate = RecipientCertificate(args);
  const std::string target = args.Required("-o");
  void* encrypted = nullptr;
  std::size_t size = 0;
  CheckTool(QvToolEncrypt(content.data(), content.size(), certificate.data(), certificate.size(), &encrypted,
                          &size));
  std::string bytes = TakeBytes(encrypted, size);
  WriteFile(target, bytes, args.Flag("--force"));
  out.doc = {{"file", args.At(0)}, {"encrypted", target}, {"size", bytes.size()}};
  out.Line("Зашифровано: " + target + " (" + std::to_string(bytes.size()) + " байт)");
  return kExitOk;
}

int CmdDecryptFile(const Args& args, Output& out) {
  std::string message = MessageDer(ReadFile(args.At(0)));
  const std::string target = args.Required("-o");
  void* content = nullptr;
  std::size_t size = 0;
  CheckTool(QvToolDecrypt(args.Flag("--machine") ? 1 : 0, message.data(), message.size(), &content, &size));
  std::string bytes = TakeBytes(content, size);
  WriteFile(target, bytes, args.Flag("--force"));
  out.doc = {{"file", args.At(0)}, {"decrypted", target}, {"size", bytes.size()}};
  out.Line("Расшифровано: " + target + " (" + std::to_string(bytes.size()) + " байт)");
  return kExitOk;
}

}  // namespace

void AddCertCommands(std::vector<Command>& commands) {
  commands.push_back(
      {"keys list",
       "[--store uMy|uAddressBook|uRoot|uCA|mMy|mAddressBook|mRoot|mCA]",
       "Перечисляет сертификаты хранилища: отпечаток SHA-1, имя, владелец и издатель, срок действия,\n"
       "ИНН, ИНН ЮЛ, СНИЛС, ОГРН, ОГРНИП, алгоритм ключа; для uMy и mMy также контейнер и доступен ли\n"
       "закрытый ключ. В --json имена владельца и издателя даются так, как их пишет библиотека.",
       {{"--store"}, {}, 0, 0},
       &CmdKeysList});
  commands.push_back(
      {"keys import-cert",
       "FILE [--store uAddressBook|uMy|uRoot|uCA|mAddressBook|mMy|mRoot|mCA] [--container NAME]",
       "Импортирует сертификат (PEM или DER) в хранилище: получателя (uAddressBook, по умолчанию),\n"
       "личный (uMy; с --container он сразу связывается с контейнером, без него — позже командой\n"
       "keys link), доверенный корневой (uRoot) или промежуточный УЦ (uCA). Префикс u — хранилище\n"
       "пользователя, m — компьютера. Для корневого печатаются владелец и отпечаток.",
       {{"--store", "--container"}, {}, 1, 1},
       &CmdKeysImportCert});
  commands.push_back({"keys remove",
                      "SHA1 --store uMy|uAddressBook|uRoot|uCA|mMy|mAddressBook|mRoot|mCA",
                      "Удаляет сертификат с данным отпечатком из хранилища (контейнер ключа остаётся).",
                      {{"--store"}, {}, 1, 1},
                      &CmdKeysRemove});
  commands.push_back({"cert show",
                      "CERT",
                      "Показывает поля сертификата (PEM или DER): владелец, издатель, срок действия, ИНН,\n"
                      "ИНН ЮЛ, СНИЛС, ОГРН, ОГРНИП, алгоритм ключа, серийный номер, отпечаток, политики,\n"
                      "точки распространения списков отзыва и адреса сведений об издателе.",
                      {{}, {}, 1, 1},
                      &CmdCertShow});
  commands.push_back(
      {"encrypt-file",
       "FILE (--cert CERT | --recipient SHA1) -o OUT [--force]",
       "Шифрует файл для получателя: сертификат из файла (PEM или DER) или по отпечатку из\n"
       "uAddressBook или uMy. Пишет CMS EnvelopedData (DER), которое читает openssl cms -decrypt;\n"
       "существующий OUT заменяется только с --force.",
       {{"--cert", "--recipient", "-o"}, {"--force"}, 1, 1},
       &CmdEncryptFile});
  commands.push_back(
      {"decrypt-file",
       "FILE -o OUT [--machine] [--force]",
       "Расшифровывает CMS EnvelopedData (DER или PEM) закрытым ключом сертификата из uMy\n"
       "(mMy с --machine), связанного с контейнером; существующий OUT заменяется только с --force.",
       {{"-o"}, {"--machine", "--force"}, 1, 1},
       &CmdDecryptFile});
}

}  // namespace vorlent
