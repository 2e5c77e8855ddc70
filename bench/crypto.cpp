// Signing, verifying (the signature alone, and with the chain from the local stores),
// encrypting and decrypting 1 MiB and 100 MiB documents beside the `openssl cms` command on
// the same files with the same GOST engine. Prints each timing, the ratio to openssl, and the
// peak memory of decryption (ours measured in a child process) against the document size.
#include <benchmark/benchmark.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <random>
#include <string>

#include "crypto/CryptoAPI20Tool.h"
#include "crypto/CryptoSignature.h"
#include "crypto/CryptoUtils.h"
#include "foundation/Files.h"
#include "platform/KeyContainer.h"
#include "validation/ChainBuilder.h"

namespace {

std::string g_root;
std::map<std::string, std::string> g_content, g_signature, g_encrypted;
std::unique_ptr<qv::CCryptCertificate> g_signer;
qv::CertContextPtr g_recipient;

std::string Path(const std::string& name) {
  return g_root + "/" + name;
}
std::string Pki(const std::string& name) {
  return g_root + "/pki/" + name;
}

void Run(const std::string& command) {
  std::string line = "OPENSSL_CONF='" + Path("gost.cnf") + "' " + command;
  if (std::system(line.c_str()) != 0) std::fprintf(stderr, "failed: %s\n", line.c_str());
}

void Setup() {
  char pattern[] = "/tmp/qvcryptobench.XXXXXX";
  g_root = mkdtemp(pattern);
  setenv("QELVORLENT_HOME", Path("home").c_str(), 1);
  setenv("TMP", g_root.c_str(), 1);
  qv::WriteFileBytes(Path("gost.cnf"),
                     "openssl_conf = openssl_def\n[openssl_def]\nengines = engine_section\n[engine_section]\n"
                     "gost = gost_section\n[gost_section]\nengine_id = gost\ndefault_algorithms = ALL\n");
  std::string make =
      "bash '" + std::string(QV_SOURCE_DIR) + "/tests/pki/make-test-pki.sh' '" + Path("pki") + "'";
  if (std::system(make.c_str()) != 0) std::fprintf(stderr, "failed: %s\n", make.c_str());

  using U = qv::CCryptoAPI20Utils;
  qv::ImportPkcs8Key(false, "bench", qv::ReadFileBytes(Pki("user.key")), {}, {});
  qv::ProviderContextPtr provider = qv::AcquireProviderContext({}, {}, 75, qv::kCryptVerifyContext);
  qv::CertContextPtr user = U::CertificateFromText(qv::ReadFileBytes(Pki("user.pem")));
  U::AddToStore(provider.get(), qv::kStoreCurrentUser, qv::kStoreMy, "bench", user);
  U::AddToStore(nullptr, qv::kStoreCurrentUser, qv::kStoreRoot, {},
                U::CertificateFromText(qv::ReadFileBytes(Pki("root.pem"))));
  U::AddToStore(nullptr, qv::kStoreCurrentUser, qv::kStoreCA, {},
                U::CertificateFromText(qv::ReadFileBytes(Pki("inter.pem"))));
  qv::WriteFileBytes(Path("authorities.pem"),
                     qv::ReadFileBytes(Pki("root.pem")) + qv::ReadFileBytes(Pki("inter.pem")));
  g_signer = qv::CCryptCertificate::Create(
      U::FindBySha1(nullptr, qv::kStoreCurrentUser, qv::kStoreMy, user->Sha1Text()));
  g_recipient = user;
  qv::InstallStrictChainBuilder();

  std::mt19937_64 random(7);
  for (auto [name, size] : {std::pair<std::string, std::size_t>{"1MiB", 1u << 20}, {"100MiB", 100u << 20}}) {
    std::string data(size, '\0');
    for (std::size_t i = 0; i + 8 <= data.size(); i += 8) {
      std::uint64_t v = random();
      std::memcpy(&data[i], &v, 8);
    }
    qv::WriteFileBytes(Path(name + ".bin"), data);
    g_signature[name] = qv::CCryptTool::Sign(*g_signer, data, false);
    qv::WriteFileBytes(Path(name + ".p7s"), g_signature[name]);
    g_encrypted[name] = qv::CCryptoAPI20Tool::EncryptMessage(g_recipient, data);
    qv::WriteFileBytes(Path(name + ".p7m"), g_encrypted[name]);
    g_content[name] = std::move(data);
  }
}

std::string OpenSslSign(const std::string& n) {
  return "openssl cms -sign -binary -nosmimecap -in '" + Path(n + ".bin") + "' -signer '" + Pki("user.pem") +
         "' -inkey '" + Pki("user.key") + "' -outform DER -out '" + Path(n + ".ossl.p7s") + "'";
}
std::string OpenSslVerify(const std::string& n, bool chain) {
  return "openssl cms -verify -binary -inform DER -in '" + Path(n + ".p7s") + "' -content '" +
         Path(n + ".bin") + (chain ? "' -CAfile '" + Path("authorities.pem") + "'" : "' -noverify") +
         " -out /dev/null 2>/dev/null";
}
std::string OpenSslEncrypt(const std::string& n) {
  return "openssl cms -encrypt -gost89 -binary -in '" + Path(n + ".bin") + "' -outform DER -out '" +
         Path(n + ".ossl.p7m") + "' '" + Pki("user.pem") + "'";
}
std::string OpenSslDecrypt(const std::string& n) {
  return "openssl cms -decrypt -debug_decrypt -binary -inform DER -in '" + Path(n + ".p7m") + "' -inkey '" +
         Pki("user.key") + "' -recip '" + Pki("user.pem") + "' -out '" + Path(n + ".ossl.out") + "'";
}

void BM_Sign(benchmark::State& state, const std::string& n) {
  for (auto _ : state) benchmark::DoNotOptimize(qv::CCryptTool::Sign(*g_signer, g_content[n], false));
}
void BM_Verify(benchmark::State& state, const std::string& n) {
  qv::CCryptoProvider provider;
  provider.Open(75, {}, false, false);
  qv::CCryptoSignatureConfig config;
  config.provider = &provider;
  config.options = 0;
  qv::CCryptoSignature signature;
  signature.Open(&config);
  for (auto _ : state) signature.Verify(g_content[n], g_signature[n], 0);
}
void BM_VerifyChain(benchmark::State& state, const std::string& n) {
  for (auto _ : state) {
    qv::CCryptoAPI20Tool::VerifyDetached(true, g_content[n], g_signature[n], false, false, 0, nullptr);
  }
}
void BM_Encrypt(benchmark::State& state, const std::string& n) {
  for (auto _ : state)
    benchmark::DoNotOptimize(qv::CCryptoAPI20Tool::EncryptMessage(g_recipient, g_content[n]));
}
void BM_Decrypt(benchmark::State& state, const std::string& n) {
  for (auto _ : state)
    benchmark::DoNotOptimize(qv::CCryptoAPI20Tool::DecryptWithPersonalStore(true, g_encrypted[n]));
}
void BM_Command(benchmark::State& state, const std::string& command) {
  for (auto _ : state) Run(command);
}

long StatusKiB(const char* field) {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind(field, 0) == 0) return std::strtol(line.c_str() + std::strlen(field), nullptr, 10);
  }
  return 0;
}

