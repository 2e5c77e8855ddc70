#include "net/LoopbackServers.h"

#include <poll.h>

#include <stdexcept>

namespace qvtest {

void OneShotServer::Serve() {
  pollfd p{listener_.Fd(), POLLIN, 0};
  while (!stop_) {
    if (::poll(&p, 1, 50) <= 0) continue;
    int fd = ::accept(listener_.Fd(), nullptr, nullptr);
    if (fd < 0) return;
    char buffer[4096];
    while (request_.find("\r\n\r\n") == std::string::npos) {
      ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
      if (n <= 0) break;
      request_.append(buffer, static_cast<size_t>(n));
    }
    if (!answer_.empty()) (void)!::send(fd, answer_.data(), answer_.size(), MSG_NOSIGNAL);
    while (hold_ && !stop_) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    ::close(fd);
    return;
  }
}

CertFiles MakeServerCert(CertKind kind, const std::string& name) {
  CertFiles files{TestPath(name + ".crt"), TestPath(name + ".key")};
  const std::string newKey =
      "-newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -keyout '" + files.key + "'";
  std::string command;
  switch (kind) {
    case CertKind::kSelfSigned:
      command = "openssl req -x509 " + newKey + " -out '" + files.cert +
                "' -subj /CN=127.0.0.1 -addext subjectAltName=IP:127.0.0.1 -days 30";
      break;
    case CertKind::kWrongHost:
      command = "openssl req -x509 " + newKey + " -out '" + files.cert +
                "' -subj /CN=wrong.example -addext subjectAltName=DNS:wrong.example -days 30";
      break;
    case CertKind::kExpired: {
      const std::string dir = TestPath(name + "-ca");
      WriteBytes(dir + ".cnf",
                 "[ca]\ndefault_ca = d\n[d]\ndatabase = " + dir + "/index.txt\nnew_certs_dir = " + dir +
                     "\ndefault_md = sha256\npolicy = p\nrand_serial = yes\n[p]\ncommonName = supplied\n");
      command = "mkdir -p '" + dir + "' && touch '" + dir + "/index.txt' && openssl req -new " + newKey +
                " -out '" + dir + "/req.csr' -subj /CN=127.0.0.1 && openssl ca -batch -config '" + dir +
                ".cnf' -selfsign -keyfile '" + files.key + "' -in '" + dir + "/req.csr' -out '" + files.cert +
                "' -startdate 20200101000000Z -enddate 20210101000000Z";
      break;
    }
  }
  std::string output;
  if (RunCommand(command + " 2>&1", &output) != 0) throw std::runtime_error("openssl failed: " + output);
  return files;
}

}  // namespace qvtest
