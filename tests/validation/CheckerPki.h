// The certificates and CRLs of the certificate checker's tests (make-checker-pki.sh, once per
// build beside the test executable) and certificates with distribution points made per test,
// all issued by the intermediate CA of the test PKI.
#pragma once

#include <ctime>
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
// points are `urls` in order, issued by the test PKI's `issuer` (key and PEM certificate);
// returns its DER bytes.
inline std::string IssueWithDistributionPoints(const std::string& name, const std::string& serialHex,
                                               const std::vector<std::string>& urls,
                                               const std::string& issuer = "inter") {
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
      OpenSsl("x509 -req -in '" + CheckerPath("user.csr") + "' -CA '" + PkiPath(issuer + ".pem") +
              "' -CAkey '" + PkiPath(issuer + ".key") + "' -md_gost12_256 -days 700 -set_serial 0x" +
              serialHex + " -extfile '" + ext + "' -extensions cdp -outform DER -out '" + out + "' 2>&1"),
      &output);
  if (rc != 0) throw std::runtime_error("openssl x509 -req failed: " + output);
  return ReadBytes(out);
}

}  // namespace qvtest

namespace qvtest {

// A certificate with every name field and the policy 1.2.643.100.113.1, valid from `notBefore`
// to `notAfter` (Unix times); returns its DER bytes.
inline std::string IssueWithValidity(const std::string& name, long long notBefore, long long notAfter) {
  auto asn1Time = [](long long seconds) {
    std::time_t t = static_cast<std::time_t>(seconds);
    std::tm parts{};
    ::gmtime_r(&t, &parts);
    char text[32];
    std::strftime(text, sizeof text, "%Y%m%d%H%M%SZ", &parts);
    return std::string(text);
  };
  std::string dir = TestPath(name + "-ca");
  RunCommand("mkdir -p '" + dir + "'");
  WriteBytes(dir + "/index.txt", "");
  WriteBytes(dir + "/serial.txt", "4242\n");
  std::string conf = dir + "/openssl.cnf";
  WriteBytes(conf,
             "openssl_conf = openssl_def\n[openssl_def]\nengines = engine_section\n[engine_section]\n"
             "gost = gost_section\n[gost_section]\nengine_id = gost\ndefault_algorithms = ALL\n"
             "[ca_test]\ndatabase = " +
                 dir + "/index.txt\nserial = " + dir + "/serial.txt\nnew_certs_dir = " + dir +
                 "\ndefault_md = md_gost12_256\npolicy = policy_any\nunique_subject = no\n[policy_any]\n"
                 "[ext]\nbasicConstraints = CA:false\ncertificatePolicies = 1.2.643.100.113.1\n");
  std::string pem = dir + "/out.pem";
  std::string der = TestPath(name + ".cer");
  std::string output;
  int rc = RunCommand("OPENSSL_CONF='" + conf + "' openssl ca -config '" + conf +
                          "' -batch -notext -preserveDN -utf8 -name ca_test -cert '" + PkiPath("inter.pem") +
                          "' -keyfile '" + PkiPath("inter.key") + "' -extensions ext -startdate " +
                          asn1Time(notBefore) + " -enddate " + asn1Time(notAfter) + " -in '" +
                          CheckerPath("user.csr") + "' -out '" + pem + "' 2>&1 && OPENSSL_CONF='" + conf +
                          "' openssl x509 -in '" + pem + "' -outform DER -out '" + der + "' 2>&1",
                      &output);
  if (rc != 0) throw std::runtime_error("openssl ca failed: " + output);
  return ReadBytes(der);
}

}  // namespace qvtest
