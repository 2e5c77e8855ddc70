// The chain PKI of the key-management tests, made once per test program with every URL on one
// loopback server that lives as long as the program, and helpers around it.
#pragma once

#include <gtest/gtest.h>

#include <map>
#include <mutex>
#include <string>

#include "common/TestEnv.h"
#include "foundation/Errors.h"
#include "net/LoopbackServers.h"
#include "pki/TestPki.h"

namespace qvtest {

class KeyPki {
 public:
  static KeyPki& Get() {
    static KeyPki pki;
    return pki;
  }
  std::string Path(const std::string& name) const { return folder_ + "/" + name; }
  std::string File(const std::string& name) const { return ReadBytes(Path(name)); }
  std::string Url(const std::string& path) const { return server_.Url("/" + path); }
  void Serve(const std::string& path, const std::string& body) {
    std::lock_guard<std::mutex> lock(mutex_);
    served_[path] = body;
  }
  void ServeNothing() {
    std::lock_guard<std::mutex> lock(mutex_);
    served_.clear();
  }

 private:
  KeyPki() {
    server_->Get(R"(/(.+))", [this](const httplib::Request& request, httplib::Response& response) {
      std::lock_guard<std::mutex> lock(mutex_);
      auto found = served_.find(request.matches[1]);
      if (found == served_.end()) {
        response.status = 404;
        response.set_content("not here", "text/plain");
        return;
      }
      response.set_content(found->second, "application/octet-stream");
    });
    int port = server_.Start();
    folder_ = ExecutableFolder() + "/key-pki-" + std::to_string(::getpid());
    std::string output;
    if (RunCommand("rm -rf '" + folder_ + "' && bash '" + std::string(QV_SOURCE_DIR) +
                       "/tests/validation/make-chain-pki.sh' '" + folder_ + "' " + std::to_string(port) +
                       " 2>&1",
                   &output) != 0) {
      throw std::runtime_error("make-chain-pki.sh failed: " + output);
    }
  }
  ~KeyPki() {
    server_.Stop();
    RunCommand("rm -rf '" + folder_ + "'");
  }

  HttpServer server_;
  std::string folder_;
  std::mutex mutex_;
  std::map<std::string, std::string> served_;
};

inline std::string Message(const std::function<void()>& body) {
  try {
    body();
  } catch (const qv::CVorlentException& e) {
    return e.Message();
  }
  return "<no error>";
}

// Verifies a detached DER signature of a file with the openssl tool against the chain PKI's root.
inline bool OpenSslVerifies(const std::string& file, const std::string& signature, std::string* output) {
  KeyPki& pki = KeyPki::Get();
  std::string authorities = TestPath("authorities.pem");
  WriteBytes(authorities, pki.File("root.pem") + pki.File("inter.pem"));
  return RunCommand(OpenSsl("cms -verify -binary -inform DER -in '" + signature + "' -content '" + file +
                            "' -CAfile '" + authorities + "' -purpose any -out /dev/null 2>&1"),
                    output) == 0;
}

}  // namespace qvtest
