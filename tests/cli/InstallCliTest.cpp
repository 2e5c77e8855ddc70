// The commands an installation uses: --version, register and unregister for the user and
// for the machine.
#include <unistd.h>

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

// Under a relative LD_LIBRARY_PATH the loader names the library relative to the folder current
// then; the registry holds its absolute path with links resolved, good for a client anywhere.
TEST(InstallCli, RegistrationStoresTheLibrarysFullPath) {
  const std::string library = QV_SERVER_PATH;
  ASSERT_EQ(symlink(library.substr(0, library.rfind('/')).c_str(), qvtest::TestPath("lib").c_str()), 0);
  char* resolved = realpath(library.c_str(), nullptr);
  ASSERT_NE(resolved, nullptr);
  const std::string full = resolved;
  std::free(resolved);
  for (const char* where : {"", " --machine"}) {
    qvtest::CliResult registered = qvtest::Vorlent(std::string("register") + where, "LD_LIBRARY_PATH=lib ");
    ASSERT_EQ(registered.status, 0) << registered.err;
  }
  for (const char* variable : {"QELVORLENT_REGISTRY", "QELVORLENT_MACHINE_REGISTRY"}) {
    const std::string text = qvtest::ReadBytes(std::getenv(variable));
    EXPECT_NE(text.find("\n@=" + full + "\n"), std::string::npos) << variable << ":\n" << text;
    EXPECT_EQ(text.find("@=lib/"), std::string::npos) << variable;
  }
}

}  // namespace
