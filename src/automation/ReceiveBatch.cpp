#include "automation/ReceiveBatch.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <exception>
#include <memory>
#include <mutex>
#include <new>
#include <random>
#include <set>
#include <string_view>
#include <thread>
#include <vector>

#include "automation/Server.h"
#include "automation/ToolChecks.h"
#include "crypto/CryptoSignature.h"
#include "foundation/CodePage.h"
#include "foundation/Errors.h"
#include "foundation/Files.h"
#include "foundation/Format.h"
#include "manifest/SubjectTypes.h"
#include "package/VorlentDoc.h"
#include "qelvorlent/QelVorlentTools.h"
#include "validation/ChainDownloads.h"

namespace qv {
namespace {

// The message of a failure, in UTF-8.
std::string MessageOf(const std::exception& e) {
  return Cp1251ToUtf8(e.what());
}

// A name from a package made safe as one file name: no folders, no control characters, no
// leading dots or spaces (the rules of the command line's extract).
std::string SafeName(const std::string& name, const char* fallback) {
  std::string base =
      name.substr(name.find_last_of("/\\") == std::string::npos ? 0 : name.find_last_of("/\\") + 1);
  std::string safe;
  for (unsigned char c : base) {
    bool bad = c < 0x20 || c == 0x7F || c == ':' || c == '*' || c == '?' || c == '"' || c == '<' ||
               c == '>' || c == '|';
    safe += bad ? '_' : static_cast<char>(c);
  }
  while (!safe.empty() && (safe[0] == '.' || safe[0] == ' ')) safe.erase(0, 1);
  return safe.empty() ? fallback : safe;
}

// The folder name of a package: its file name without ".zip".
std::string FolderName(const std::string& path) {
  std::string name = SafeName(path, "package");
  if (name.size() > 4) {
    std::string tail = name.substr(name.size() - 4);
    std::transform(tail.begin(), tail.end(), tail.begin(), [](unsigned char c) { return std::tolower(c); });
    if (tail == ".zip") name.resize(name.size() - 4);
  }
  return name;
}

std::string SystemText(int error) {
  return Cp1251ToUtf8(SystemErrorText(error));
}

// Makes the folder and its missing parents (mode 0777 less the umask).
void MakeFolders(const std::string& path) {
  for (std::size_t at = 1; at <= path.size(); ++at) {
    if (at != path.size() && path[at] != '/') continue;
    std::string part = path.substr(0, at);
    if (mkdir(part.c_str(), 0777) != 0 && errno != EEXIST) {
      RaiseError(Utf8ToCp1251("Не удалось создать папку " + part + ": " + SystemText(errno)));
    }
  }
  struct stat info {};
  if (stat(path.c_str(), &info) != 0 || !S_ISDIR(info.st_mode))
    RaiseError(Utf8ToCp1251("Не является папкой: " + path));
}

// A hidden folder beside the package's final folder, filled and renamed to it when complete;
// removed with what was written into it when it is not.
class CPartFolder {
 public:
  CPartFolder(int parent, const std::string& name) : parent_(parent) {
    std::random_device random;
    for (int attempt = 0; attempt < 100; ++attempt) {
      char suffix[20];
      std::snprintf(suffix, sizeof suffix, ".part-%08x", static_cast<unsigned>(random()));
      name_ = "." + name + suffix;
      if (mkdirat(parent_, name_.c_str(), 0777) == 0) break;
      if (errno != EEXIST) Fail("Не удалось создать папку", name_, errno);
      name_.clear();
    }
    if (name_.empty()) Fail("Не удалось создать папку", "." + name + ".part-*", EEXIST);
    fd_ = openat(parent_, name_.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd_ < 0) {
      int error = errno;
      unlinkat(parent_, name_.c_str(), AT_REMOVEDIR);
      Fail("Не удалось открыть папку", name_, error);
    }
  }
  ~CPartFolder() {
    if (fd_ >= 0) close(fd_);
    if (placed_) return;
    for (const std::string& file : files_) unlinkat(parent_, (name_ + "/" + file).c_str(), 0);
    unlinkat(parent_, name_.c_str(), AT_REMOVEDIR);
  }
  CPartFolder(const CPartFolder&) = delete;
  CPartFolder& operator=(const CPartFolder&) = delete;

