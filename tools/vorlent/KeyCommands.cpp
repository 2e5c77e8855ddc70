// Commands on keys, certificates and detached signatures: keys ..., sign-file,
// check-signature, download, cert check, doctor, demo.
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>
#include <unistd.h>

#include <cstdlib>
#include <ctime>
#include <memory>

#include "Certificates.h"
#include "PackageCommands.h"
#include "Pin.h"
#include "Util.h"

#ifndef QV_SOURCE_DIR
#define QV_SOURCE_DIR "."
#endif
#ifndef QV_DEMO_DIR
#define QV_DEMO_DIR "/usr/share/qelvorlent"
#endif

namespace vorlent {

namespace {

using nlohmann::json;

int CmdKeysContainers(const Args& args, Output& out) {
  Ptr<IVorlentCrypt> crypt = NewInitializedCrypt(!args.Flag("--machine"));
  LONG count = 0;
  Check(crypt->GetContainerCount(&count), crypt.Get());
  out.doc = {{"containers", json::array()}};
  for (LONG i = 0; i < count; ++i) {
    Str name;
    Check(crypt->GetContainer(i, name.Out()), crypt.Get());
    out.doc["containers"].push_back(name.Utf8());
    out.Line(name.Utf8());
  }
  if (count == 0) out.Line("Контейнеров нет");
  return kExitOk;
}

int CmdKeysImportChain(const Args& args, Output& out) {
  std::string bundle = ReadFile(args.At(0), kMaxSmallFile);
  Ptr<IVorlentCrypt> crypt = NewInitializedCrypt(!args.Flag("--machine"));
  Check(crypt->ImportP7BChain(ByteStr(bundle)), crypt.Get());
  out.doc = {{"imported", args.At(0)}};
  out.Line("Цепочка сертификатов импортирована: " + args.At(0));
  return kExitOk;
}

// The PIN of a new key: --pin has been read into QELVORLENT_PIN for this process already.
std::string PinForNewKey(const Args&) {
  const char* pin = std::getenv("QELVORLENT_PIN");
  return pin ? pin : "";
}

int CmdKeysNewContainer(const Args& args, Output& out) {
  const std::string name = args.At(0);
  const std::string algorithmName = args.Value("--algorithm", "gost2012-256");
  int algorithm;
  if (algorithmName == "gost2012-256") {
    algorithm = QV_KEY_GOST2012_256;
  } else if (algorithmName == "gost2012-512") {
    algorithm = QV_KEY_GOST2012_512;
  } else {
    Usage("неизвестный алгоритм " + algorithmName + " (gost2012-256, gost2012-512)");
  }
  const std::string subject = args.Value("--subject", "/CN=" + name);
  const std::string requestPath = args.Value("-o", SafeFileName(name) + ".req");
  std::string pin = PinForNewKey(args);
  char* request = nullptr;
  HRESULT hr = QvToolCreateContainer(name.c_str(), algorithm, subject.c_str(), pin.c_str(), &request);
  std::fill(pin.begin(), pin.end(), '\0');
  CheckTool(hr);
  std::string text = request ? request : "";
  QvToolFree(request);
  WriteFile(requestPath, text, true);
  out.doc = {{"container", name}, {"algorithm", algorithmName}, {"request", requestPath}};
  out.Line("Создан контейнер " + name + " (" + algorithmName + "), запрос на сертификат: " + requestPath);
  return kExitOk;
}

int CmdKeysImportKey(const Args& args, Output& out) {
  const std::string name = args.At(0);
  std::string data = ReadFile(args.At(1), kMaxSmallFile);
  std::string password =
      args.Has("--password") ? ReadPinSpec(args.Value("--password"), "--password") : std::string();
  std::string pin = PinForNewKey(args);
  void* certificate = nullptr;
  size_t certificateSize = 0;
  HRESULT hr = QvToolImportKey(name.c_str(), data.data(), data.size(), password.c_str(), pin.c_str(),
                               &certificate, &certificateSize);
  std::fill(pin.begin(), pin.end(), '\0');
  std::fill(password.begin(), password.end(), '\0');
  CheckTool(hr);
  std::string der;
  if (certificate) der.assign(static_cast<const char*>(certificate), certificateSize);
  QvToolFree(certificate);
  out.doc = {{"container", name}};
  out.Line("Ключ импортирован в контейнер " + name);
  if (!der.empty()) {
    Ptr<IVorlentCrypt> crypt = NewInitializedCrypt();
    Ptr<IVorlentKey> key;
    Check(crypt->ImportPrivateCertificate(ByteStr(der), Str(name), key.Out()), crypt.Get());
    if (key) {
      out.doc["key"] = KeyJson(key.Get());
      out.Line("Сертификат в uMy: " + out.doc["key"]["thumbprint"].get<std::string>());
    }
  }
  return kExitOk;
}

// A key container folder of the commercial providers' file format: --pin (or QELVORLENT_PIN, or
// the prompt) opens it when it has a PIN and then protects the new container.
int CmdKeysImportContainer(const Args& args, Output& out) {
  const std::string folder = args.At(0);
  const std::string name = args.At(1);
  int slot = 0;
  if (args.Has("--slot")) {
    const std::string text = args.Value("--slot");
    if (text != "1" && text != "2") Usage("--slot: ожидается 1 или 2");
    slot = text[0] - '0';
  }
  char* sha1 = nullptr;
  CheckTool(QvToolImportContainer(folder.c_str(), name.c_str(), nullptr, slot, &sha1));
  const std::string thumbprint = sha1 ? sha1 : "";
  QvToolFree(sha1);
  out.doc = {{"folder", folder}, {"container", name}};
  out.Line("Ключ из " + folder + " импортирован в контейнер " + name);
  if (thumbprint.empty()) {
    out.Line("В контейнере нет сертификата: свяжите его с ключом командой keys link");
    return kExitOk;
  }
  Ptr<IVorlentCrypt> crypt = NewInitializedCrypt();
  Ptr<IVorlentKey> key;
  Check(crypt->GetPrivateKeyBySha1(Str(thumbprint), key.Out()), crypt.Get());
  if (!key) throw Failure("нет личного сертификата с отпечатком " + thumbprint);
  out.doc["key"] = KeyJson(key.Get());
  out.Line("Сертификат в uMy: " + out.doc["key"]["subject"].get<std::string>() + " [" + thumbprint + "]");
  return kExitOk;
}

int CmdKeysLink(const Args& args, Output& out) {
  const std::string sha1 = NormalizeSha1(args.At(0));
  Ptr<IVorlentCrypt> crypt = NewInitializedCrypt();
  Ptr<IVorlentKey> key;
  HRESULT hr = crypt->GetPrivateKeyBySha1(Str(sha1), key.Out());
  if (FAILED(hr) || !key) Check(crypt->GetOpponentKeyBySha1(Str(sha1), key.Out()), crypt.Get());
  if (!key) throw Failure("нет сертификата с отпечатком " + args.At(0));
  Check(key->put_ContainerName(Str(args.At(1))), key.Get());
  Check(crypt->LinkPrivateKey(key.Get(), VARIANT_FALSE), crypt.Get());
  out.doc = {{"thumbprint", sha1}, {"container", args.At(1)}};
  out.Line("Сертификат " + sha1 + " связан с контейнером " + args.At(1));
  return kExitOk;
}

int CmdSignFile(const Args& args, Output& out) {
  const std::string file = args.At(0);
  if (!FileExists(file)) throw Failure("нет файла " + file);
  const std::string signature = args.Value("-o", file + ".p7s");
  Ptr<IVorlentCrypt> crypt = NewInitializedCrypt();
  Ptr<IVorlentKey> key;
  Check(crypt->GetPrivateKeyBySha1(Str(NormalizeSha1(args.Required("--key"))), key.Out()), crypt.Get());
  if (!key) throw Failure("нет личного ключа с отпечатком " + args.Value("--key"));
  Check(crypt->SignFile(Str(file), key.Get(), Str(signature)), crypt.Get());
  out.doc = {{"file", file}, {"signature", signature}};
  out.Line("Подпись: " + signature);
  return kExitOk;
}

int CmdCheckSignature(const Args& args, Output& out) {
  // The library reads the content in pieces, by name.
  if (!FileExists(args.At(0))) throw Failure("нет файла " + args.At(0));
  std::string signature = ReadFile(args.At(1), kMaxSmallFile);
  int checks = 0;
  if (!args.Flag("--no-chain")) checks |= QV_CHECK_CHAIN;
  if (!args.Flag("--no-crl") && !args.Flag("--no-chain")) checks |= QV_CHECK_CRL;
  if (!args.Flag("--offline")) checks |= QV_CHECK_DOWNLOAD;
  char* signers = nullptr;
  HRESULT hr = QvToolCheckDetachedSignatureOfFile(args.At(0).c_str(), signature.data(), signature.size(),
                                                  checks, &signers);
  std::string lines = signers ? signers : "";
  QvToolFree(signers);
  out.doc = {{"file", args.At(0)},
             {"signature", args.At(1)},
             {"chain", (checks & QV_CHECK_CHAIN) != 0},
             {"crl", (checks & QV_CHECK_CRL) != 0},
             {"download", (checks & QV_CHECK_DOWNLOAD) != 0},
             {"valid", SUCCEEDED(hr)},
             {"signers", json::array()}};
  if (FAILED(hr)) {
    out.doc["error"] = QvToolLastError();
    out.Line("Подпись НЕ верна: " + std::string(QvToolLastError()));
    return kExitFailed;
  }
  std::size_t start = 0;
  while (start < lines.size()) {
    std::size_t end = lines.find('\n', start);
    std::string line = lines.substr(start, end - start);
    start = end == std::string::npos ? lines.size() : end + 1;
    std::size_t tab1 = line.find('\t');
    std::size_t tab2 = line.find('\t', tab1 + 1);
    json signer = {{"thumbprint", line.substr(0, tab1)},
                   {"subject", line.substr(tab1 + 1, tab2 - tab1 - 1)},
                   {"signingTime", tab2 == std::string::npos ? "" : line.substr(tab2 + 1)}};
    out.doc["signers"].push_back(signer);
    out.Line("Подписант: " + signer["subject"].get<std::string>() + " [" +
             signer["thumbprint"].get<std::string>() + "] " + signer["signingTime"].get<std::string>());
  }
  out.Line("Подпись верна");
  return kExitOk;
}

int CmdDownload(const Args& args, Output& out) {
  const std::string url = args.At(0);
  const std::string file = args.Required("-o");
  out.Note("Загрузка " + url + " …");
  Ptr<IVorlentCrypt> crypt = NewCrypt();
  Check(crypt->DownloadFile(Str(url), Str(file)), crypt.Get());
  const std::uint64_t size = FileSize(file);
  out.doc = {{"url", url}, {"file", file}, {"size", size}};
  out.Line("Загружено " + std::to_string(size) + " байт в " + file);
  return kExitOk;
}

// The dates of a certificate's revocation list, as `cert check --crl` shows them beside the
// checker's verdict: the checker accepts a list that is signed by the issuer whatever its age.
struct CrlDates {
  std::string url;
  std::string thisUpdate;
  std::string nextUpdate;  // empty when the list names none
  bool stale = false;
};

// A folder of this command's own under TMP, removed with what it holds.
class ScratchFolder {
 public:
  ScratchFolder() {
    const char* tmp = std::getenv("TMP");
    path_ = std::string(tmp && *tmp ? tmp : "/tmp") + "/vorlent-XXXXXX";
    if (!mkdtemp(path_.data())) throw Failure("не удалось создать временную папку в " + path_);
  }
  ~ScratchFolder() {
    unlink(File().c_str());
    rmdir(path_.c_str());
  }
  ScratchFolder(const ScratchFolder&) = delete;
  ScratchFolder& operator=(const ScratchFolder&) = delete;
  std::string File() const { return path_ + "/crl"; }

