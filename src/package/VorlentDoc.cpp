#include "package/VorlentDoc.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <exception>
#include <functional>
#include <map>
#include <set>
#include <thread>
#include <vector>

#include "foundation/CodePage.h"
#include "foundation/Errors.h"
#include "foundation/Files.h"
#include "foundation/Guid.h"
#include "foundation/Parallel.h"
#include "foundation/ValueCheck.h"
#include "manifest/XMLGpr.h"
#include "package/Archive.h"
#include "package/PackageCrypto.h"
#include "package/VorlentTool.h"

namespace qv {

namespace {

const char kProgVersion[] = "QelVorlent";

// The files of a package archive as a file system that ignores letter case finds them. A
// name the manifest gives finds its file exactly, or else the one file whose name differs from
// it only in letter case (Latin or Cyrillic), which then takes the manifest's spelling. Two
// such files for one name, or one file given two spellings, leave the choice open and are
// refused. A name that finds nothing is left to the reader, which reports the missing file.
class CaseInsensitiveNames {
 public:
  explicit CaseInsensitiveNames(CPackageArchive& archive) : archive_(archive) {
    for (const std::string& name : archive.Names()) {
      spelling_[name];
      byFolded_[Folded(name)].push_back(name);
    }
  }

  void Resolve(const std::string& name) {
    auto exact = spelling_.find(name);
    if (exact != spelling_.end()) return Claim(exact->first, exact->second, name);
    auto similar = byFolded_.find(Folded(name));
    if (similar == byFolded_.end()) return;
    const std::vector<std::string>& files = similar->second;
    if (files.size() > 1) {
      RaiseErrorFmt(
          "Неверный формат пакета: имени файла [%s] без учета регистра соответствуют "
          "несколько файлов: [%s] и [%s]"_cp,
          {name, files[0], files[1]});
    }
    std::string& owner = spelling_[files[0]];
    if (owner == name) return;
    Claim(files[0], owner, name);
    archive_.Rename(files[0], name);
  }

 private:
  static std::string Folded(std::string name) {
    for (char& c : name) c = static_cast<char>(Cp1251Upper(static_cast<unsigned char>(c)));
    return name;
  }
  static void Claim(const std::string& file, std::string& owner, const std::string& name) {
    if (owner.empty()) {
      owner = name;
    } else if (owner != name) {
      RaiseErrorFmt("Неверный формат пакета: файл [%s] назван в пакете по-разному: [%s] и [%s]"_cp,
                    {file, owner, name});
    }
  }