// Growth of the peak resident memory (KiB) during one decryption, in a child of its own.
long DecryptPeakGrowthKiB(const std::string& n) {
  int pipeFds[2];
  if (pipe(pipeFds) != 0) return 0;
  pid_t pid = fork();
  if (pid == 0) {
    close(pipeFds[0]);
    std::ofstream("/proc/self/clear_refs") << "5";  // reset the peak to the current size
    long before = StatusKiB("VmRSS:");
    std::string plain = qv::CCryptoAPI20Tool::DecryptWithPersonalStore(true, g_encrypted[n]);
    long growth = StatusKiB("VmHWM:") - before;
    (void)!write(pipeFds[1], &growth, sizeof growth);
    _exit(plain.size() == g_content[n].size() ? 0 : 1);
  }
  close(pipeFds[1]);
  long growth = 0;
  (void)!read(pipeFds[0], &growth, sizeof growth);
  close(pipeFds[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  return growth;
}

// Peak resident memory (KiB) of one openssl decryption.
long OpenSslDecryptPeakKiB(const std::string& n) {
  pid_t pid = fork();
  if (pid == 0) {
    std::string command = "OPENSSL_CONF='" + Path("gost.cnf") + "' exec " + OpenSslDecrypt(n);
    execl("/bin/sh", "sh", "-c", command.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  int status = 0;
  struct rusage usage {};
  wait4(pid, &status, 0, &usage);
  return usage.ru_maxrss;
}

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
  Setup();
  const char* sizes[] = {"1MiB", "100MiB"};
  for (const char* size : sizes) {
    std::string n = size;
    int iterations = n == "1MiB" ? 20 : 2;
    auto add = [&](const std::string& name, auto function, const std::string& argument) {
      benchmark::RegisterBenchmark((name + "/" + n).c_str(), function, argument)
          ->Unit(benchmark::kMillisecond)
          ->UseRealTime()
          ->Iterations(iterations);
    };
    add("sign", BM_Sign, n);
    add("openssl-sign", BM_Command, OpenSslSign(n));
    add("verify", BM_Verify, n);
    add("openssl-verify", BM_Command, OpenSslVerify(n, false));
    add("verify-chain", BM_VerifyChain, n);
    add("openssl-verify-chain", BM_Command, OpenSslVerify(n, true));
    add("encrypt", BM_Encrypt, n);
    add("openssl-encrypt", BM_Command, OpenSslEncrypt(n));
    add("decrypt", BM_Decrypt, n);
    add("openssl-decrypt", BM_Command, OpenSslDecrypt(n));
  }
  benchmark::Initialize(&argc, argv);
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);

  std::fprintf(stderr, "\n%-7s %8s %8s %8s %8s %8s %22s %18s\n", "size", "sign", "verify", "v-chain",
               "encrypt", "decrypt", "decrypt peak/doc ours", "openssl");
  for (const char* size : sizes) {
    std::string n = size;
    auto ratio = [&](const std::string& op) {
      auto a = reporter.times.find(op + "/" + n);
      auto b = reporter.times.find("openssl-" + op + "/" + n);
      return (a == reporter.times.end() || b == reporter.times.end() || b->second == 0)
                 ? 0.0
                 : a->second / b->second;
    };
    double doc = static_cast<double>(g_content[n].size()) / 1024.0;
    double growth = DecryptPeakGrowthKiB(n) / doc;
    double input = static_cast<double>(g_encrypted[n].size()) / 1024.0 / doc;
    std::fprintf(stderr, "%-7s %8.2f %8.2f %8.2f %8.2f %8.2f %8.2f (+%.2f input) %18.2f\n", size,
                 ratio("sign"), ratio("verify"), ratio("verify-chain"), ratio("encrypt"), ratio("decrypt"),
                 growth, input, OpenSslDecryptPeakKiB(n) / doc);
  }
  std::fflush(stdout);
  // Certificates go before OpenSSL's own cleanup at exit.
  g_signer.reset();
  g_recipient.reset();
  qv::DeleteFolderTree(g_root, true);
  return 0;
}
