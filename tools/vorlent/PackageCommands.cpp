// Commands on packages: new, show, add, remove, sign, cosign, attach-signature, verify,
// encrypt, decrypt, extract.
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <iostream>
#include <memory>
#include <set>
#include <string_view>
#include <utility>

#include "Commands.h"
#include "PackageCommands.h"
#include "Util.h"

namespace vorlent {

namespace {

using nlohmann::json;

std::string Yes(bool value) {
  return value ? "да" : "нет";
}

bool Bool(VARIANT_BOOL value) {
  return value != VARIANT_FALSE;
}

struct Package {
  std::unique_ptr<PackageLock> lock;  // released after the object, when the package is to be changed
  Ptr<IVorlent> object;
  std::string path;

  IVorlent* operator->() const { return object.Get(); }
  IVorlent* Get() const { return object.Get(); }
};

Package OpenPackage(const std::string& path) {
  if (!FileExists(path)) throw Failure("нет файла пакета " + path);
  Package package{nullptr, NewPackage(), path};
  VARIANT_BOOL ok = VARIANT_FALSE;
  Check(package->Open(Str(path), &ok), package.Get());
  return package;
}

// The package for a command that changes it: no other command changes it until this one
// has saved it and ended, so that no change is lost.
Package OpenPackageToChange(const std::string& path) {
  auto lock = std::make_unique<PackageLock>(path);
  Package package = OpenPackage(path);
  package.lock = std::move(lock);
  return package;
}

void SavePackage(const Package& package, const std::string& path) {
  VARIANT_BOOL ok = VARIANT_FALSE;
  Check(package->Save(Str(path), &ok), package.Get());
}

LONG FileCount(const Package& package) {
  LONG count = 0;
  Check(package->GetFileCount(&count), package.Get());
  return count;
}

Ptr<IVorlentFile> FileAt(const Package& package, LONG index) {
  Ptr<IVorlentFile> file;
  Check(package->GetFile(index, file.Out()), package.Get());
  return file;
}

// The index of the document a --doc argument names: its number, its file name in the
// package or its source file name.
LONG FindDocument(const Package& package, const std::string& name) {
  LONG count = FileCount(package);
  for (LONG i = 0; i < count; ++i) {
    Ptr<IVorlentFile> file = FileAt(package, i);
    if (TextOf(file.Get(), &IVorlentFile::get_Filename) == name ||
        TextOf(file.Get(), &IVorlentFile::get_OriginalFilename) == name)
      return i;
  }
  char* end = nullptr;
  long index = std::strtol(name.c_str(), &end, 10);
  if (!name.empty() && !*end && index >= 0 && index < count) return static_cast<LONG>(index);
  throw Failure("в пакете нет документа " + name);
}

std::string SigningTime(const std::string& signature) {
  char* text = nullptr;
  if (FAILED(QvToolSigningTime(signature.data(), signature.size(), &text))) return {};
  std::string result = text ? text : "";
  QvToolFree(text);
  return result;
}

// One signature with its counter-signatures, as `show` and `verify` see them.
struct SignatureNode {
  std::string filename;
  std::string role;
  std::string signer;
  std::string thumbprint;
  std::string signingTime;
  std::string content;
  std::string keyError;
  std::vector<SignatureNode> countersignatures;
};

SignatureNode ReadSignature(IVorlentSignature* signature) {
  SignatureNode node;
  node.filename = TextOf(signature, &IVorlentSignature::get_Filename);
  Str content;
  Check(signature->get_SignatureContent(content.Out()), signature);
  node.content = content.Bytes();
  node.signingTime = SigningTime(node.content);
  Ptr<IVorlentKey> key;
  HRESULT hr = signature->get_SignKey(key.Out());
  if (SUCCEEDED(hr) && key) {
    Str cn;
    Str sha1;
    SIGN_ROLE_TYPES role = SIGN_ROLE_TYPE_UNKNOWN;
    if (SUCCEEDED(key->get_SubjectCN(cn.Out()))) node.signer = cn.Utf8();
    if (SUCCEEDED(key->get_Sha1(sha1.Out()))) node.thumbprint = sha1.Utf8();
    if (SUCCEEDED(key->get_SignRole(&role))) node.role = RoleName(role);
    // The key of a signature whose signer the library could not read has empty fields.
    if (node.thumbprint.empty()) node.keyError = "сертификат подписанта не прочитан";
  } else {
    node.keyError = ErrorText(signature, hr);
  }
  return node;
}

std::vector<SignatureNode> ReadSignatures(const Package& package, LONG file) {
  std::vector<SignatureNode> nodes;
  LONG count = 0;
  Check(package->GetFileSignatureCount(file, &count), package.Get());
  for (LONG j = 0; j < count; ++j) {
    Ptr<IVorlentSignature> signature;
    Check(package->GetFileSignature(file, j, signature.Out()), package.Get());
    SignatureNode node = ReadSignature(signature.Get());
    LONG resigns = 0;
    Check(package->GetFileResignCount(file, j, &resigns), package.Get());
    for (LONG k = 0; k < resigns; ++k) {
      Ptr<IVorlentSignature> resign;
      Check(package->GetFileResign(file, j, k, resign.Out()), package.Get());
      node.countersignatures.push_back(ReadSignature(resign.Get()));
    }
    nodes.push_back(std::move(node));
  }
  return nodes;
}

json SignatureJson(const SignatureNode& node) {
  json item = {{"file", node.filename},           {"role", node.role},
               {"signer", node.signer},           {"thumbprint", node.thumbprint},
               {"signingTime", node.signingTime}, {"countersignatures", json::array()}};
  if (!node.keyError.empty()) item["error"] = node.keyError;
  for (const SignatureNode& child : node.countersignatures)
    item["countersignatures"].push_back(SignatureJson(child));
  return item;
}

void PrintSignature(const Output& out, const SignatureNode& node, const std::string& indent, bool last,
                    const char* what) {
  std::string line =
      indent + (last ? "└─ " : "├─ ") + what + " " + (node.role.empty() ? "?" : node.role) + ": ";
  if (!node.keyError.empty()) {
    line += "подписант не определён (" + node.keyError + ")";
  } else {
    line += (node.signer.empty() ? "?" : node.signer) + " [" + node.thumbprint + "]";
  }
  if (!node.signingTime.empty()) line += " " + node.signingTime;
  line += "  " + node.filename;
  out.Line(line);
  for (std::size_t i = 0; i < node.countersignatures.size(); ++i)
    PrintSignature(out, node.countersignatures[i], indent + (last ? "   " : "│  "),
                   i + 1 == node.countersignatures.size(), "заверяющая подпись");
}

json DocumentJson(const Package& package, LONG index, IVorlentFile* file) {
  VARIANT_BOOL compressed = VARIANT_FALSE;
  VARIANT_BOOL encrypted = VARIANT_FALSE;
  Check(file->get_IsCompressed(&compressed), file);
  Check(file->get_IsEncrypted(&encrypted), file);
  std::size_t size = 0;
  CheckTool(QvToolFileContent(file, nullptr, &size));
  json item = {{"index", index},
               {"kind", TextOf(file, &IVorlentFile::get_DocType)},
               {"code", TextOf(file, &IVorlentFile::get_DocTypeCode)},
               {"documentCode", TextOf(file, &IVorlentFile::get_DocumentCode)},
               {"contentType", TextOf(file, &IVorlentFile::get_ContentType)},
               {"compressed", Bool(compressed)},
               {"encrypted", Bool(encrypted)},
               {"sourceFile", TextOf(file, &IVorlentFile::get_OriginalFilename)},
               {"file", TextOf(file, &IVorlentFile::get_Filename)},
               {"size", size},
               {"signatures", json::array()}};
  for (const SignatureNode& node : ReadSignatures(package, index))
    item["signatures"].push_back(SignatureJson(node));
  return item;
}

// The package's header and documents, as `show` prints them.
json PackageJson(const Package& package) {
  TRANSACTION_TYPES transaction = TRANSACTION_TYPE_UNKNOWN;
  SIGN_ROLE_TYPES senderType = SIGN_ROLE_TYPE_UNKNOWN;
  SIGN_ROLE_TYPES receiverType = SIGN_ROLE_TYPE_UNKNOWN;
  VARIANT_BOOL encrypted = VARIANT_FALSE;
  Check(package->get_DocTransactType(&transaction), package.Get());
  Check(package->get_SenderType(&senderType), package.Get());
  Check(package->get_ReceiverType(&receiverType), package.Get());
  Check(package->get_IsEncrypted(&encrypted), package.Get());
  json doc = {
      {"package", package.path},
      {"transaction", TransactionName(transaction)},
      {"transactionCode", static_cast<int>(transaction)},
      {"sender",
       {{"role", RoleName(senderType)}, {"id", TextOf(package.Get(), &IVorlent::get_SenderIdentifier)}}},
      {"receiver",
       {{"role", RoleName(receiverType)}, {"id", TextOf(package.Get(), &IVorlent::get_ReceiverIdentifier)}}},
      {"encrypted", Bool(encrypted)},
      {"documents", json::array()}};
  LONG count = FileCount(package);
  for (LONG i = 0; i < count; ++i) {
    Ptr<IVorlentFile> file = FileAt(package, i);
    doc["documents"].push_back(DocumentJson(package, i, file.Get()));
  }
  return doc;
}

void PrintSignatureTree(const Output& out, const json& signatures, const std::string& indent);

SignatureNode NodeFromJson(const json& item) {
  SignatureNode node;
  node.filename = item.value("file", "");
  node.role = item.value("role", "");
  node.signer = item.value("signer", "");
  node.thumbprint = item.value("thumbprint", "");
  node.signingTime = item.value("signingTime", "");
  node.keyError = item.value("error", "");
  for (const json& child : item["countersignatures"]) node.countersignatures.push_back(NodeFromJson(child));
  return node;
}

void PrintPackage(const Output& out, const json& doc) {
  out.Line("Пакет: " + doc["package"].get<std::string>());
  out.Line("Транзакция: " + doc["transaction"].get<std::string>() + " (" +
           std::to_string(doc["transactionCode"].get<int>()) + ")");
  out.Line("Отправитель: " + doc["sender"]["role"].get<std::string>() + " " +
           doc["sender"]["id"].get<std::string>());
  out.Line("Получатель: " + doc["receiver"]["role"].get<std::string>() + " " +
           doc["receiver"]["id"].get<std::string>());
  if (doc.contains("flow")) {
    out.Line("Документооборот: " + doc["flow"]["code"].get<std::string>() + " " +
             doc["flow"]["type"].get<std::string>() + ", идентификатор " +
             doc["flow"]["id"].get<std::string>());
    const json& special = doc["specialOperator"];
    out.Line("Спецоператор: " +
             (special["id"].get<std::string>().empty()
                  ? std::string("нет")
                  : special["role"].get<std::string>() + " " + special["id"].get<std::string>()));
  }
  out.Line("Зашифрован: " + Yes(doc["encrypted"].get<bool>()));
  out.Line("Документы: " + std::to_string(doc["documents"].size()));
  for (const json& d : doc["documents"]) {
    out.Line("[" + std::to_string(d["index"].get<int>()) + "] " + d["kind"].get<std::string>() + ", код " +
             d["code"].get<std::string>() + ", " + d["contentType"].get<std::string>() + ", сжат: " +
             Yes(d["compressed"].get<bool>()) + ", зашифрован: " + Yes(d["encrypted"].get<bool>()));
    out.Line("    исходный файл: " + d["sourceFile"].get<std::string>() + "; в пакете: " +
             d["file"].get<std::string>() + "; " + std::to_string(d["size"].get<unsigned>()) + " байт");
    PrintSignatureTree(out, d["signatures"], "    ");
  }
}

void PrintSignatureTree(const Output& out, const json& signatures, const std::string& indent) {
  for (std::size_t i = 0; i < signatures.size(); ++i)
    PrintSignature(out, NodeFromJson(signatures[i]), indent, i + 1 == signatures.size(), "подпись");
}

// ROLE:ID of --sender and --receiver.
std::pair<SIGN_ROLE_TYPES, std::string> ParseParty(const std::string& option, const std::string& value) {
  std::size_t colon = value.find(':');
  if (colon == std::string::npos || colon == 0 || colon + 1 == value.size())
    Usage(option + ": ожидается РОЛЬ:ИДЕНТИФИКАТОР, например abonent:2BM-7701234567-770101001");
  return {ParseRole(value.substr(0, colon)), value.substr(colon + 1)};
}

// Adds a document from a file; returns its view.
Ptr<IVorlentFile> AddDocument(const Package& package, const std::string& code, const std::string& contentType,
                              const std::string& path) {
  // The library reads the file into its own buffer: no copy of the document on either side.
  Descriptor fd = OpenForReading(path);
  Ptr<IVorlentFile> file;
  CheckTool(QvToolAddFileFrom(package.Get(), code.c_str(),
                              (contentType.empty() ? GuessContentType(path) : contentType).c_str(),
                              path.c_str(), fd.Get(), file.Out()));
  return file;
}

Ptr<IVorlentKey> PrivateKey(const std::string& sha1) {
  const std::string thumbprint = NormalizeSha1(sha1);
  Ptr<IVorlentCrypt> crypt = NewInitializedCrypt();
  Ptr<IVorlentKey> key;
  Check(crypt->GetPrivateKeyBySha1(Str(thumbprint), key.Out()), crypt.Get());
  if (!key) throw Failure("нет личного ключа с отпечатком " + sha1);
  return key;
}

int CmdNew(const Args& args, Output& out) {
  const std::string path = args.At(0);
  auto refuseExisting = [&] {
    if (!args.Flag("--force") && FileExists(path))
      throw Failure("файл уже существует: " + path + " (--force перезапишет)");
  };
  refuseExisting();
  TRANSACTION_TYPES transaction = ParseTransaction(args.Required("--transaction"));
  auto sender = ParseParty("--sender", args.Required("--sender"));
  auto receiver = ParseParty("--receiver", args.Required("--receiver"));
  // a package file without documents is refused by every reader, ours included
  if (args.All("--add").empty()) Usage("пакет без документов не откроется: задайте хотя бы один --add");
  PackageLock lock(path);
  refuseExisting();  // once more: another command may have made it meanwhile
  Package package{nullptr, NewPackage(), path};
  VARIANT_BOOL ok = VARIANT_FALSE;
  Check(package->New(transaction, &ok), package.Get());
  Check(package->put_SenderType(sender.first), package.Get());
  Check(package->put_SenderIdentifier(Str(sender.second)), package.Get());
  Check(package->put_ReceiverType(receiver.first), package.Get());
  Check(package->put_ReceiverIdentifier(Str(receiver.second)), package.Get());
  for (const std::string& add : args.All("--add")) {
    // CODE[:CONTENT-TYPE]:FILE; a content type has a slash, a file may have colons.
    std::size_t first = add.find(':');
    if (first == std::string::npos || first == 0) Usage("--add: ожидается КОД[:ТИП-СОДЕРЖИМОГО]:ФАЙЛ");
    std::string code = add.substr(0, first);
    std::string rest = add.substr(first + 1);
    std::string contentType;
    std::size_t second = rest.find(':');
    if (second != std::string::npos && rest.substr(0, second).find('/') != std::string::npos) {
      contentType = rest.substr(0, second);
      rest = rest.substr(second + 1);
    }
    if (rest.empty()) Usage("--add: не задан файл");
    AddDocument(package, code, contentType, rest);
  }
  SavePackage(package, path);
  out.doc = PackageJson(package);
  out.Line("Создан пакет " + path + ": " + TransactionName(transaction) +
           ", документов: " + std::to_string(out.doc["documents"].size()));
  return kExitOk;
}

// The document flow and the special operator the package's manifest names.
json FlowJson(const Package& package) {
  char* texts[5] = {};
  HRESULT hr = QvToolPackageFlow(package.Get(), &texts[0], &texts[1], &texts[2], &texts[3], &texts[4]);
  std::string values[5];
  for (int i = 0; i < 5; ++i) {
    values[i] = texts[i] ? texts[i] : "";
    QvToolFree(texts[i]);
  }
  CheckTool(hr);
  return {{"flow", {{"code", values[0]}, {"type", values[1]}, {"id", values[2]}}},
          {"specialOperator", {{"id", values[3]}, {"role", values[4]}}}};
}

int CmdShow(const Args& args, Output& out) {
  Package package = OpenPackage(args.At(0));
  out.doc = PackageJson(package);
  out.doc.update(FlowJson(package));
  PrintPackage(out, out.doc);
  return kExitOk;
}

int CmdAdd(const Args& args, Output& out) {
  Package package = OpenPackageToChange(args.At(0));
  Ptr<IVorlentFile> file = AddDocument(package, args.At(1), args.Value("--content-type"), args.At(2));
  std::string kind = TextOf(file.Get(), &IVorlentFile::get_DocType);
  LONG index = FileCount(package) - 1;
  SavePackage(package, package.path);
  out.doc = {
      {"package", package.path}, {"index", index}, {"kind", kind}, {"sourceFile", BaseName(args.At(2))}};
  out.Line("Добавлен документ [" + std::to_string(index) + "] " + kind + ": " + BaseName(args.At(2)));
  return kExitOk;
}

int CmdRemove(const Args& args, Output& out) {
  Package package = OpenPackageToChange(args.At(0));
  char* end = nullptr;
  long index = std::strtol(args.At(1).c_str(), &end, 10);
  if (args.At(1).empty() || *end) Usage("номер документа должен быть числом: " + args.At(1));
  LONG count = FileCount(package);
  if (index < 0 || index >= count)
    throw Failure("нет документа с номером " + args.At(1) + " (в пакете " + std::to_string(count) + ")");
  if (count == 1) throw Failure("это последний документ пакета: пакет без документов не откроется");
  Ptr<IVorlentFile> file = FileAt(package, static_cast<LONG>(index));
  std::string name = TextOf(file.Get(), &IVorlentFile::get_OriginalFilename);
  file.Reset();
  VARIANT_BOOL ok = VARIANT_FALSE;
  Check(package->DeleteFile(static_cast<LONG>(index), &ok), package.Get());
  SavePackage(package, package.path);
  out.doc = {{"package", package.path}, {"removed", index}, {"sourceFile", name}};
  out.Line("Удалён документ [" + std::to_string(index) + "] " + name);
  return kExitOk;
}

std::vector<LONG> SelectedDocuments(const Args& args, const Package& package) {
  std::vector<LONG> indexes;
  if (args.Flag("--all")) {
    if (args.Has("--doc")) Usage("--doc и --all вместе не задаются");
    for (LONG i = 0; i < FileCount(package); ++i) indexes.push_back(i);
    if (indexes.empty()) throw Failure("в пакете нет документов");
  } else {
    for (const std::string& name : args.All("--doc")) indexes.push_back(FindDocument(package, name));
    if (indexes.empty()) Usage("задайте --doc ИМЯ или --all");
  }
  return indexes;
}

int SignOrCosign(const Args& args, Output& out, bool cosign) {
  Package package = OpenPackageToChange(args.At(0));
  std::vector<LONG> indexes = SelectedDocuments(args, package);
  const SIGN_ROLE_TYPES role = args.Has("--role") ? ParseRole(args.Value("--role")) : SIGN_ROLE_TYPE_UNKNOWN;
  Ptr<IVorlentKey> key = PrivateKey(args.Required("--key"));
  if (role != SIGN_ROLE_TYPE_UNKNOWN) Check(key->put_SignRole(role), key.Get());
  out.doc = {{"package", package.path}, {"signed", json::array()}};
  std::vector<std::string> lines;
  for (LONG index : indexes) {
    Ptr<IVorlentFile> file = FileAt(package, index);
    if (cosign) {
      VARIANT_BOOL ok = VARIANT_FALSE;
      Check(file->Resign(key.Get(), &ok), file.Get());
    }
    std::string name = TextOf(file.Get(), &IVorlentFile::get_OriginalFilename);
    out.doc["signed"].push_back(name);
    lines.push_back(std::string(cosign ? "Заверены подписи документа " : "Подписан документ ") + "[" +
                    std::to_string(index) + "] " + name);
  }
  if (cosign) {
    SavePackage(package, package.path);
  } else {
    // the documents are written into the new package while they are signed
    CheckTool(
        QvToolSignAndSave(package.Get(), indexes.data(), indexes.size(), key.Get(), package.path.c_str()));
  }
  for (const std::string& line : lines) out.Line(line);
  return kExitOk;
}

int CmdSign(const Args& args, Output& out) {
  return SignOrCosign(args, out, false);
}

int CmdCosign(const Args& args, Output& out) {
  return SignOrCosign(args, out, true);
}

int CmdAttach(const Args& args, Output& out) {
  Package package = OpenPackageToChange(args.At(0));
  LONG index = FindDocument(package, args.Required("--doc"));
  SIGN_ROLE_TYPES role = ParseRole(args.Required("--role"));
  std::string signature = ReadFile(args.At(1), kMaxSmallFile);
  Ptr<IVorlentFile> file = FileAt(package, index);
  VARIANT_BOOL ok = VARIANT_FALSE;
  Check(file->AddSign(ByteStr(signature), role, &ok), file.Get());
  SavePackage(package, package.path);
  out.doc = {{"package", package.path}, {"index", index}, {"role", RoleName(role)}};
  out.Line("Подпись " + BaseName(args.At(1)) + " добавлена к документу [" + std::to_string(index) + "]");
  return kExitOk;
}

int ChecksOf(const Args& args) {
  int checks = 0;
  if (!args.Flag("--no-chain")) checks |= QV_CHECK_CHAIN;
  if (!args.Flag("--no-crl") && !args.Flag("--no-chain")) checks |= QV_CHECK_CRL;
  if (!args.Flag("--offline")) checks |= QV_CHECK_DOWNLOAD;
  // The signatures of a package have one signer each.
  return checks | QV_CHECK_ONE_SIGNER;
}

// Verifies `node` over the document `file` (or, when null, over `content`) and its
// counter-signatures over its bytes; appends a line and a JSON item for each. Returns whether
// all hold.
bool VerifyNode(const SignatureNode& node, IVorlentFile* file, std::string_view content, int checks,
                const std::string& where, const std::string& indent, const Output& out, json& results) {
  char* signers = nullptr;
  HRESULT hr = file ? QvToolCheckDetachedSignatureOfDocument(file, node.content.data(), node.content.size(),
                                                             checks, &signers)
                    : QvToolCheckDetachedSignature(content.data(), content.size(), node.content.data(),
                                                   node.content.size(), checks, &signers);
  QvToolFree(signers);
  bool good = SUCCEEDED(hr);
  std::string message = good ? "" : std::string(QvToolLastError());
  std::string who = (node.role.empty() ? "?" : node.role) + " " + (node.signer.empty() ? "?" : node.signer) +
                    " [" + node.thumbprint + "]";
  out.Line(indent + where + " " + who + ": " + (good ? "подпись верна" : "ОШИБКА: " + message));
  json item = {{"document", where},     {"file", node.filename},         {"role", node.role},
               {"signer", node.signer}, {"thumbprint", node.thumbprint}, {"valid", good}};
  if (!good) item["error"] = message;
  item["countersignatures"] = json::array();
  bool all = good;
  for (const SignatureNode& child : node.countersignatures)
    all = VerifyNode(child, nullptr, node.content, checks, where, indent + "  заверяющая ", out,
                     item["countersignatures"]) &&
          all;
  results.push_back(item);
  return all;
}

// The checks of one package are one verification run: each URL is fetched once for all the
// signatures, within the bounds of one verification.
struct VerificationRun {
  VerificationRun() { CheckTool(QvToolBeginVerification()); }
  ~VerificationRun() { QvToolEndVerification(); }
  VerificationRun(const VerificationRun&) = delete;
  VerificationRun& operator=(const VerificationRun&) = delete;
};

int CmdVerify(const Args& args, Output& out) {
  Package package = OpenPackage(args.At(0));
  int checks = ChecksOf(args);
  VerificationRun run;
  // the documents are digested on several threads at once before their signatures are checked
  CheckTool(QvToolDigestDocuments(package.Get()));
  out.doc = {{"package", package.path}, {"signatures", json::array()}};
  bool all = true;
  int total = 0;
  LONG count = FileCount(package);
  for (LONG i = 0; i < count; ++i) {
    Ptr<IVorlentFile> file = FileAt(package, i);
    std::string name =
        "[" + std::to_string(i) + "] " + TextOf(file.Get(), &IVorlentFile::get_OriginalFilename);
    VARIANT_BOOL encrypted = VARIANT_FALSE;
    Check(file->get_IsEncrypted(&encrypted), file.Get());
    std::vector<SignatureNode> nodes = ReadSignatures(package, i);
    if (nodes.empty()) {
      out.Line(name + ": нет подписей");
      out.doc["signatures"].push_back({{"document", name}, {"valid", false}, {"error", "нет подписей"}});
      all = false;
      continue;
    }
    if (Bool(encrypted)) {
      out.Line(name + ": документ зашифрован, сначала расшифруйте пакет (vorlent decrypt)");
      out.doc["signatures"].push_back(
          {{"document", name}, {"valid", false}, {"error", "документ зашифрован"}});
      all = false;
      continue;
    }
    for (const SignatureNode& node : nodes) {
      total += 1 + static_cast<int>(node.countersignatures.size());
      all = VerifyNode(node, file.Get(), {}, checks, name, "", out, out.doc["signatures"]) && all;
    }
  }
  if (count == 0) {
    out.Line("В пакете нет документов");
    all = false;
  }
  out.doc["valid"] = all;
  out.Line(all ? "Все подписи верны (" + std::to_string(total) + ")"
               : "Есть неверные или отсутствующие подписи");
  return all ? kExitOk : kExitFailed;
}

int CmdEncrypt(const Args& args, Output& out) {
  Package package = OpenPackageToChange(args.At(0));
  VARIANT_BOOL ok = VARIANT_FALSE;
  if (args.Has("--cert") == args.Has("--recipient"))
    Usage("задайте одно из: --cert ФАЙЛ или --recipient SHA1");
  if (args.Has("--cert")) {
    std::string der = CertificateDer(ReadFile(args.Value("--cert"), kMaxSmallFile));
    Check(package->EncryptByCertificate(ByteStr(der), &ok), package.Get());
  } else {
    const std::string thumbprint = NormalizeSha1(args.Value("--recipient"));
    Ptr<IVorlentCrypt> crypt = NewInitializedCrypt();
    Ptr<IVorlentKey> key;
    Check(crypt->GetOpponentKeyBySha1(Str(thumbprint), key.Out()), crypt.Get());
    if (!key) throw Failure("нет сертификата получателя с отпечатком " + args.Value("--recipient"));
    Check(package->Encrypt(key.Get(), &ok), package.Get());
  }
  SavePackage(package, package.path);
  json doc = PackageJson(package);
  json encrypted = json::array();
  for (const json& d : doc["documents"]) {
    if (d["encrypted"].get<bool>()) encrypted.push_back(d["sourceFile"]);
  }
  out.doc = {{"package", package.path}, {"encrypted", encrypted}};
  out.Line("Зашифровано документов: " + std::to_string(encrypted.size()));
  return kExitOk;
}

int CmdDecrypt(const Args& args, Output& out) {
  Package package = OpenPackageToChange(args.At(0));
  VARIANT_BOOL ok = VARIANT_FALSE;
  Check(package->Decrypt(&ok), package.Get());
  SavePackage(package, package.path);
  out.doc = {{"package", package.path}, {"decrypted", true}};
  out.Line("Пакет расшифрован: " + package.path);
  return kExitOk;
}

int CmdExtract(const Args& args, Output& out) {
  Package package = OpenPackage(args.At(0));
  const std::string dir = args.Required("-d");
  const bool force = args.Flag("--force");
  MakeDirectories(dir);
  std::set<std::string> used;
  // A free name in the folder: never two outputs on one name; WriteFile refuses an
  // existing file unless --force.
  auto target = [&](const std::string& name) {
    std::string safe = SafeFileName(name);
    std::string candidate = safe;
    for (int n = 2; used.count(candidate); ++n) candidate = std::to_string(n) + "_" + safe;
    used.insert(candidate);
    return dir + "/" + candidate;
  };
  out.doc = {{"package", package.path}, {"directory", dir}, {"files", json::array()}};
  LONG count = FileCount(package);
  for (LONG i = 0; i < count; ++i) {
    Ptr<IVorlentFile> file = FileAt(package, i);
    VARIANT_BOOL encrypted = VARIANT_FALSE;
    Check(file->get_IsEncrypted(&encrypted), file.Get());
    std::string source = TextOf(file.Get(), &IVorlentFile::get_OriginalFilename);
    if (Bool(encrypted))
      throw Failure("документ [" + std::to_string(i) + "] " + source +
                    " зашифрован: сначала расшифруйте пакет (vorlent decrypt)");
    std::string path = target(source);
    WriteFileWith(path, force, [&](int fd) {
      CheckTool(QvToolWriteFileContent(file.Get(), fd));
      return true;
    });
    out.doc["files"].push_back({{"document", i}, {"path", path}});
    out.Line(path);
    std::function<void(const SignatureNode&)> saveSignature = [&](const SignatureNode& node) {
      std::string signaturePath = target(node.filename);
      WriteFile(signaturePath, node.content, force);
      out.doc["files"].push_back({{"document", i}, {"path", signaturePath}, {"signature", true}});
      out.Line(signaturePath);
      for (const SignatureNode& child : node.countersignatures) saveSignature(child);
    };
    for (const SignatureNode& node : ReadSignatures(package, i)) saveSignature(node);
  }
  return kExitOk;
}

// Ctrl-C during `receive`: the batch ends once the packages in progress end.
std::atomic<bool> receiveInterrupted{false};
static_assert(std::atomic<bool>::is_always_lock_free, "set from a signal handler");

extern "C" void OnReceiveInterrupt(int) {
  receiveInterrupted.store(true);
}

// What `receive` shows as the packages end: a line each on standard output and, on a
// terminal, a progress line on standard error that the next line replaces.
struct ReceiveReport {
  const Output* out;
  bool json;
  bool progress;
  std::size_t total;
  std::size_t done = 0;
  std::size_t failed = 0;
  std::chrono::steady_clock::time_point start = std::chrono::steady_clock::now();

