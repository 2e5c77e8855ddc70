// Running the built `vorlent` binary inside the test's own folder.
#pragma once

#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include <cstdint>
#include <cstdlib>
#include <functional>
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

// The lines of a text that do not start with a space: the headlines of `keys list`, one a
// certificate, without the indented details under each.
inline std::string Headlines(const std::string& text) {
  std::string lines;
  std::size_t at = 0;
  while (at < text.size()) {
    std::size_t end = text.find('\n', at);
    end = end == std::string::npos ? text.size() : end + 1;
    if (text[at] != ' ') lines += text.substr(at, end - at);
    at = end;
  }
  return lines;
}

// Copies the package `from` of the test folder to `to` with the text of its manifest changed by
// `edit` (given and giving UTF-8; the manifest stays in code page 1251), the other files as they
// are: a package as another writer might have made it. The exit status of the first step that fails.
inline int CopyWithManifest(const std::string& from, const std::string& to,
                            const std::function<std::string(const std::string&)>& edit) {
  const std::string folder = "'" + TestFolder() + "'";
  const std::string copy = from == to ? "" : " && cp '" + from + "' '" + to + "'";
  int status =
      RunCommand("cd " + folder + " && rm -rf .manifest && mkdir .manifest" + copy + " && unzip -p '" + from +
                 "' packageDescription.xml | iconv -f CP1251 -t UTF-8 >.manifest/utf8.xml");
  if (status != 0) return status;
  WriteBytes(TestPath(".manifest/utf8.xml"), edit(ReadBytes(TestPath(".manifest/utf8.xml"))));
  return RunCommand("cd " + folder +
                    "/.manifest && iconv -f UTF-8 -t CP1251 utf8.xml >packageDescription.xml && zip -q '../" +
                    to + "' packageDescription.xml");
}

// The permission bits of a file (not of a link's target), -1 when there is none.
inline int FileMode(const std::string& path) {
  struct stat st {};
  return lstat(path.c_str(), &st) == 0 ? static_cast<int>(st.st_mode & 07777) : -1;
}

// A web server on 127.0.0.1 for the files of a folder of the test (python3 -m http.server),
// on `port` or a free port chosen before it starts; stopped when this ends. Its log of requests
// is kept for Requests.
class LoopbackWebServer {
 public:
  explicit LoopbackWebServer(const std::string& folder, const std::string& port = {})
      : pidFile_(TestPath(".web.pid")), logFile_(TestPath(".web.log")), port_(port) {
    RunCommand("mkdir -p '" + TestPath(folder) + "'");
    if (port_.empty()) {
      RunCommand(
          "python3 -c 'import socket; s = socket.socket(); s.bind((\"127.0.0.1\", 0)); "
          "print(s.getsockname()[1], end=\"\")'",
          &port_);
    }
    RunCommand("cd '" + TestFolder() + "' && (python3 -m http.server " + port_ +
               " --bind 127.0.0.1 --directory '" + folder + "' >/dev/null 2>'" + logFile_ +
               "' & echo $! > '" + pidFile_ + "')");
    for (int i = 0; i < 100 && !Accepts(); ++i) usleep(50000);  // five seconds at the most
  }
  ~LoopbackWebServer() { Stop(); }
  LoopbackWebServer(const LoopbackWebServer&) = delete;
  LoopbackWebServer& operator=(const LoopbackWebServer&) = delete;
  const std::string& Port() const { return port_; }
  void Stop() {
    if (!port_.empty()) RunCommand("kill $(cat '" + pidFile_ + "')");
    port_.clear();
  }
  // The GET requests for `path` ("/inter.crl") served so far.
  int Requests(const std::string& path) const {
    const std::string log = ReadBytes(logFile_);
    int count = 0;
    for (std::size_t at = log.find("\"GET " + path + " "); at != std::string::npos;
         at = log.find("\"GET " + path + " ", at + 1))
      ++count;
    return count;
  }
  // Every GET request served so far.
  int Requests() const {
    const std::string log = ReadBytes(logFile_);
    int count = 0;
    for (std::size_t at = log.find("\"GET "); at != std::string::npos; at = log.find("\"GET ", at + 1))
      ++count;
    return count;
  }

 private:
  bool Accepts() const {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(std::atoi(port_.c_str())));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bool accepted = fd >= 0 && connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    if (fd >= 0) close(fd);
    return accepted;
  }

  std::string pidFile_;
  std::string logFile_;
  std::string port_;
};

}  // namespace qvtest
