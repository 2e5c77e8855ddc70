// The certificates and CRLs of the certificate checker's tests (make-checker-pki.sh, once per
// build beside the test executable) and certificates with distribution points made per test,
// all issued by the intermediate CA of the test PKI.
#pragma once

#include <string>
#include <vector>

#include "pki/TestPki.h"

namespace qvtest {

inline const std::string& CheckerPkiFolder() {
  static const std::string folder = [] {
    std::string script = std::string(QV_SOURCE_DIR) + "/tests/validation/make-checker-pki.sh";
    std::string dir = ExecutableFolder() + "/checker-pki-" +
                      std::to_string(std::hash<std::string>()(ReadBytes(script) + PkiFolder()));
    std::string output;
    int rc = RunCommand("bash '" + script + "' '" + PkiFolder() + "' '" + dir + "' 2>&1", &output);
    if (rc != 0) throw std::runtime_error("make-checker-pki.sh failed: " + output);
    return dir;
  }();
  return folder;
}

inline std::string CheckerPath(const std::string& name) {
  return CheckerPkiFolder() + "/" + name;
}
inline std::string CheckerBytes(const std::string& name) {
  return ReadBytes(CheckerPath(name));
}

// A certificate with every name field and the policy 1.2.643.100.113.1 whose distribution
// points are `urls` in order; returns its DER bytes.
inline std::string IssueWithDistributionPoints(const std::string& name, const std::string& serialHex,
                                               const std::vector<std::string>& urls) {
  std::string points;
  for (const std::string& url : urls) points += (points.empty() ? "URI:" : ", URI:") + url;
  std::string ext = TestPath(name + ".ext");
  WriteBytes(ext,
             "[cdp]\nbasicConstraints = CA:false\ncertificatePolicies = 1.2.643.100.113.1\n"
             "crlDistributionPoints = " +
                 points + "\n");
  std::string out = TestPath(name + ".cer");
  std::string output;
  int rc = RunCommand(
      OpenSsl("x509 -req -in '" + CheckerPath("user.csr") + "' -CA '" + PkiPath("inter.pem") + "' -CAkey '" +
              PkiPath("inter.key") + "' -md_gost12_256 -days 700 -set_serial 0x" + serialHex + " -extfile '" +
              ext + "' -extensions cdp -outform DER -out '" + out + "' 2>&1"),
      &output);
  if (rc != 0) throw std::runtime_error("openssl x509 -req failed: " + output);
  return ReadBytes(out);
}

}  // namespace qvtest
