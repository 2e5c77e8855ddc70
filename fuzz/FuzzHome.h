// A private home of the library for a fuzz target: QELVORLENT_HOME, QELVORLENT_REGISTRY and
// TMP point into a new folder under /tmp made once per process, so that key containers,
// stores and working folders never touch the user's own.
#pragma once

#include <cstdlib>
#include <string>

#include "foundation/Files.h"

namespace qvfuzz {

inline const std::string& PrivateHome() {
  static const std::string root = [] {
    char pattern[] = "/tmp/qvfuzz.XXXXXX";
    const char* made = mkdtemp(pattern);
    if (!made) std::abort();
    std::string folder = made;
    qv::ForceDirectories(folder + "/home");
    qv::ForceDirectories(folder + "/tmp");
    setenv("QELVORLENT_HOME", (folder + "/home").c_str(), 1);
    setenv("QELVORLENT_REGISTRY", (folder + "/registry").c_str(), 1);
    setenv("TMP", (folder + "/tmp").c_str(), 1);
    return folder;
  }();
  // Removed when the process ends normally; a crashing run leaves it for a look.
  static const struct Remover {
    std::string path;
    ~Remover() { qv::DeleteFolderTree(path, true); }
  } remover{root};
  return root;
}

}  // namespace qvfuzz
