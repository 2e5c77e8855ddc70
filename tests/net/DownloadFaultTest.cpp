// Downloads from servers that misbehave: the connection breaks off in the middle of the
// answer, the answer is not HTTP at all, or the server stops sending. Each ends in a library
// error naming the step and the cause, within the configured limits, and repeated failures
// leave nothing behind (the sanitizer build checks for leaks).
#include <gtest/gtest.h>
#include <malloc.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <string>
#include <thread>

#include "common/TestEnv.h"
#include "foundation/CodePage.h"
#include "net/HttpsClient.h"
#include "net/LoopbackServers.h"

namespace qv {
namespace {

using qvtest::FaultServer;

FaultServer::Answer Sends(std::string bytes) {
  return [bytes](FaultServer&, int fd) { FaultServer::Send(fd, bytes); };
}

// The failure message of a download, or "no failure".
std::string FailureOf(CHttpsClient& client, const std::string& url) {
  try {
    client.Download(url);
  } catch (const CVorlentException& e) {
    return e.Message();
  }
  return "no failure";
}

std::string Received(int code) {
  return "Ошибка при получении ответа: ["_cp + WinInetErrorText(code) + "]";
}
std::string Sent(int code) {
  return "Ошибка при отправке запроса: ["_cp + WinInetErrorText(code) + "]";
}

const char kHead100[] = "HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\n";
const char kChunkedHead[] = "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n";

class DownloadFaultTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* name : {"http_proxy", "HTTP_PROXY", "https_proxy", "HTTPS_PROXY", "all_proxy",
                             "ALL_PROXY", "no_proxy", "NO_PROXY"}) {
      ::unsetenv(name);
    }
    client_.Config().ConnectTimeout = 1000;
    client_.Config().ReceiveTimeout = 1000;
  }
  CHttpsClient client_;
};

TEST_F(DownloadFaultTest, ConnectionDroppedInTheMiddleOfTheAnswer) {
  struct Case {
    const char* what;
    FaultServer::Answer answer;
  } cases[] = {
      {"after the head", Sends(kHead100)},
      {"in a sized body", Sends(std::string(kHead100) + "forty bytes of a hundred-byte body.....")},
      {"in a chunk", Sends(std::string(kChunkedHead) + "40\r\nonly a few bytes of the chunk")},
      {"between chunks", Sends(std::string(kChunkedHead) + "5\r\nfirst\r\n")},
  };
  for (const Case& c : cases) {
    FaultServer server(c.answer);
    EXPECT_EQ(FailureOf(client_, server.Url()), Received(12030)) << c.what;
  }

  // Reset instead of closed in order.
  FaultServer reset([](FaultServer&, int fd) {
    FaultServer::Send(fd, std::string(kHead100) + "part");
    std::this_thread::sleep_for(std::chrono::milliseconds(100));  // the head is read before the reset
    FaultServer::Reset(fd);
  });
  EXPECT_EQ(FailureOf(client_, reset.Url()), Received(12031));

  // Before any answer: the request is not answered at all.
  FaultServer silentClose([](FaultServer&, int) {});
  EXPECT_EQ(FailureOf(client_, silentClose.Url()), Sent(12151));
}

TEST_F(DownloadFaultTest, TlsConnectionDroppedInTheMiddleOfTheBody) {
  const qvtest::CertFiles files = qvtest::MakeServerCert(qvtest::CertKind::kSelfSigned, "fault-server");
  qvtest::HttpServer server(std::make_unique<httplib::SSLServer>(files.cert.c_str(), files.key.c_str()));
  server->Get("/doc.crl", [](const httplib::Request&, httplib::Response& res) {
    res.set_content_provider(1000, "application/pkix-crl",
                             [](size_t offset, size_t, httplib::DataSink& sink) {
                               if (offset > 0) return false;  // the connection ends after the first part
                               std::string part(100, 'z');
                               sink.write(part.data(), part.size());
                               return true;
                             });
  });
  server.Start();
  EXPECT_EQ(FailureOf(client_, server.Url("/doc.crl", "https")), Received(12030));
}

TEST_F(DownloadFaultTest, AnswersThatAreNotHttpAreRefused) {
  struct Case {
    const char* what;
    std::string bytes;
    std::string message;
  } cases[] = {
      {"binary bytes", std::string("\x30\x82\x01\x0a\x00\xff\xfe garbage\r\n\r\n", 19), Received(12152)},
      {"text without a status line", "<html>not found</html>\r\n\r\n", Received(12152)},
      {"a status line without a code", "HTTP/1.1 OK\r\n\r\n", Received(12152)},
      {"a negative length", "HTTP/1.1 200 OK\r\nContent-Length: -5\r\n\r\nbody", Received(12152)},
      {"a chunk size that is no number", std::string(kChunkedHead) + "zz\r\nbody\r\n0\r\n\r\n",
       Received(12031)},
  };
  for (const Case& c : cases) {
    FaultServer server(Sends(c.bytes));
    EXPECT_EQ(FailureOf(client_, server.Url()), c.message) << c.what;
  }

  // Plain HTTP where a TLS handshake is expected.
  FaultServer plain(Sends("HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok"));
  EXPECT_EQ(FailureOf(client_, plain.Url("https")), Sent(12157));
}

