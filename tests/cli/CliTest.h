// Running the built `vorlent` binary inside the test's own folder.
#pragma once

#include <nlohmann/json.hpp>

#include <string>

#include "common/TestEnv.h"

namespace qvtest {

struct CliResult {
  int status;
  std::string out;
  std::string err;
  nlohmann::json Json() const { return nlohmann::json::parse(out); }
};

// Runs `vorlent ARGS` (a shell fragment) in the test folder with standard input from
// /dev/null; `environment` is prefixed to the command (e.g. "QELVORLENT_PIN=1 ").
inline CliResult Vorlent(const std::string& args, const std::string& environment = {}) {
  const std::string out = TestPath(".stdout");
  const std::string err = TestPath(".stderr");
  int status = RunCommand("cd '" + TestFolder() + "' && " + environment + "'" VORLENT_BIN "' " + args +
                          " >'" + out + "' 2>'" + err + "' </dev/null");
  return {status, ReadBytes(out), ReadBytes(err)};
}

// A web server on 127.0.0.1 for the files of a folder of the test (python3 -m http.server),
// on a free port chosen before it starts; stopped when this ends.
class LoopbackWebServer {
 public:
  explicit LoopbackWebServer(const std::string& folder) : pidFile_(TestPath(".web.pid")) {
    RunCommand("mkdir -p '" + TestPath(folder) + "'");
    RunCommand(
        "python3 -c 'import socket; s = socket.socket(); s.bind((\"127.0.0.1\", 0)); "
        "print(s.getsockname()[1], end=\"\")'",
        &port_);
    RunCommand("cd '" + TestFolder() + "' && (python3 -m http.server " + port_ +
               " --bind 127.0.0.1 --directory '" + folder + "' >/dev/null 2>&1 & echo $! > '" + pidFile_ +
               "') && for i in $(seq 100); do (exec 3<>/dev/tcp/127.0.0.1/" + port_ +
               ") 2>/dev/null && break; sleep 0.05; done");
  }
  ~LoopbackWebServer() { Stop(); }
  LoopbackWebServer(const LoopbackWebServer&) = delete;
  LoopbackWebServer& operator=(const LoopbackWebServer&) = delete;
  const std::string& Port() const { return port_; }
  void Stop() {
    if (!port_.empty()) RunCommand("kill $(cat '" + pidFile_ + "')");
    port_.clear();
  }

 private:
  std::string pidFile_;
  std::string port_;
};

}  // namespace qvtest
