// Saving and opening packages beside `zip -6` and `unzip` on the same files: (a) 200
// documents of 10 KiB, (b) one 100 MiB compressible text, (c) one 100 MiB of random
// bytes. Rows "save"/"open" are the archive adapter alone on a folder, "pkg-save"/
// "pkg-open" the whole package (entries stored into the working folder, manifest, archive
// written beside the target and renamed; extraction, manifest, entries read into memory).
// Prints each timing, the ratios to the peer commands and the peak memory of our side
// (each measured in a child process of its own).
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

namespace {

std::string g_root;

std::string Folder(const std::string& name) {
  return g_root + "/" + name;
}

void MakeInputs() {
  char pattern[] = "/tmp/qvbench.XXXXXX";
  g_root = mkdtemp(pattern);
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

void Run(const std::string& command) {
  if (std::system(command.c_str()) != 0) std::fprintf(stderr, "failed: %s\n", command.c_str());
}

void BM_Save(benchmark::State& state, const std::string& input) {
  for (auto _ : state) qv::COsAbbreviaTool::ArchiveFolder(Folder(input), "*.*", Folder(input + ".qv.zip"));
}
void BM_ZipSave(benchmark::State& state, const std::string& input) {
  for (auto _ : state) {
    std::remove((Folder(input) + ".peer.zip").c_str());
    Run("zip -q -6 -j '" + Folder(input) + ".peer.zip' '" + Folder(input) + "'/*");
  }
}
void BM_Open(benchmark::State& state, const std::string& input) {
  for (auto _ : state) {
    qv::DeleteFolderTree(Folder(input + ".qv.out"), true);
    qv::COsAbbreviaTool::ExtractArchive(Folder(input + ".qv.out"), Folder(input + ".qv.zip"), false);
  }
}
void BM_Unzip(benchmark::State& state, const std::string& input) {
  for (auto _ : state) {
    qv::DeleteFolderTree(Folder(input + ".peer.out"), true);
    Run("unzip -q -o '" + Folder(input) + ".peer.zip' -d '" + Folder(input) + ".peer.out'");
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

// Collects the real times so that the ratios can be printed at the end.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) times[run.run_name.function_name] = run.GetAdjustedRealTime();
    ConsoleReporter::ReportRuns(runs);
  }
  std::map<std::string, double> times;
};

}  // namespace

int main(int argc, char** argv) {
  MakeInputs();
  const char* inputs[] = {"a", "b", "c"};
  for (const char* input : inputs) {
    std::string in = input;
    benchmark::RegisterBenchmark(("save/" + in).c_str(), BM_Save, in)
        ->Unit(benchmark::kMillisecond)
        ->UseRealTime();
    benchmark::RegisterBenchmark(("zip-6/" + in).c_str(), BM_ZipSave, in)
        ->Unit(benchmark::kMillisecond)
        ->UseRealTime();
    benchmark::RegisterBenchmark(("open/" + in).c_str(), BM_Open, in)
        ->Unit(benchmark::kMillisecond)
        ->UseRealTime();
    benchmark::RegisterBenchmark(("unzip/" + in).c_str(), BM_Unzip, in)
        ->Unit(benchmark::kMillisecond)
        ->UseRealTime();
    benchmark::RegisterBenchmark(("pkg-save/" + in).c_str(), BM_PackageSave, in)
        ->Unit(benchmark::kMillisecond)
        ->UseRealTime();
    benchmark::RegisterBenchmark(("pkg-open/" + in).c_str(), BM_PackageOpen, in)
        ->Unit(benchmark::kMillisecond)
        ->UseRealTime();
  }
  benchmark::Initialize(&argc, argv);
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);

  auto ratio = [&](const std::string& ours, const std::string& peer, const std::string& in) {
    auto a = reporter.times.find(ours + "/" + in);
    auto b = reporter.times.find(peer + "/" + in);
    return (a == reporter.times.end() || b == reporter.times.end() || b->second == 0) ? 0.0
                                                                                      : a->second / b->second;
  };
  std::printf("\nArchive adapter on a folder\n%-6s %14s %14s %14s %14s\n", "input", "save/zip-6",
              "open/unzip", "save peak MiB", "open peak MiB");
  for (const char* input : inputs) {
    std::string in = input;
    std::printf("%-6s %14.2f %14.2f %14.1f %14.1f\n", input, ratio("save", "zip-6", in),
                ratio("open", "unzip", in), PeakKiB(in, true) / 1024.0, PeakKiB(in, false) / 1024.0);
  }
  std::printf(
      "\nWhole package (targets: a, b within 1.15 of zip and unzip; c saved 3x faster than zip -6;\n"
      "peak below 1.5 x largest document + 64 MiB)\n%-6s %14s %14s %14s %14s %14s\n",
      "input", "pkg-save/zip-6", "pkg-open/unzip", "save peak MiB", "open peak MiB", "limit MiB");
  for (const char* input : inputs) {
    std::string in = input;
    double largest = in == "a" ? 10.0 / 1024 : 100.0;
    std::printf("%-6s %14.2f %14.2f %14.1f %14.1f %14.1f\n", input, ratio("pkg-save", "zip-6", in),
                ratio("pkg-open", "unzip", in), PackagePeakKiB(in, true) / 1024.0,
                PackagePeakKiB(in, false) / 1024.0, 1.5 * largest + 64);
  }
  qv::DeleteFolderTree(g_root, true);
  return 0;
}
