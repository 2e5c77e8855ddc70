// The commands an installation uses: --version, register and unregister for the user and
// for the machine.
#include <cstdlib>
#include <fstream>

#include <gtest/gtest.h>

#include "cli/CliTest.h"
#include "qv_version.h"

namespace {

bool Exists(const std::string& path) {
  return std::ifstream(path).good();
}

bool Registered() {
  qvtest::CliResult doctor = qvtest::Vorlent("doctor --json");
  const nlohmann::json report = doctor.Json();
  EXPECT_EQ(report["environment"]["QELVORLENT_MACHINE_REGISTRY"], std::getenv("QELVORLENT_MACHINE_REGISTRY"));
  for (const auto& check : report["checks"]) {
    if (check["check"] == "регистрация классов") return check["ok"].get<bool>();
  }
  ADD_FAILURE() << doctor.out;
  return false;
}

TEST(InstallCli, VersionAndRegistrationForTheUserAndTheMachine) {
  qvtest::CliResult version = qvtest::Vorlent("--version");
  EXPECT_EQ(version.status, 0);
  EXPECT_EQ(version.out, "vorlent " QV_PRODUCT_VERSION "\n");

  const std::string user = std::getenv("QELVORLENT_REGISTRY");
  const std::string machine = std::getenv("QELVORLENT_MACHINE_REGISTRY");
  EXPECT_FALSE(Registered());
  qvtest::CliResult registered = qvtest::Vorlent("register --machine --json");
  EXPECT_EQ(registered.status, 0) << registered.err;
  EXPECT_EQ(registered.Json()["machine"], true);
  EXPECT_TRUE(Exists(machine));
  EXPECT_FALSE(Exists(user));
  EXPECT_TRUE(Registered());
  EXPECT_EQ(qvtest::Vorlent("unregister --machine").status, 0);
  EXPECT_FALSE(Exists(machine));
  EXPECT_FALSE(Registered());

  EXPECT_EQ(qvtest::Vorlent("register").status, 0);
  EXPECT_TRUE(Exists(user));
  EXPECT_FALSE(Exists(machine));
  EXPECT_TRUE(Registered());
  EXPECT_EQ(qvtest::Vorlent("unregister").status, 0);
  EXPECT_FALSE(Exists(user));
  EXPECT_EQ(qvtest::Vorlent("register --everyone").status, 2);
}

}  // namespace
