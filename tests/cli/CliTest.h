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

}  // namespace qvtest
