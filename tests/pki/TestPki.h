// The test PKI made by tests/pki/make-test-pki.sh with the openssl command-line tool and the
// GOST engine, once per build (beside the test executable), and helpers to run openssl.
#pragma once

#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <functional>
#include <stdexcept>
#include <string>

#include "common/TestEnv.h"

namespace qvtest {

inline std::string ExecutableFolder() {
  char buffer[4096];
  ssize_t n = ::readlink("/proc/self/exe", buffer, sizeof buffer - 1);
  std::string path(buffer, n > 0 ? static_cast<std::size_t>(n) : 0);
  return path.substr(0, path.find_last_of('/'));
}

// The folder of the test PKI (UTF-8 path); made on first use.
inline const std::string& PkiFolder() {
  static const std::string folder = [] {
    // A changed script makes a new PKI folder.
    std::string script = std::string(QV_SOURCE_DIR) + "/tests/pki/make-test-pki.sh";
    std::string dir =
        ExecutableFolder() + "/test-pki-" + std::to_string(std::hash<std::string>()(ReadBytes(script)));
    std::string output;
    int rc = RunCommand("bash '" + script + "' '" + dir + "' 2>&1", &output);
    if (rc != 0) throw std::runtime_error("make-test-pki.sh failed: " + output);
    return dir;
  }();
  return folder;
}

inline std::string PkiPath(const std::string& name) {
  return PkiFolder() + "/" + name;
}
inline std::string PkiBytes(const std::string& name) {
  return ReadBytes(PkiPath(name));
}
inline std::string ConformancePath(const std::string& name) {
  return DataPath("conformance/" + name);
}

// An openssl command line with the GOST engine loaded through a configuration of the test's own.
inline std::string OpenSsl(const std::string& arguments) {
  std::string conf = TestPath("openssl-gost.cnf");
  std::ifstream probe(conf);
  if (!probe) {
    WriteBytes(conf,
               "openssl_conf = openssl_def\n[openssl_def]\nengines = engine_section\n[engine_section]\n"
               "gost = gost_section\n[gost_section]\nengine_id = gost\ndefault_algorithms = ALL\n");
  }
  return "OPENSSL_CONF='" + conf + "' openssl " + arguments;
}

// A detached DER signature of the file `content` at `out`, made by `openssl cms -sign` with the
// certificate and key at the paths given and the further `options`. The command's exit status;
// its output in *log.
inline int OpensslSignDetached(const std::string& content, const std::string& cert, const std::string& key,
                               const std::string& out, std::string* log = nullptr,
                               const std::string& options = {}) {
  return RunCommand(OpenSsl("cms -sign -binary -in '" + content + "' -signer '" + cert + "' -inkey '" + key +
                            "'" + options + " -outform DER -out '" + out + "' 2>&1"),
                    log);
}

}  // namespace qvtest