TEST_F(DownloadFaultTest, EndlessHeadersEndAtTheClientsLimit) {
  FaultServer server([](FaultServer&, int fd) {
    FaultServer::Send(fd, "HTTP/1.1 200 OK\r\n");
    std::string line = "X-Filler: " + std::string(1000, 'f') + "\r\n";
    for (int i = 0; i < 100000; ++i) {
      if (::send(fd, line.data(), line.size(), MSG_NOSIGNAL) < 0) return;
    }
  });
  EXPECT_EQ(FailureOf(client_, server.Url()), Received(12031));
}

TEST_F(DownloadFaultTest, StalledServersAreAbandonedAfterTheReceiveTimeout) {
  struct Case {
    const char* what;
    std::string before;
    std::string message;
  } cases[] = {
      {"no answer", "", Sent(12002)},
      {"in the head", "HTTP/1.1 200 OK\r\nContent-Le", Received(12002)},
      {"in a sized body", std::string(kHead100) + "some", Received(12002)},
      {"in a chunk", std::string(kChunkedHead) + "40\r\nsome", Received(12002)},
  };
  for (const Case& c : cases) {
    const std::string before = c.before;
    FaultServer server([before](FaultServer& self, int fd) {
      FaultServer::Send(fd, before);
      self.Hold(fd);
    });
    EXPECT_EQ(FailureOf(client_, server.Url()), c.message) << c.what;
  }

  // A body that drips slower than a byte per receive timeout.
  FaultServer drip([](FaultServer& self, int fd) {
    FaultServer::Send(fd, kHead100);
    self.Drip(fd, std::chrono::milliseconds(2500));
  });
  EXPECT_EQ(FailureOf(client_, drip.Url()), Received(12002));
}

TEST_F(DownloadFaultTest, ServerThatDripsFastEnoughNeverToStallIsAbandonedAtTheRequestsTimeLimit) {
  // A byte every 50 ms is no stall; the 2,000 bytes would take 100 s.
  FaultServer drip([](FaultServer& self, int fd) {
    FaultServer::Send(fd, "HTTP/1.1 200 OK\r\nContent-Length: 2000\r\n\r\n");
    self.Drip(fd, std::chrono::milliseconds(50));
  });
  client_.Config().TotalTimeout = 1500;
  EXPECT_EQ(FailureOf(client_, drip.Url()), Received(12002));
}

TEST_F(DownloadFaultTest, TlsServerThatStallsAfterTheHandshakeIsAbandoned) {
  const qvtest::CertFiles files = qvtest::MakeServerCert(qvtest::CertKind::kSelfSigned, "stall-server");
  qvtest::HttpServer server(std::make_unique<httplib::SSLServer>(files.cert.c_str(), files.key.c_str()));
  std::atomic<bool> release{false};
  server->Get("/doc.crl", [&](const httplib::Request&, httplib::Response& res) {
    while (!release) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    res.set_content("late", "text/plain");
  });
  server.Start();
  EXPECT_EQ(FailureOf(client_, server.Url("/doc.crl", "https")), Sent(12002));
  release = true;
}

TEST_F(DownloadFaultTest, ListOfFailingServersNamesEveryOne) {
  FaultServer cut(Sends(std::string(kHead100) + "part"));
  FaultServer garbage(Sends("garbage\r\n\r\n"));
  FaultServer good(Sends("HTTP/1.1 200 OK\r\nContent-Length: 4\r\n\r\nlist"));
  EXPECT_EQ(CHTTPClientTool::DownloadFromList(cut.Url() + "," + garbage.Url() + "," + good.Url()), "list");
  try {
    CHTTPClientTool::DownloadFromList(cut.Url() + "," + garbage.Url());
    FAIL() << "no failure";
  } catch (const CVorlentException& e) {
    EXPECT_EQ(e.Message(),
              Received(12030) + "[" + cut.Url() + "], " + Received(12152) + "[" + garbage.Url() + "]");
  }
}

// Failed downloads one after another: each failure releases what its request held. The
// sanitizer build reports any leak at exit; the ordinary build also compares the heap in use
// after a warm-up and after the loop.
TEST_F(DownloadFaultTest, RepeatedFailuresKeepMemoryFlat) {
  int turn = 0;
  FaultServer server([&turn](FaultServer&, int fd) {
    switch (turn++ % 3) {
      case 0:
        FaultServer::Send(fd, std::string(kHead100) + "part");
        break;
      case 1:
        FaultServer::Send(fd, "garbage instead of an answer\r\n\r\n");
        break;
      default:
        FaultServer::Send(fd, std::string(kChunkedHead) + "40\r\npart");
        FaultServer::Reset(fd);
        break;
    }
  });
  auto failures = [&](int count) {
    for (int i = 0; i < count; ++i) {
      CHttpsClient client;
      client.Config().ConnectTimeout = 1000;
      client.Config().ReceiveTimeout = 1000;
      EXPECT_NE(FailureOf(client, server.Url()), "no failure");
    }
  };
  failures(30);
  const std::size_t before = mallinfo2().uordblks;
  failures(300);
  const std::size_t after = mallinfo2().uordblks;
  EXPECT_LT(after, before + 256 * 1024) << "heap in use grew from " << before << " to " << after;
  EXPECT_EQ(server.Connections(), 330);
}

}  // namespace
}  // namespace qv
