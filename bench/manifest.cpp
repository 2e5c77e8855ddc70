// Writing and reading a manifest of 10,000 documents. The program leaves the manifest it
// reads in $QV_BENCH_DATA/manifest-10000.xml, where the peer command (xmllint) reads it too.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <string>

#include "foundation/CodePage.h"
#include "foundation/Files.h"
#include "manifest/XMLGpr.h"

using namespace qv;

namespace {

constexpr int kDocuments = 10000;

void Fill(CXMLGprExtPackage& p) {
  p.SetThreadType("РегистрацияЮЛ"_cp);
  p.SetThreadTypeCode("ЮЛ"_cp);
  p.SetTransactType("ДокумРегистрацияЮЛ"_cp);
  p.SetTransactTypeCode("01");
  p.SetProgVersion("QelVorlent");
  p.Sender().SetSubjectIdentifier("1027700132195");
  p.Sender().SetSubjectType(kSubjectApplicant);
  p.Receiver().SetSubjectIdentifier("7746");
  p.Receiver().SetSubjectType(kSubjectTaxAuthority);
  for (int i = 0; i < kDocuments; ++i) {
    CXMLGprDocument& d = *p.Documents().AddDocument();
    d.SetDocumentTypeCode(i % 2 ? "01" : "02");
    d.SetDocumentType("Заявление о государственной регистрации"_cp);
    d.SetContentType("application/pdf");
    d.SetEncrypted(i % 3 == 0);
    d.SetSourceFileName("C:\\Документы\\Заявление Р11001 № "_cp + std::to_string(i) + ".pdf");
    d.SetFileName("Заявление_"_cp + std::to_string(i) + ".pdf");
    for (int s = 0; s < 2; ++s) {
      CXMLGprSignature& sig = *d.Signatures().AddSignature();
      sig.SetFileName(d.FileName() + "." + std::to_string(s) + ".p7s");
      sig.SetRole(s ? kSubjectNotary : kSubjectApplicant);
    }
  }
}

std::string DataFolder() {
  const char* folder = std::getenv("QV_BENCH_DATA");
  return folder && *folder ? folder : ".";
}

const std::string& Sample() {
  static const std::string text = [] {
    CXMLGprExtPackage p;
    Fill(p);
    return p.SaveToText();
  }();
  return text;
}

void BM_ManifestWrite(benchmark::State& state) {
  CXMLGprExtPackage p;
  Fill(p);
  for (auto _ : state) {
    std::string text = p.SaveToText();
    benchmark::DoNotOptimize(text.data());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(Sample().size()));
}
BENCHMARK(BM_ManifestWrite)->Unit(benchmark::kMillisecond);

void BM_ManifestRead(benchmark::State& state) {
  const std::string& text = Sample();
  for (auto _ : state) {
    CXMLGprExtPackage p;
    p.SetText(text);
    p.Parse();
    benchmark::DoNotOptimize(p.Documents().Count());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(text.size()));
}
BENCHMARK(BM_ManifestRead)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
  WriteFileBytes(CombinePath(DataFolder(), "manifest-10000.xml"), Sample());
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