 private:
  std::string path_;
};

// The dates of the first list of the certificate's distribution points that downloads, the
// one the checker relies on.
CrlDates ReadCrlDates(const std::string& certificate) {
  CrlDates dates;
  for (const std::string& url : CrlUrls(ParseCertificate(certificate).get())) {
    ScratchFolder folder;
    Ptr<IVorlentCrypt> crypt = NewCrypt();
    if (FAILED(crypt->DownloadFile(Str(url), Str(folder.File())))) continue;
    std::string bytes = ReadFile(folder.File());
    const unsigned char* at = reinterpret_cast<const unsigned char*>(bytes.data());
    OsslPtr<X509_CRL, X509_CRL_free> crl(d2i_X509_CRL(nullptr, &at, static_cast<long>(bytes.size())));
    if (!crl) {
      OsslPtr<BIO, BIO_free_all> in(BIO_new_mem_buf(bytes.data(), static_cast<int>(bytes.size())));
      crl.reset(in ? PEM_read_bio_X509_CRL(in.get(), nullptr, nullptr, nullptr) : nullptr);
    }
    if (!crl) continue;
    dates.url = url;
    dates.thisUpdate = TimeText(X509_CRL_get0_lastUpdate(crl.get()));
    const ASN1_TIME* next = X509_CRL_get0_nextUpdate(crl.get());
    dates.nextUpdate = TimeText(next);
    dates.stale = next && X509_cmp_current_time(next) < 0;
    break;
  }
  return dates;
}

int CmdCertCheck(const Args& args, Output& out) {
  std::string body = ReadFile(args.At(0), kMaxSmallFile);
  Ptr<IVorlentKey> key;
  CheckTool(QvToolKeyFromCertificate(body.data(), body.size(), key.Out()));
  Ptr<ICertChecker> checker = NewChecker();
  bool all = true;
  out.doc = {{"certificate", args.At(0)},
             {"thumbprint", TextOf(key.Get(), &IVorlentKey::get_Sha1)},
             {"subjectCN", TextOf(key.Get(), &IVorlentKey::get_SubjectCN)}};
  out.Line("Сертификат: " + out.doc["subjectCN"].get<std::string>() + " [" +
           out.doc["thumbprint"].get<std::string>() + "]");
  HRESULT hr = checker->CheckFormal(key.Get());
  out.doc["formal"] = {{"ok", SUCCEEDED(hr)}};
  if (FAILED(hr)) out.doc["formal"]["error"] = ErrorText(checker.Get(), hr);
  out.Line(SUCCEEDED(hr) ? "Формальная проверка: пройдена"
                         : "Формальная проверка: ОШИБКА: " + out.doc["formal"]["error"].get<std::string>());
  all = all && SUCCEEDED(hr);
  if (args.Has("--trusted")) {
    Check(checker->Init(Str(args.Value("--trusted"))), checker.Get());
    VARIANT_BOOL found = VARIANT_FALSE;
    hr = checker->CheckIssuer(key.Get(), &found);
    bool ok = SUCCEEDED(hr) && found != VARIANT_FALSE;
    out.doc["issuer"] = {{"ok", ok}};
    std::string line = "Издатель среди доверенных: ";
    if (FAILED(hr)) {
      out.doc["issuer"]["error"] = ErrorText(checker.Get(), hr);
      line += "ОШИБКА: " + out.doc["issuer"]["error"].get<std::string>();
    } else {
      line += ok ? "найден" : "НЕ найден";
    }
    out.Line(line);
    all = all && ok;
  }
  if (args.Flag("--crl")) {
    out.Note("Загрузка списка отзыва …");
    VARIANT_BOOL good = VARIANT_FALSE;
    hr = checker->CheckCrl(key.Get(), &good);
    bool ok = SUCCEEDED(hr) && good != VARIANT_FALSE;
    out.doc["crl"] = {{"ok", ok}};
    std::string line = "Отзыв: ";
    if (FAILED(hr)) {
      out.doc["crl"]["error"] = ErrorText(checker.Get(), hr);
      line += "ОШИБКА: " + out.doc["crl"]["error"].get<std::string>();
    } else {
      line += ok ? "не отозван" : "ОТОЗВАН";
    }
    out.Line(line);
    all = all && ok;
    if (SUCCEEDED(hr)) {
      CrlDates dates = ReadCrlDates(body);
      if (!dates.url.empty()) {
        std::string next = dates.nextUpdate.empty() ? "не указан" : dates.nextUpdate;
        out.doc["crl"]["url"] = dates.url;
        out.doc["crl"]["thisUpdate"] = dates.thisUpdate;
        out.doc["crl"]["nextUpdate"] = dates.nextUpdate;
        out.doc["crl"]["stale"] = dates.stale;
        out.Line("Список отзыва " + dates.url + ": выпущен " + dates.thisUpdate + ", следующий выпуск " +
                 next);
        if (dates.stale)
          out.Line("ВНИМАНИЕ: список отзыва устарел: следующий выпуск ожидался " + next +
                   "; отзыв после этого срока он не покажет");
      }
    }
  }
  out.doc["valid"] = all;
  return all ? kExitOk : kExitFailed;
}

int CmdDoctor(const Args&, Output& out) {
  out.doc = {{"checks", json::array()}};
  bool healthy = true;
  auto report = [&](const std::string& what, bool ok, const std::string& detail, bool required = true) {
    out.doc["checks"].push_back({{"check", what}, {"ok", ok}, {"detail", detail}, {"required", required}});
    out.Line(std::string(ok ? "[ок]     " : (required ? "[ошибка] " : "[внимание] ")) + what + ": " + detail);
    if (!ok && required) healthy = false;
  };
  auto env = [](const char* name) {
    const char* value = std::getenv(name);
    return std::string(value ? value : "");
  };
  const char* names[] = {"QELVORLENT_HOME", "QELVORLENT_REGISTRY", "QELVORLENT_MACHINE_REGISTRY",
                         "QELVORLENT_TRACE", "TMP"};
  for (const char* name : names) {
    std::string value = env(name);
    out.doc["environment"][name] = value;
    out.Line(std::string(name) + "=" + (value.empty() ? "(не задана)" : value));
  }
  std::string tmp = env("TMP").empty() ? "/tmp" : env("TMP");
  report("временная папка", access(tmp.c_str(), W_OK) == 0, tmp);
  try {
    Ptr<IVorlent> package = NewPackage();
    Str version;
    Check(package->get_Version(version.Out()), package.Get());
    report("библиотека", true, "версия " + version.Utf8());
  } catch (const Failure& e) {
    report("библиотека", false, e.what());
  }
  try {
    Ptr<IVorlentCrypt> crypt = NewCrypt();
    VARIANT_BOOL ok = VARIANT_FALSE;
    Check(crypt->IsCryptographyOk(&ok), crypt.Get());
    report("криптография ГОСТ", ok != VARIANT_FALSE,
           ok != VARIANT_FALSE ? "провайдер доступен" : "провайдер ГОСТ не найден (libengine-gost-openssl)");
  } catch (const Failure& e) {
    report("криптография ГОСТ", false, e.what());
  }
  try {
    Ptr<IVorlentCrypt> crypt = NewInitializedCrypt();
    LONG keys = 0;
    LONG opponents = 0;
    LONG containers = 0;
    Check(crypt->GetPrivateKeyCount(&keys), crypt.Get());
    Check(crypt->GetOpponentKeyCount(&opponents), crypt.Get());
    Check(crypt->GetContainerCount(&containers), crypt.Get());
    report("хранилища и контейнеры", true,
           "uMy: " + std::to_string(keys) + ", uAddressBook: " + std::to_string(opponents) +
               ", контейнеров: " + std::to_string(containers));
  } catch (const Failure& e) {
    report("хранилища и контейнеры", false, e.what());
  }
  CLSID clsid{};
  HRESULT hr = QvCLSIDFromProgID(u"QelVorlentLib.Vorlent", &clsid);
  report("регистрация классов", SUCCEEDED(hr),
         SUCCEEDED(hr) ? "QelVorlentLib.Vorlent зарегистрирован"
                       : "классы не зарегистрированы (нужно только клиентам, создающим объекты по имени)",
         false);
  out.doc["healthy"] = healthy;
  out.Line(healthy ? "Всё в порядке" : "Есть неполадки");
  return healthy ? kExitOk : kExitFailed;
}

int CmdDemo(const Args& args, Output&) {
  // the installed copy, else the source tree's
  std::string script = std::string(QV_DEMO_DIR) + "/demo.sh";
  if (!FileExists(script)) script = std::string(QV_SOURCE_DIR) + "/scripts/demo.sh";
  if (!FileExists(script)) throw Failure("нет сценария демонстрации " + script);
  char self[4096];
  ssize_t length = readlink("/proc/self/exe", self, sizeof self - 1);
  if (length > 0) {
    self[length] = '\0';
    setenv("VORLENT", self, 1);
  }
  std::string dir = args.Positional().empty() ? "./vorlent-demo" : args.At(0);
  std::fflush(nullptr);
  execl("/bin/bash", "bash", script.c_str(), dir.c_str(), static_cast<char*>(nullptr));
  throw Failure("не удалось запустить " + script);
}

}  // namespace

void AddKeyCommands(std::vector<Command>& commands) {
  commands.push_back({"keys containers",
                      "[--machine]",
                      "Перечисляет контейнеры ключей.",
                      {{}, {"--machine"}, 0, 0},
                      &CmdKeysContainers});
  commands.push_back({"keys import-chain",
                      "FILE.p7b",
                      "Импортирует цепочку сертификатов (PKCS #7).",
                      {{}, {"--machine"}, 1, 1},
                      &CmdKeysImportChain});
  commands.push_back({"keys new-container",
                      "NAME [--algorithm gost2012-256|gost2012-512] [--subject /CN=...] [-o REQ]",
                      "Создаёт контейнер с новым ключом и пишет запрос на сертификат (PEM).\n"
                      "PIN нового ключа: --pin или QELVORLENT_PIN; без них ключ не защищён PIN.",
                      {{"--algorithm", "--subject", "-o"}, {}, 1, 1},
                      &CmdKeysNewContainer});
  commands.push_back(
      {"keys import-key",
       "NAME KEY.pem|FILE.pfx [--password pass:..|env:..|file:..|fd:..]",
       "Импортирует закрытый ключ (PKCS #8) или файл PKCS #12 в новый контейнер; сертификат из\n"
       "PKCS #12 попадает в uMy, связанный с контейнером.",
       {{"--password"}, {}, 2, 2},
       &CmdKeysImportKey});
  commands.push_back(
      {"keys import-container",
       "FOLDER NAME [--slot 1|2]",
       "Импортирует ключ из папки контейнера другого криптопровайдера (header.key, primary.key,\n"
       "masks.key, ...) в новый контейнер NAME; сертификат из header.key попадает в uMy, связанный\n"
       "с контейнером. PIN: --pin или QELVORLENT_PIN, иначе запрос на терминале; новый контейнер\n"
       "защищён тем же PIN.",
       {{"--slot"}, {}, 2, 2},
       &CmdKeysImportContainer});
  commands.push_back({"keys link",
                      "SHA1 CONTAINER",
                      "Связывает сертификат с контейнером его закрытого ключа.",
                      {{}, {}, 2, 2},
                      &CmdKeysLink});
  commands.push_back({"sign-file",
                      "FILE --key SHA1 [-o SIG]",
                      "Делает отсоединённую подпись файла (по умолчанию FILE.p7s).",
                      {{"--key", "-o"}, {}, 1, 1},
                      &CmdSignFile});
  commands.push_back(
      {"check-signature",
       "FILE SIG [--offline] [--no-crl] [--no-chain]",
       "Проверяет отсоединённую подпись файла; проверки цепочки, отзыва и загрузку можно отключить.\n"
       "Без --offline сертификаты УЦ и списки отзыва скачиваются по адресам из сертификатов подписи\n"
       "(с любых узлов, которые они назовут); --offline проверяет без обращения к сети.",
       {{}, {"--offline", "--no-crl", "--no-chain"}, 2, 2},
       &CmdCheckSignature});
  commands.push_back(
      {"download", "URL -o FILE", "Загружает файл по адресу.", {{"-o"}, {}, 1, 1}, &CmdDownload});
  commands.push_back({"cert check",
                      "CERT [--trusted FILE] [--crl]",
                      "Формальная проверка сертификата, проверка издателя по доверенным и проверка отзыва\n"
                      "(с датами выпуска списка отзыва и предупреждением, если он устарел).",
                      {{"--trusted"}, {"--crl"}, 1, 1},
                      &CmdCertCheck});
  commands.push_back({"doctor",
                      "",
                      "Проверяет окружение: криптографию ГОСТ, хранилища, контейнеры, регистрацию.",
                      {{}, {}, 0, 0},
                      &CmdDoctor});
  commands.push_back({"demo",
                      "[DIR]",
                      "Демонстрация: тестовые ключи, пакет регистрации ЮЛ, подписи, шифрование, проверка.",
                      {{}, {}, 0, 1},
                      &CmdDemo});
}

}  // namespace vorlent
