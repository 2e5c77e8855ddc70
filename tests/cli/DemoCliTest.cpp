// `vorlent demo` runs the whole registration flow in a sandbox and finishes with its report.
#include <gtest/gtest.h>

#include <string>

#include "cli/CliTest.h"

namespace {

TEST(CliDemo, RunsToTheReportAndStopsItsServer) {
  auto demo = qvtest::Vorlent("demo sandbox");
  ASSERT_EQ(demo.status, 0) << demo.out << demo.err;
  EXPECT_NE(demo.out.find("Демонстрация QelVorlent в "), std::string::npos);
  EXPECT_NE(demo.out.find("[ок]  новый пакет: заявление (XML), печатная форма, квитанция"), std::string::npos)
      << demo.out;
  EXPECT_NE(demo.out.find("[ок]  формальная проверка сертификата заявителя"), std::string::npos) << demo.out;
  EXPECT_NE(demo.out.find("Итог: шагов "), std::string::npos);
  EXPECT_NE(demo.out.find("пропущено 0, ошибок 0;"), std::string::npos) << demo.out;
  EXPECT_NE(demo.out.find("[ок]  проверка подписей с цепочкой и списками отзыва"), std::string::npos)
      << demo.out;
  EXPECT_NE(demo.out.find("Все подписи верны (6)"), std::string::npos) << demo.out;
  // The documents come out as they went in.
  EXPECT_EQ(qvtest::ReadBytes(qvtest::TestPath("sandbox/extracted/квитанция.pdf")),
            qvtest::ReadBytes(qvtest::TestPath("sandbox/documents/квитанция.pdf")));
  // Revocation lists came from the demo's own loopback server.
  std::string log = qvtest::ReadBytes(qvtest::TestPath("sandbox/http.log"));
  EXPECT_NE(log.find("GET /inter.crl"), std::string::npos) << log;
  // `verify` is one run for the package's six signatures: each URL is asked for once (the
  // certificate check before it asks for the applicant's list twice more: to check and to show its dates).
  auto requests = [&](const std::string& path) {
    int count = 0;
    for (std::size_t at = log.find("GET " + path + " "); at != std::string::npos;
         at = log.find("GET " + path + " ", at + 1))
      ++count;
    return count;
  };
  EXPECT_EQ(requests("/inter.crl"), 3) << log;
  EXPECT_EQ(requests("/inter.cer"), 1) << log;
  EXPECT_EQ(requests("/root.crl"), 1) << log;
}

}  // namespace