  void ClearProgress() const {
    if (progress) std::fputs("\r\033[K", stderr);
  }
  void ShowProgress() const {
    if (!progress) return;
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    char rate[32];
    std::snprintf(rate, sizeof rate, "%.1f", seconds > 0 ? static_cast<double>(done) / seconds : 0.0);
    std::string line = "Обработано " + std::to_string(done) + " из " + std::to_string(total) + ", ошибок " +
                       std::to_string(failed) + ", " + rate + " пакетов/с";
    std::fputs(line.c_str(), stderr);
    std::fflush(stderr);
  }
};

int OnReceived(const QvReceivedPackage* result, void* context) {
  auto& report = *static_cast<ReceiveReport*>(context);
  ++report.done;
  if (!result->ok) ++report.failed;
  std::vector<std::string> errors(result->errors, result->errors + result->errorCount);
  report.ClearProgress();
  if (report.json) {
    json line = {{"package", result->package},
                 {"ok", result->ok != 0},
                 {"folder", result->folder ? json(result->folder) : json(nullptr)},
                 {"documents", result->documents},
                 {"signatures", result->signatures},
                 {"errors", errors}};
    std::cout << line.dump(-1, ' ', false, json::error_handler_t::replace) << std::endl;
  } else {
    std::string text = std::string(result->package) + ": ";
    if (result->ok) {
      text += "принят в " + std::string(result->folder) + " (документов " +
              std::to_string(result->documents) + ", подписей " + std::to_string(result->signatures) + ")";
    } else {
      text += "ОШИБКА: ";
      for (std::size_t i = 0; i < errors.size(); ++i) text += (i ? "; " : "") + errors[i];
    }
    report.out->Line(text);
    std::cout.flush();
  }
  report.ShowProgress();
  return receiveInterrupted.load() ? 1 : 0;
}

int CmdReceive(const Args& args, Output& out) {
  const std::string dir = args.Required("-d");
  int jobs = 0;
  if (args.Has("--jobs")) {
    const std::string value = args.Value("--jobs");
    char* end = nullptr;
    long number = std::strtol(value.c_str(), &end, 10);
    if (value.empty() || *end || number < 1 || number > QV_RECEIVE_MAX_JOBS)
      Usage("--jobs: ожидается число от 1 до " + std::to_string(QV_RECEIVE_MAX_JOBS));
    jobs = static_cast<int>(number);
  }
  int checks = QV_CHECK_CHAIN | QV_CHECK_ONE_SIGNER;
  if (!args.Flag("--no-crl")) checks |= QV_CHECK_CRL;
  if (!args.Flag("--offline")) checks |= QV_CHECK_DOWNLOAD;
  std::vector<const char*> packages;
  for (const std::string& path : args.Positional()) packages.push_back(path.c_str());

  ReceiveReport report{&out, out.Json(), isatty(STDERR_FILENO) == 1 && !args.quiet, packages.size()};
  out.streamed = true;
  struct sigaction action {};
  struct sigaction previous {};
  action.sa_handler = OnReceiveInterrupt;
  action.sa_flags = SA_RESTART;  // the batch's threads go on with what they are doing
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, &previous);
  report.ShowProgress();
  HRESULT hr =
      QvToolReceive(packages.data(), packages.size(), dir.c_str(), checks, jobs, &OnReceived, &report);
  sigaction(SIGINT, &previous, nullptr);
  report.ClearProgress();
  if (hr == E_ABORT) {
    out.Note(std::string("vorlent: ") + QvToolLastError());
    return 128 + SIGINT;
  }
  if (FAILED(hr)) throw Failure(QvToolLastError());
  out.Note("Принято пакетов: " + std::to_string(report.done - report.failed) + " из " +
           std::to_string(report.total));
  return hr == S_OK ? kExitOk : kExitFailed;
}

}  // namespace

