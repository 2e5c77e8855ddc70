// Every test runs in its own temporary folder with its own QELVORLENT_HOME,
// QELVORLENT_REGISTRY and TMP; the folder is removed when the test ends.
#pragma once

#include <string>

namespace qvtest {

// The current test's own folder (UTF-8 path).
const std::string& TestFolder();
// A path inside it.
std::string TestPath(const std::string& name);
// Writes a file (UTF-8 path) with the given bytes.
void WriteBytes(const std::string& path, const std::string& bytes);
std::string ReadBytes(const std::string& path);
// Runs a shell command; returns its exit status and puts its standard output in `output`.
int RunCommand(const std::string& command, std::string* output = nullptr);
// The folder of the project's test data.
std::string DataPath(const std::string& name);

}  // namespace qvtest