  CPackageArchive& archive_;
  // every name in the archive, and the spelling that took it (empty while none has)
  std::map<std::string, std::string> spelling_;
  // the names by their upper-case form
  std::map<std::string, std::vector<std::string>> byFolded_;
};

std::string FolderOf(const std::string& path) {
  std::size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

// The names of working folders and of the temporaries saving leaves beside a package, for
// removing those of processes that never finished (the first in pieces, so that no trigraph forms).
const char kWorkFolderPattern[] =
    "{????????"
    "-????"
    "-????"
    "-????"
    "-????????????}";
const char kSaveTemporaryPattern[] = ".????????????????????????????????.tmp";
// The archive library's own temporaries, which saving left before it wrote archives itself.
const char kArchiverTemporaryPattern[] = ".????????????????????????????????.tmp.??????";

}  // namespace

std::string PackageFullPath(const std::string& path) {
  if (path.find('/') != std::string::npos) return path;
  char buffer[4096];
  if (!::getcwd(buffer, sizeof buffer)) return path;
  return CombinePath(Utf8ToCp1251(buffer), path);
}

CVorlentDoc::CVorlentDoc() = default;

CVorlentDoc::~CVorlentDoc() {
  try {
    CVorlentDoc::Close();
  } catch (...) {
  }
}

void CVorlentDoc::RequireOpen() const {
  if (!opened_ || !manifest_) RaiseError("Документ не открыт"_cp);
}

CXMLGprExtPackage& CVorlentDoc::Manifest() const {
  RequireOpen();
  return *manifest_;
}

// The working folder stays empty: opening reads the package's files from the archive into
// memory and saving writes the archive from memory. Do not extract them here: no client can see
// the folder, decrypted documents would lie on disk until Close (or a crash), and the package
// would be read twice. See docs/package-model.md.
void CVorlentDoc::MakeWorkFolder() {
  const std::string temp = TempFolder();
  RemoveStaleWorkingFolders(temp, kWorkFolderPattern);
  std::string folder = CombinePath(temp, NewBracedGuid());
  workFolderHandle_.Reset(MakeWorkingFolder(folder));
  workFolder_ = folder + "/";
}

// A working folder removed after a failed opening is made again, private, for the next save.
void CVorlentDoc::EnsureWorkFolder() {
  if (workFolderHandle_.Get() < 0) MakeWorkFolder();
}

// The folder's name is forgotten the moment the folder is gone: whatever may appear under that
// name later is not the library's.
void CVorlentDoc::RemoveWorkFolder() {
  const int fd = workFolderHandle_.Get();
  if (fd >= 0) {
    DeleteFolderContentsAt(fd);
    std::string name = SysPath(workFolder_.substr(0, workFolder_.size() - 1));
    struct stat mine {};
    struct stat there {};
    if (::fstat(fd, &mine) == 0 && ::lstat(name.c_str(), &there) == 0 && mine.st_dev == there.st_dev &&
        mine.st_ino == there.st_ino) {
      ::rmdir(name.c_str());
    }
    workFolderHandle_.Reset();
  }
  workFolder_.clear();
}

void CVorlentDoc::DiscardModel() {
  // entries first: they are bound to the manifest's elements
  for (auto& entry : entries_) entry->Close();
  entries_.clear();
  manifest_.reset();
}

void CVorlentDoc::StartPackage() {
  manifest_ = std::make_unique<CXMLGprExtPackage>();
  entries_.clear();
  opened_ = true;
  MakeWorkFolder();
}

bool CVorlentDoc::New() {
  return Funnel([&] {
    Close();
    StartPackage();
    return true;
  });
}

bool CVorlentDoc::Open(const std::string& path) {
  return Funnel([&] {
    Close();
    StartPackage();
    try {
      LoadPackage(PackageFullPath(path));
    } catch (...) {
      // Open but empty, and nothing of the package left on disk.
      DiscardModel();
      manifest_ = std::make_unique<CXMLGprExtPackage>();
      RemoveWorkFolder();
      throw;
    }
    return true;
  });
}

void CVorlentDoc::LoadPackage(const std::string& path) {
  if (!FileExists(path)) RaiseErrorFmt("Файл с пакетом [%s] не существует!"_cp, {path});
  // The files are read from the archive straight into memory, only those the manifest names:
  // the working folder receives no copies of them.
  auto shared = std::make_shared<CPackageArchive>(path, extractLimits_.maxEntrySize);
  CPackageArchive& archive = *shared;
  CaseInsensitiveNames names(archive);
  names.Resolve(ManifestFileName());
  if (!archive.Contains(ManifestFileName()))
    RaiseErrorFmt("Неверный формат пакета: не найден главный файл [%s]"_cp, {ManifestFileName()});
  if (archive.DeclaredSize(ManifestFileName()) > kMaxManifestSize) {
    RaiseErrorFmt("Неверный формат пакета: главный файл [%s] больше %d байт"_cp,
                  {ManifestFileName(), static_cast<unsigned long long>(kMaxManifestSize)});
  }
  manifest_->SetText(archive.Read(ManifestFileName(), CombinePath(workFolder_, ManifestFileName())));
  manifest_->Parse();

  CXMLGprDocumentCollection& documents = manifest_->Documents();
  // File names come from the package: only plain names, and never the manifest's own. What
  // the entries will read into memory is counted by the sizes the archive declares before
  // anything is read (the reader takes no byte beyond them), once for every reference: a
  // file named by many signatures counts as often as it is read.
  std::uint64_t contentLeft = contentLimit_;
  auto take = [&](const std::string& name) {
    if (name.empty()) return;
    CheckPackageFileName(name);
    names.Resolve(name);
    std::uint64_t size = archive.DeclaredSize(name);
    if (size > contentLeft) RaiseError(ContentLimitMessage(contentLimit_));
    contentLeft -= size;
  };
  std::function<void(CXMLGprExtSignatureCollection&)> takeSignatures =
      [&](CXMLGprExtSignatureCollection& list) {
        for (int k = 0; k < list.Count(); ++k) {
          take(list.ExtSignature(k)->FileName());
          takeSignatures(list.ExtSignature(k)->Signatures());
        }
      };
  for (int i = 0; i < documents.Count(); ++i) {
    auto document = static_cast<CXMLGprExtDocument*>(documents.Document(i));
    const std::string& name = document->FileName();
    if (name == ManifestFileName()) RaiseErrorFmt("Недопустимое имя файла в пакете: [%s]"_cp, {name});
    take(name);
    takeSignatures(document->ExtSignatures());
  }

  for (int i = 0; i < documents.Count(); ++i) {
    CXMLGprDocument* document = documents.Document(i);
    std::uint8_t flow = ThreadKind();
    KindInfo kind = CVorlentTool::FindKindByCode(flow, document->DocumentTypeCode());
    if (kind.typeName != document->DocumentType()) {
      RaiseErrorFmt("Ожидается наименование типа документа по коду [%s] - [%s], встречено [%s]"_cp,
                    {document->DocumentTypeCode(), kind.typeName, document->DocumentType()});
    }
  }
  // The files of the documents taken as they are are read at once, each on a thread of its own;
  // each document then takes its own as it opens, in order. One to be unpacked is read at its
  // turn, as its bytes are unpacked and let go one document after the other.
  std::vector<std::string> files;
  for (int i = 0; i < documents.Count(); ++i) {
    CXMLGprDocument* document = documents.Document(i);
    if (!document->Compressed() || document->Encrypted()) files.push_back(document->FileName());
  }
  archive.ReadAhead(files);
  for (int i = 0; i < documents.Count(); ++i) {
    CXMLGprDocument* document = documents.Document(i);
    bool unpacks = document->Compressed() && !document->Encrypted();
    auto entry = std::make_shared<CVorlentDocument>();
    CVorlentPackageConfig config;
    FillConfig(config, document, ThreadKind());
    // a compressed document unpacks within the entry limit of extraction and what is left
    // of the content limit (a total of 0 would mean none)
    ExtractLimits unpack = extractLimits_;
    unpack.maxTotalSize = std::max<std::uint64_t>(contentLeft, 1);
    unpack.overTotal = ContentLimitMessage(contentLimit_);
    config.SetUnpackLimits(unpack);
    config.SetArchive(shared);
    // a large document first in the package may stay there, read once now and checked
    if (!unpacks) archive.Keep(document->FileName());
    entry->Open(&config);
    entries_.push_back(entry);
    if (unpacks) contentLeft -= std::min<std::uint64_t>(contentLeft, entry->GetContent().size());
  }
}

bool CVorlentDoc::Close() {
  return Funnel([&] {
    if (opened_) {
      RemoveWorkFolder();
      DiscardModel();
      opened_ = false;
    }
    return true;
  });
}

// Every file of the package but the manifest, named: plain names only, and no two files
// of one name, or one would silently replace the other.
std::vector<ArchiveMember> CVorlentDoc::CollectFiles() {
  std::vector<ArchiveMember> files;
  for (auto& entry : entries_) entry->CollectFiles(files);
  std::set<std::string> names{ManifestFileName()};
  for (const ArchiveMember& file : files) {
    CheckPackageFileName(file.name);
    if (!names.insert(file.name).second)
      RaiseErrorFmt("Имя файла [%s] встречается в пакете более одного раза"_cp, {file.name});
  }
  return files;
}

bool CVorlentDoc::Save(const std::string& path) {
  return Funnel([&] {
    SaveWith(path, nullptr);
    return true;
  });
}

bool CVorlentDoc::SignAndSave(const std::vector<int>& files, const CVorlentKey& key,
                              const std::string& path) {
  return Funnel([&] {
    RequireOpen();
    std::vector<std::shared_ptr<CVorlentDocument>> documents;
    for (int file : files) documents.push_back(Entry(file));
    // The documents are digested and signed on several threads with one key; the signatures are
    // added in the documents' order, up to the first document that could not be signed, as one
    // by one.
    // A compressed document is unpacked into the manifest's model as it is signed, and a
    // document named twice is signed once and then refused: then one by one.
    const bool compressed =
        std::any_of(documents.begin(), documents.end(), [](const auto& d) { return d->IsCompressed(); });
    const bool repeated =
        std::set<std::shared_ptr<CVorlentDocument>>(documents.begin(), documents.end()).size() !=
        documents.size();
    auto sign = [&] {
      if (compressed || repeated) {
        for (const auto& document : documents) document->Sign(key);
        return;
      }
      // the key is read, and its PIN asked, once for all of them
      CSharedSigner signer(key);
      std::vector<std::string> signatures(documents.size());
      std::vector<std::exception_ptr> failures(documents.size());
      InParallelWhole(documents.size(), [&](std::size_t i) {
        try {
          signatures[i] = documents[i]->MakeSignature(key, &signer);
        } catch (...) {
          failures[i] = std::current_exception();
        }
      });
      for (std::size_t i = 0; i < documents.size(); ++i) {
        if (failures[i]) std::rethrow_exception(failures[i]);
        if (!signatures[i].empty()) documents[i]->AddSign(signatures[i], key.SignRole());
      }
    };
    // Signing unpacks a compressed document: its bytes are replaced while they are written.
    if (compressed) {
      sign();
      SaveWith(path, nullptr);
    } else {
      SaveWith(path, sign);
    }
    return true;
  });
}

void CVorlentDoc::SaveWith(const std::string& path, const std::function<void()>& change) {
  RequireOpen();
  CValueCheckTool::CheckNotEmpty(path, "Имя файла"_cp);
  std::string target = PackageFullPath(path);
  // a folder there, or a file in a folder where nothing can be replaced
  if (IsDirectory(target) ||
      (FileExists(target) && ::access(SysPath(FolderOf(target)).c_str(), W_OK | X_OK) != 0)) {
    RaiseErrorFmt("Файл уже существует: продолжение невозможно [%s]"_cp, {target});
  }

  // The archive is written from memory: the working folder holds no copy of the documents.
  EnsureWorkFolder();
  ClearWorkingFolder(workFolderHandle_.Get());

  // The new archive is complete and on disk before it takes the target's place.
  RemoveStaleTemporaries(FolderOf(target), {kSaveTemporaryPattern, kArchiverTemporaryPattern});
  std::string temporary = CombinePath(FolderOf(target), FormatText(".%s.tmp", {NewCompactGuid()}));
  try {
    // Readable by the owner alone while an existing package is rewritten, of the caller's
    // umask for a new one.
    bool replacing = FileExists(target);
    CFileHandle placeholder(::open(SysPath(temporary).c_str(),
                                   O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                                   replacing ? 0600 : 0666));
    if (placeholder.Get() < 0) RaiseFileError(errno, temporary);
    std::vector<ArchiveMember> written;
    if (change) {
      // The files the package holds already go into the archive on a thread of their own while
      // `change` runs (signing takes several times as long as writing what it signs); the files
      // it adds and the manifest follow them.
      written = CollectFiles();
      std::exception_ptr failure;
      std::thread writer([&] {
        try {
          COsAbbreviaTool::ArchiveMembers(written, placeholder.Get(), temporary);
        } catch (...) {
          failure = std::current_exception();
        }
      });
      try {
        change();
      } catch (...) {
        writer.join();
        throw;
      }
      writer.join();
      if (failure) std::rethrow_exception(failure);
    }
    std::set<std::string> names;
    for (const ArchiveMember& file : written) names.insert(file.name);
    std::vector<ArchiveMember> files;
    for (const ArchiveMember& file : CollectFiles()) {
      if (!names.count(file.name)) files.push_back(file);
    }
    manifest_->SetProgVersion(kProgVersion);
    std::string manifest = manifest_->SaveToText();
    files.push_back({ManifestFileName(), &manifest, nullptr});
    if (written.empty()) {
      COsAbbreviaTool::ArchiveMembers(files, placeholder.Get(), temporary);
    } else {
      COsAbbreviaTool::AppendMembers(files, placeholder.Get(), temporary);
    }
    // On disk before the rename, which never puts an incomplete file in place of the earlier one.
    KeepAccessOf(target, temporary);
    if (::fsync(placeholder.Get()) != 0 || ::close(placeholder.Release()) != 0)
      RaiseFileError(errno, temporary);
  } catch (...) {
    ::unlink(SysPath(temporary).c_str());
    throw;
  }
  if (::rename(SysPath(temporary).c_str(), SysPath(target).c_str()) != 0) {
    ::unlink(SysPath(temporary).c_str());
    RaiseErrorFmt("Файл уже существует: продолжение невозможно [%s]"_cp, {target});
  }
}

std::uint8_t CVorlentDoc::ThreadKind() const {
  return CVorlentTool::FindFlowByCode(Manifest().ThreadTypeCode()).flow;
}

void CVorlentDoc::FillConfig(CVorlentPackageConfig& config, CXMLClass* element, std::uint8_t kind) const {
  config.SetElement(element);
  config.SetThreadKind(kind);
  config.SetWorkFolder(workFolder_);
  config.SetFlagUsageUserStorage(flagUsageUserStorage_);
}

SubjectType CVorlentDoc::GetSenderType() const {
  return Manifest().Sender().GetSubjectType();
}

void CVorlentDoc::SetSenderType(SubjectType type) {
  Manifest().Sender().SetSubjectType(type);
}

std::string CVorlentDoc::GetSenderIdentifier() const {
  return Manifest().Sender().SubjectIdentifier();
}

void CVorlentDoc::SetSenderIdentifier(const std::string& text) {
  Manifest().Sender().SetSubjectIdentifier(text);
}

SubjectType CVorlentDoc::GetReceiverType() const {
  return Manifest().Receiver().GetSubjectType();
}

void CVorlentDoc::SetReceiverType(SubjectType type) {
  Manifest().Receiver().SetSubjectType(type);
}

std::string CVorlentDoc::GetReceiverIdentifier() const {
  return Manifest().Receiver().SubjectIdentifier();
}

void CVorlentDoc::SetReceiverIdentifier(const std::string& text) {
  Manifest().Receiver().SetSubjectIdentifier(text);
}

std::uint8_t CVorlentDoc::GetTransactionType() const {
  std::uint8_t flow = ThreadKind();
  return CVorlentTool::FindTransactionByCode(flow, Manifest().TransactTypeCode()).internal;
}

void CVorlentDoc::SetTransactionType(std::uint8_t code) {
  CXMLGprExtPackage& manifest = Manifest();
  TransactionInfo transaction = CVorlentTool::FindTransaction(code);
  FlowInfo flow = CVorlentTool::FindTransactionFlow(code);
  manifest.SetThreadType(flow.name);
  manifest.SetThreadTypeCode(flow.code);
  manifest.SetTransactType(transaction.name);
  manifest.SetTransactTypeCode(transaction.code);
}

int CVorlentDoc::GetFileCount() const {
  RequireOpen();
  return static_cast<int>(entries_.size());
}

std::shared_ptr<CVorlentDocument> CVorlentDoc::GetFile(int index) const {
  RequireOpen();
  CValueCheckTool::CheckInRange(index, 0, GetFileCount() - 1, "FileIndex");
  return entries_[static_cast<std::size_t>(index)];
}

std::shared_ptr<CVorlentDocument> CVorlentDoc::Entry(int file) const {
  RequireOpen();
  CValueCheckTool::CheckInRange(file, 0, GetFileCount() - 1, "iFileIndex");
  return entries_[static_cast<std::size_t>(file)];
}

std::shared_ptr<CVorlentSignature> CVorlentDoc::SignatureEntry(int file, int sign) const {
  std::shared_ptr<CVorlentDocument> entry = Entry(file);
  CValueCheckTool::CheckInRange(sign, 0, entry->GetSignatureCount() - 1, "iSignaturesCount");
  return entry->GetSignature(sign);
}

std::shared_ptr<CVorlentDocument> CVorlentDoc::AddDocument() {
  return Funnel([&] {
    CXMLGprExtPackage& manifest = Manifest();
    // the flow first, so that a failure leaves no element without an entry
    std::uint8_t flow = ThreadKind();
    CXMLGprDocumentCollection& documents = manifest.Documents();
    EnsureWorkFolder();
    CXMLGprDocument* element = documents.AddDocument();
    auto entry = std::make_shared<CVorlentDocument>();
    try {
      CVorlentPackageConfig config;
      FillConfig(config, element, flow);
      entry->New(&config);
    } catch (...) {
      documents.Delete(documents.Count() - 1);
      throw;
    }
    entries_.push_back(entry);
    return entry;
  });
}

std::shared_ptr<CVorlentDocument> CVorlentDoc::FindDocument(const std::string& name) const {
  RequireOpen();
  for (const auto& entry : entries_) {
    if (entry->GetSourceFileName() == name) return entry;
  }
  RaiseErrorFmt("Документ с именем [%s] не найден"_cp, {name});
}

int CVorlentDoc::GetSignatureCount(int file) const {
  return Entry(file)->GetSignatureCount();
}

std::shared_ptr<CVorlentSignature> CVorlentDoc::GetSignature(int file, int sign) const {
  return SignatureEntry(file, sign);
}

int CVorlentDoc::GetResignCount(int file, int sign) const {
  return SignatureEntry(file, sign)->GetResignCount();
}

std::shared_ptr<CVorlentSignature> CVorlentDoc::GetResign(int file, int sign, int resign) const {
  std::shared_ptr<CVorlentSignature> signature = SignatureEntry(file, sign);
  CValueCheckTool::CheckInRange(resign, 0, signature->GetResignCount() - 1, "iResignaturesCount");
  return signature->GetResign(resign);
}

bool CVorlentDoc::DeleteFile(int file) {
  return Funnel([&] {
    std::shared_ptr<CVorlentDocument> entry = Entry(file);
    entry->DeleteSignatures();
    entry->Close();
    entries_.erase(entries_.begin() + file);
    manifest_->Documents().Delete(file);
    return true;
  });
}

bool CVorlentDoc::DeleteFileSignatures(int file) {
  return Funnel([&] {
    Entry(file)->DeleteSignatures();
    return true;
  });
}

bool CVorlentDoc::DeleteFileResignatures(int file, int sign) {
  return Funnel([&] {
    SignatureEntry(file, sign)->DeleteResigns();
    return true;
  });
}

bool CVorlentDoc::DeleteFileSignature(int file, int sign) {
  return Funnel([&] {
    std::shared_ptr<CVorlentDocument> entry = Entry(file);
    CValueCheckTool::CheckInRange(sign, 0, entry->GetSignatureCount() - 1, "iSignaturesCount");
    entry->DeleteSignature(sign);
    return true;
  });
}

bool CVorlentDoc::IsEncrypted() const {
  RequireOpen();
  for (const auto& entry : entries_) {
    if (entry->IsEncrypted()) return true;
  }
  return false;
}

bool CVorlentDoc::SignDocument(const std::string& name, const CVorlentKey& key) {
  return Funnel([&] {
    RequireOpen();
    CValueCheckTool::CheckNotEmpty(name, "Filename");
    FindDocument(name)->Sign(key);
    return true;
  });
}

bool CVorlentDoc::ResignDocument(const std::string& name, const CVorlentKey& key) {
  return Funnel([&] {
    RequireOpen();
    CValueCheckTool::CheckNotEmpty(name, "Filename");
    FindDocument(name)->Resign(key);
    return true;
  });
}

bool CVorlentDoc::EncryptAll(const CVorlentKey& key) {
  return Funnel([&] {
    RequireOpen();
    for (const auto& entry : entries_) entry->Encrypt(key);
    return true;
  });
}

bool CVorlentDoc::DecryptAll() {
  return Funnel([&] {
    RequireOpen();
    for (const auto& entry : entries_) {
      if (entry->IsEncrypted()) entry->Decrypt();
    }
    return true;
  });
}

}  // namespace qv