void AddPackageCommands(std::vector<Command>& commands) {
  commands.push_back(
      {"new",
       "OUT.zip --transaction T --sender ROLE:ID --receiver ROLE:ID --add CODE[:TYPE]:FILE [--add ...]",
       "Создаёт пакет. Транзакции: ul-reg, ul-notice-receipt, ul-receipt, ul-reject, ul-info, ul-suspend, "
       "ip-reg,\n"
       "ip-notice-receipt, ip-receipt, ip-reject, ip-info. Роли: abonent, applicant, notary, fns, sos,\n"
       "duc, cbrf, ionotary, minust, mfc.",
       {{"--transaction", "--sender", "--receiver", "--add"}, {"--force"}, 1, 1},
       &CmdNew});
  commands.push_back({"show",
                      "PKG.zip",
                      "Показывает пакет: транзакцию, стороны, документы и дерево подписей.",
                      {{}, {}, 1, 1},
                      &CmdShow});
  commands.push_back({"add",
                      "PKG.zip CODE FILE [--content-type T]",
                      "Добавляет документ из файла.",
                      {{"--content-type"}, {}, 3, 3},
                      &CmdAdd});
  commands.push_back(
      {"remove", "PKG.zip INDEX", "Удаляет документ с его подписями.", {{}, {}, 2, 2}, &CmdRemove});
  commands.push_back({"sign",
                      "PKG.zip (--doc NAME | --all) --key SHA1 [--role ROLE]",
                      "Подписывает документы личным ключом с данным отпечатком.",
                      {{"--doc", "--key", "--role"}, {"--all"}, 1, 1},
                      &CmdSign});
  commands.push_back({"cosign",
                      "PKG.zip --doc NAME --key SHA1 [--role ROLE]",
                      "Заверяет (подписывает) подписи документа.",
                      {{"--doc", "--key", "--role"}, {"--all"}, 1, 1},
                      &CmdCosign});
  commands.push_back({"attach-signature",
                      "PKG.zip --doc NAME SIG.p7s --role ROLE",
                      "Добавляет к документу подпись, сделанную в другом месте.",
                      {{"--doc", "--role"}, {}, 2, 2},
                      &CmdAttach});
  commands.push_back(
      {"verify",
       "PKG.zip [--offline] [--no-crl]",
       "Проверяет каждую подпись и заверяющую подпись с цепочкой сертификатов и списками отзыва.\n"
       "Код выхода 0 только когда верны все. Без --offline недостающие сертификаты УЦ и списки отзыва\n"
       "скачиваются по адресам из сертификатов подписи, то есть с любых узлов, которые назовёт\n"
       "непроверенный пакет; --offline проверяет без единого обращения к сети.",
       {{}, {"--offline", "--no-crl", "--no-chain"}, 1, 1},
       &CmdVerify});
  commands.push_back({"encrypt",
                      "PKG.zip (--cert FILE | --recipient SHA1)",
                      "Шифрует документы, которые положено шифровать, для получателя.",
                      {{"--cert", "--recipient"}, {}, 1, 1},
                      &CmdEncrypt});
  commands.push_back(
      {"decrypt", "PKG.zip", "Расшифровывает пакет личным ключом получателя.", {{}, {}, 1, 1}, &CmdDecrypt});
  commands.push_back(
      {"receive",
       "PKG.zip... -d DIR [--jobs N] [--offline] [--no-crl]",
       "Принимает пакеты: каждый расшифровывается в памяти (файл пакета не меняется), все подписи\n"
       "и заверяющие подписи проверяются с цепочкой и списками отзыва, документы и подписи\n"
       "сохраняются в DIR/ИМЯ-ПАКЕТА. Пакет с ошибкой не оставляет папки. Все пакеты - одна проверка:\n"
       "каждый адрес скачивается один раз. По строке на пакет (с --json - объект JSON на строку);\n"
       "код выхода 0 только когда приняты все. --jobs - число потоков (по умолчанию по числу\n"
       "процессоров). Ctrl-C останавливает приём после пакетов, что уже в работе (код выхода 130).",
       {{"-d", "--jobs"}, {"--offline", "--no-crl"}, 1, static_cast<std::size_t>(-1)},
       &CmdReceive});
  commands.push_back({"extract",
                      "PKG.zip -d DIR [--force]",
                      "Сохраняет содержимое документов под их исходными именами и подписи рядом.",
                      {{"-d"}, {"--force"}, 1, 1},
                      &CmdExtract});
}

}  // namespace vorlent
