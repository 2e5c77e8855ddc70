// Saving and opening package archives (save/, open/: the archive adapter on a folder;
// pkg-save/, pkg-open/: a whole package with its manifest): (a) 200 documents of 10 KiB,
// (b) one 100 MiB compressible text, (c) one 100 MiB of random bytes. The inputs and our archives stay in
// $QV_BENCH_DATA/archive, where the peer commands of bench/peers.tsv (zip -6, unzip) work
// on the same files. The peak memory of one save and one open, each in a child process
// of its own, goes to standard error.
#include <benchmark/benchmark.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <random>
#include <string>

#include "foundation/CodePage.h"
#include "foundation/Files.h"
#include "foundation/StrArray.h"
#include "package/Archive.h"
#include "package/VorlentDoc.h"
#include "package/VorlentDocument.h"

namespace {

std::string g_root;

std::string Folder(const std::string& name) {
  return g_root + "/" + name;
}

void MakeInputs() {
  const char* data = std::getenv("QV_BENCH_DATA");
  g_root = std::string(data && *data ? data : "/tmp") + "/archive";
  if (qv::IsDirectory(Folder("c"))) return;  // made by an earlier run
  qv::ForceDirectories(g_root);
  std::mt19937_64 random(42);
  auto text = [&](std::size_t size) {
    static const char* words[] = {"заявление ",    "регистрация ",      "документ ",   "общество ",
                                  "ограниченной ", "ответственностью ", "1234567890 ", "\r\n"};
    std::string out;
    out.reserve(size + 32);
    while (out.size() < size) out += qv::Utf8ToCp1251(words[random() % 8]);
    out.resize(size);
    return out;
  };
  qv::ForceDirectories(Folder("a"));
  for (int i = 0; i < 200; ++i)
    qv::WriteFileBytes(Folder("a") + "/doc" + std::to_string(i) + ".xml", text(10240));
  qv::ForceDirectories(Folder("b"));
  qv::WriteFileBytes(Folder("b") + "/big.txt", text(100u << 20));
  qv::ForceDirectories(Folder("c"));
  std::string noise(100u << 20, '\0');
  for (std::size_t i = 0; i + 8 <= noise.size(); i += 8) {
    std::uint64_t v = random();
    std::memcpy(&noise[i], &v, 8);
  }
  qv::WriteFileBytes(Folder("c") + "/random.bin", noise);
}

void BM_Save(benchmark::State& state, const std::string& input) {
  for (auto _ : state) qv::COsAbbreviaTool::ArchiveFolder(Folder(input), "*.*", Folder(input + ".qv.zip"));
}
void BM_Open(benchmark::State& state, const std::string& input) {
  for (auto _ : state) {
    qv::DeleteFolderTree(Folder(input + ".qv.out"), true);
    qv::COsAbbreviaTool::ExtractArchive(Folder(input + ".qv.out"), Folder(input + ".qv.zip"), false);
  }
}
// A package holding the files of one input folder as applications.
std::unique_ptr<qv::CVorlentDoc> MakePackage(const std::string& input) {
  auto doc = std::make_unique<qv::CVorlentDoc>();
  doc->New();
  doc->SetTransactionType(5);
  doc->SetSenderType(4);
  doc->SetSenderIdentifier("7701234567");
  doc->SetReceiverType(2);
  doc->SetReceiverIdentifier("7746");
  qv::CStrArray names;
  qv::ListFiles(Folder(input), "*", qv::kListFiles, names);
  for (int i = 0; i < names.Count(); ++i) {
    auto entry = doc->AddDocument();
    entry->SetKind(19);  // attached document
    entry->SetContentType("application/octet-stream");
    entry->SetSourceFileName(names.Key(i));
    entry->SetContent(qv::ReadFileBytes(Folder(input) + "/" + names.Key(i)));
  }
  return doc;
}

std::map<std::string, std::unique_ptr<qv::CVorlentDoc>> g_packages;

void BM_PackageSave(benchmark::State& state, const std::string& input) {
  auto& doc = g_packages[input];
  if (!doc) doc = MakePackage(input);
  for (auto _ : state) doc->Save(Folder(input + ".pkg.zip"));
  doc.reset();
}
void BM_PackageOpen(benchmark::State& state, const std::string& input) {
  for (auto _ : state) {
    qv::CVorlentDoc doc;
    doc.Open(Folder(input + ".pkg.zip"));
  }
}

// Peak resident memory (KiB) of the package's save (with the package made in memory
// first) and open, each in a child of its own.
long PackagePeakKiB(const std::string& input, bool save) {
  pid_t pid = fork();
  if (pid == 0) {
    if (save) {
      MakePackage(input)->Save(Folder(input + ".mem.pkg.zip"));
    } else {
      qv::CVorlentDoc doc;
      doc.Open(Folder(input + ".pkg.zip"));
    }
    _exit(0);
  }
  int status = 0;
  struct rusage usage {};
  wait4(pid, &status, 0, &usage);
  return usage.ru_maxrss;
}

// Peak resident memory (KiB) of one save and one open, each in a child of its own.
long PeakKiB(const std::string& input, bool save) {
  pid_t pid = fork();
  if (pid == 0) {
    if (save) {
      qv::COsAbbreviaTool::ArchiveFolder(Folder(input), "*.*", Folder(input + ".mem.zip"));
    } else {
      qv::DeleteFolderTree(Folder(input + ".mem.out"), true);
      qv::COsAbbreviaTool::ExtractArchive(Folder(input + ".mem.out"), Folder(input + ".qv.zip"), false);
    }
    _exit(0);
  }
  int status = 0;
  struct rusage usage {};
  wait4(pid, &status, 0, &usage);
  return usage.ru_maxrss;
}

}  // namespace

int main(int argc, char** argv) {
  MakeInputs();
  const char* inputs[] = {"a", "b", "c"};
  for (const char* input : inputs) {
    std::string in = input;
    benchmark::RegisterBenchmark(("save/" + in).c_str(), BM_Save, in)->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark(("open/" + in).c_str(), BM_Open, in)->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark(("pkg-save/" + in).c_str(), BM_PackageSave, in)
        ->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark(("pkg-open/" + in).c_str(), BM_PackageOpen, in)
        ->Unit(benchmark::kMillisecond);
  }
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  // target for a package: below 1.5 times the largest document plus 64 MiB
  std::fprintf(stderr, "\n%-6s %14s %14s %18s %18s\n", "input", "save peak MiB", "open peak MiB",
               "pkg-save peak MiB", "pkg-open peak MiB");
  for (const char* input : inputs) {
    std::fprintf(stderr, "%-6s %14.1f %14.1f %18.1f %18.1f\n", input, PeakKiB(input, true) / 1024.0,
                 PeakKiB(input, false) / 1024.0, PackagePeakKiB(input, true) / 1024.0,
                 PackagePeakKiB(input, false) / 1024.0);
  }
  return 0;
}