  // Writes `bytes` as a new file under a free name made from `name`; one write for the file.
  void Write(const std::string& name, std::string_view bytes) {
    std::string safe = SafeName(name, "document");
    std::string candidate = safe;
    for (int n = 2; files_.count(candidate); ++n) candidate = std::to_string(n) + "_" + safe;
    int fd = openat(fd_, candidate.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (fd < 0) Fail("Не удалось создать файл", candidate, errno);
    files_.insert(candidate);
    bool written = WriteAllBytes(fd, bytes.data(), bytes.size());
    int error = errno;
    if (close(fd) != 0 && written) {
      written = false;
      error = errno;
    }
    if (!written) Fail("Не удалось записать файл", candidate, error);
  }

  // Renames the folder to `name`; refuses one that is there already.
  void Place(const std::string& name, const std::string& shownAs) {
    if (renameat2(parent_, name_.c_str(), parent_, name.c_str(), RENAME_NOREPLACE) == 0) {
      placed_ = true;
      return;
    }
    int error = errno;
    if (error == EEXIST || error == ENOTEMPTY) RaiseError(Utf8ToCp1251("Папка уже существует: " + shownAs));
    if (error == EINVAL) {
      // a file system without the exclusive rename: an existing name is refused beforehand
      struct stat info {};
      if (fstatat(parent_, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0)
        RaiseError(Utf8ToCp1251("Папка уже существует: " + shownAs));
      if (renameat(parent_, name_.c_str(), parent_, name.c_str()) == 0) {
        placed_ = true;
        return;
      }
      error = errno;
    }
    Fail("Не удалось переименовать папку", name_, error);
  }

 private:
  [[noreturn]] static void Fail(const char* what, const std::string& name, int error) {
    RaiseError(Utf8ToCp1251(std::string(what) + " " + name + ": " + SystemText(error)));
  }

  int parent_;
  int fd_ = -1;
  std::string name_;
  std::set<std::string> files_;
  bool placed_ = false;
};

// One package on the calling thread's own objects.
class CReceiver {
 public:
  CReceiver(int checks, int directory, std::string directoryName, std::shared_ptr<CChainDownloads> downloads)
      : checks_(checks | QV_CHECK_ONE_SIGNER),
        directory_(directory),
        directoryName_(std::move(directoryName)),
        downloads_(std::move(downloads)) {}

  CReceivedPackage Receive(const std::string& path) {
    CReceivedPackage result;
    result.package = path;
    try {
      CVorlentDoc doc;
      doc.Open(Utf8ToCp1251(path));
      // In memory: the package file stays as it came.
      doc.DecryptAll();
      {
        // The package's share of the batch's run.
        CVerificationRun run(downloads_, CChainDownloadLimits{});
        Verify(doc, result);
      }
      if (result.errors.empty()) Extract(doc, result);
    } catch (const std::bad_alloc&) {
      result.errors.push_back("Недостаточно памяти");
    } catch (const std::exception& e) {
      result.errors.push_back(MessageOf(e));
    }
    result.ok = result.errors.empty();
    if (!result.ok) result.folder.clear();
    return result;
  }

 private:
  void Verify(CVorlentDoc& doc, CReceivedPackage& result) {
    const int count = doc.GetFileCount();
    result.documents = static_cast<std::size_t>(count);
    if (count == 0) result.errors.push_back("В пакете нет документов");
    for (int i = 0; i < count; ++i) {
      std::shared_ptr<CVorlentDocument> entry = doc.GetFile(i);
      const std::string where = "[" + std::to_string(i) + "] " + Cp1251ToUtf8(entry->GetSourceFileName());
      if (entry->GetSignatureCount() == 0) result.errors.push_back(where + ": нет подписей");
      for (int j = 0; j < entry->GetSignatureCount(); ++j)
        VerifyTree(*entry->GetSignature(j), entry->GetRawContent(), where, "подпись", result);
    }
  }

  // Verifies `signature` over `content` and its counter-signatures over its bytes.
  void VerifyTree(CVorlentSignature& signature, std::string_view content, const std::string& where,
                  const char* what, CReceivedPackage& result) {
    ++result.signatures;
    try {
      CheckDetachedSignature(
          checks_, signature.GetContent(),
          [&](CCryptoSignature& verifier, const std::string& bytes) { verifier.Verify(content, bytes, 0); });
    } catch (const std::bad_alloc&) {
      throw;
    } catch (const std::exception& e) {
      result.errors.push_back(where + ", " + what + " " + Signer(signature) + ": " + MessageOf(e));
    }
    for (int k = 0; k < signature.GetResignCount(); ++k)
      VerifyTree(*signature.GetResign(k), signature.GetContent(), where, "заверяющая подпись", result);
  }

  static std::string Signer(const CVorlentSignature& signature) {
    std::string role;
    try {
      role = Cp1251ToUtf8(SubjectTypeToName(signature.GetRole()));
    } catch (const CVorlentException&) {
      role = "?";
    }
    const CVorlentKey* key = signature.Key();
    std::string name = key && !key->SubjectCN().empty() ? Cp1251ToUtf8(key->SubjectCN()) : "?";
    return role + " " + name + " [" + (key ? key->Sha1() : std::string()) + "]";
  }

  void Extract(CVorlentDoc& doc, CReceivedPackage& result) {
    const std::string name = FolderName(result.package);
    const std::string shown = directoryName_ + "/" + name;
    CPartFolder folder(directory_, name);
    for (int i = 0; i < doc.GetFileCount(); ++i) {
      std::shared_ptr<CVorlentDocument> entry = doc.GetFile(i);
      folder.Write(Cp1251ToUtf8(entry->GetSourceFileName()), entry->GetRawContent());
      for (int j = 0; j < entry->GetSignatureCount(); ++j) WriteSignatures(folder, *entry->GetSignature(j));
    }
    folder.Place(name, shown);
    result.folder = shown;
  }

  static void WriteSignatures(CPartFolder& folder, CVorlentSignature& signature) {
    folder.Write(Cp1251ToUtf8(signature.GetFileName()), signature.GetContent());
    for (int k = 0; k < signature.GetResignCount(); ++k) WriteSignatures(folder, *signature.GetResign(k));
  }

  int checks_;
  int directory_;
  std::string directoryName_;
  std::shared_ptr<CChainDownloads> downloads_;
};

}  // namespace

ReceiveOutcome ReceiveBatch(const std::vector<std::string>& packages, const std::string& directory,
                            int checks, int jobs, const ReceiveCallback& callback) {
  if (directory.empty()) RaiseError("Не задана папка для пакетов"_cp);
  // the package's cryptography, as for every object of the library
  StartLibraryServices();
  MakeFolders(directory);
  CFileHandle folder(open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (folder.Get() < 0)
    RaiseError(Utf8ToCp1251("Не удалось открыть папку " + directory + ": " + SystemText(errno)));
  // The part folders of runs killed before they could remove them; a run under way writes into
  // its own within seconds, so it is never a day old.
  RemoveStaleTemporariesAt(folder.Get(), Utf8ToCp1251(directory),
                           {".*.part-[0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f]"});
  if (jobs <= 0) jobs = static_cast<int>(std::max(1U, std::thread::hardware_concurrency()));
  jobs = std::min({jobs, QV_RECEIVE_MAX_JOBS, static_cast<int>(std::max<std::size_t>(packages.size(), 1))});

  // One run for the batch: every package's chain walks share its downloads.
  std::shared_ptr<CChainDownloads> downloads = CVerificationRun::Current();
  if (!downloads)
    downloads = std::make_shared<CChainDownloads>(CChainDownloadLimits::ForBatch(packages.size()));

  std::atomic<std::size_t> next{0};
  std::mutex delivery;  // one callback at a time; guards the fields below
  bool stop = false;
  bool allHeld = true;
  std::size_t ended = 0;
  auto work = [&] {
    CReceiver receiver(checks, folder.Get(), directory, downloads);
    for (;;) {
      {
        std::lock_guard<std::mutex> guard(delivery);
        if (stop) return;
      }
      const std::size_t index = next++;
      if (index >= packages.size()) return;
      CReceivedPackage result = receiver.Receive(packages[index]);
      std::lock_guard<std::mutex> guard(delivery);
      ++ended;
      allHeld = allHeld && result.ok;
      if (callback && callback(result)) stop = true;
    }
  };
  std::vector<std::thread> threads;
  try {
    for (int i = 0; i < jobs; ++i) threads.emplace_back(work);
  } catch (...) {
    {
      std::lock_guard<std::mutex> guard(delivery);
      stop = true;
    }
    for (std::thread& thread : threads) thread.join();
    throw;
  }
  for (std::thread& thread : threads) thread.join();
  if (ended < packages.size()) return ReceiveOutcome::kStopped;
  return allHeld ? ReceiveOutcome::kAllHeld : ReceiveOutcome::kSomeFailed;
}

}  // namespace qv
