// Saving and opening package archives beside `zip -6` and `unzip` on the same files:
// (a) 200 documents of 10 KiB, (b) one 100 MiB compressible text, (c) one 100 MiB of
// random bytes. Prints each timing, the ratio to the peer command and the peak memory
// of our side (measured in a child process).
#include <benchmark/benchmark.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <random>
#include <string>

#include "foundation/CodePage.h"
#include "foundation/Files.h"
#include "package/Archive.h"

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
  }
  benchmark::Initialize(&argc, argv);
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);

  std::printf("\n%-6s %14s %14s %14s %14s\n", "input", "save/zip-6", "open/unzip", "save peak MiB",
              "open peak MiB");
  for (const char* input : inputs) {
    std::string in = input;
    auto ratio = [&](const std::string& ours, const std::string& peer) {
      auto a = reporter.times.find(ours + "/" + in);
      auto b = reporter.times.find(peer + "/" + in);
      return (a == reporter.times.end() || b == reporter.times.end() || b->second == 0)
                 ? 0.0
                 : a->second / b->second;
    };
    std::printf("%-6s %14.2f %14.2f %14.1f %14.1f\n", input, ratio("save", "zip-6"), ratio("open", "unzip"),
                PeakKiB(in, true) / 1024.0, PeakKiB(in, false) / 1024.0);
  }
  qv::DeleteFolderTree(g_root, true);
  return 0;
}
