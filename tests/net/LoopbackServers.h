// Servers on 127.0.0.1 for the client's tests: an httplib server (HTTP or HTTPS) on its own
// thread, a raw listener that accepts and never answers, a one-shot server that records
// the request and sends a canned answer, and a server that misbehaves on every connection.
// Certificates are made with the openssl tool.
#pragma once

#include <httplib.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "common/TestEnv.h"

namespace qvtest {

class HttpServer {
 public:
  explicit HttpServer(std::unique_ptr<httplib::Server> server = std::make_unique<httplib::Server>())
      : server_(std::move(server)) {}
  ~HttpServer() { Stop(); }

  httplib::Server& operator*() { return *server_; }
  httplib::Server* operator->() { return server_.get(); }

  // Binds a free port on 127.0.0.1 and serves on a thread; returns the port.
  int Start() {
    port_ = server_->bind_to_any_port("127.0.0.1");
    thread_ = std::thread([this] { server_->listen_after_bind(); });
    for (int i = 0; i < 500 && !server_->is_running(); ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    return port_;
  }
  void Stop() {
    if (thread_.joinable()) {
      server_->stop();
      thread_.join();
    }
  }
  int Port() const { return port_; }
  std::string Url(const std::string& path, const char* scheme = "http") const {
    return std::string(scheme) + "://127.0.0.1:" + std::to_string(port_) + path;
  }

 private:
  std::unique_ptr<httplib::Server> server_;
  std::thread thread_;
  int port_ = 0;
};

// A listening socket on 127.0.0.1 that never accepts: connections complete in the kernel
// and then nothing is ever answered.
class SilentListener {
 public:
  SilentListener() {
    fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    ::listen(fd_, 16);
    socklen_t len = sizeof addr;
    ::getsockname(fd_, reinterpret_cast<sockaddr*>(&addr), &len);
    port_ = ntohs(addr.sin_port);
  }
  ~SilentListener() { Close(); }
  void Close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }
  int Port() const { return port_; }
  int Fd() const { return fd_; }

 private:
  int fd_ = -1;
  int port_ = 0;
};

// A port on 127.0.0.1 where nothing listens (connections are refused).
inline int ClosedPort() {
  SilentListener listener;
  return listener.Port();
}

// Accepts one connection, reads the request head, records it, sends `answer` and closes,
// or with `hold` keeps the connection open without a further byte until destroyed.
class OneShotServer {
 public:
  explicit OneShotServer(std::string answer, bool hold = false) : answer_(std::move(answer)), hold_(hold) {
    thread_ = std::thread([this] { Serve(); });
  }
  ~OneShotServer() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
  }
  int Port() const { return listener_.Port(); }
  // The request head received (valid once the client's call has returned).
  std::string Request() {
    if (!hold_ && thread_.joinable()) thread_.join();
    return request_;
  }

 private:
  void Serve();

  SilentListener listener_;
  std::string answer_;
  bool hold_;
  std::string request_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

// Serves every connection on 127.0.0.1, one after another, until destroyed: reads what
// arrives of the request, then lets `answer` act on the socket, then closes it.
class FaultServer {
 public:
  using Answer = std::function<void(FaultServer&, int fd)>;
  explicit FaultServer(Answer answer) : answer_(std::move(answer)) {
    thread_ = std::thread([this] { Serve(); });
  }
  ~FaultServer() {
    stop_ = true;
    thread_.join();
  }
  std::string Url(const char* scheme = "http", const std::string& path = "/doc.crl") const {
    return std::string(scheme) + "://127.0.0.1:" + std::to_string(listener_.Port()) + path;
  }
  int Connections() const { return connections_; }

  static void Send(int fd, const std::string& bytes) {
    (void)!::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
  }
  // Keeps the connection open without sending until the client gives up (or the test ends).
  void Hold(int fd) {
    char buffer[512];
    pollfd p{fd, POLLIN, 0};
    while (!stop_) {
      if (::poll(&p, 1, 20) > 0 && ::recv(fd, buffer, sizeof buffer, 0) <= 0) return;
    }
  }
  // Sends one byte every `gap` until the client gives up.
  void Drip(int fd, std::chrono::milliseconds gap) {
    for (auto next = std::chrono::steady_clock::now(); !stop_;) {
      if (std::chrono::steady_clock::now() >= next) {
        if (::send(fd, "x", 1, MSG_NOSIGNAL) != 1) return;
        next += gap;
      }
      char buffer[512];
      pollfd p{fd, POLLIN, 0};
      if (::poll(&p, 1, 10) > 0 && ::recv(fd, buffer, sizeof buffer, 0) <= 0) return;
    }
  }
  // Resets the connection instead of closing it in order.
  static void Reset(int fd) {
    linger hard{1, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
  }

 private:
  void Serve() {
    pollfd p{listener_.Fd(), POLLIN, 0};
    while (!stop_) {
      if (::poll(&p, 1, 20) <= 0) continue;
      int fd = ::accept(listener_.Fd(), nullptr, nullptr);
      if (fd < 0) continue;
      ++connections_;
      // The request head, or whatever comes within a short while (a TLS hello has no head).
      std::string request;
      char buffer[4096];
      pollfd c{fd, POLLIN, 0};
      while (request.find("\r\n\r\n") == std::string::npos && ::poll(&c, 1, 200) > 0) {
        ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n <= 0) break;
        request.append(buffer, static_cast<std::size_t>(n));
      }
      answer_(*this, fd);
      ::close(fd);
    }
  }

  SilentListener listener_;
  Answer answer_;
  std::atomic<bool> stop_{false};
  std::atomic<int> connections_{0};
  std::thread thread_;
};

// Certificates and keys made with the openssl tool inside the test's folder (PEM paths).
struct CertFiles {
  std::string cert;
  std::string key;
};
enum class CertKind { kSelfSigned, kExpired, kWrongHost };
CertFiles MakeServerCert(CertKind kind, const std::string& name);

}  // namespace qvtest
