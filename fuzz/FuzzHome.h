// A private home of the library for a fuzz target: QELVORLENT_HOME, QELVORLENT_REGISTRY and
// TMP point into a new folder made once per process, so that key containers, stores and
// working folders never touch the user's own. The folder is made in /dev/shm when the
// machine has it: opening a package makes and removes folders for every input, and on a
// memory file system that costs a fraction of what it costs on a disk.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <string>

#include "foundation/Files.h"

namespace qvfuzz {

inline const std::string& PrivateHome() {
  static const std::string root = [] {
    std::string folder;
    for (const char* base : {"/dev/shm", "/tmp"}) {
      std::string pattern = std::string(base) + "/qvfuzz.XXXXXX";
      if (mkdtemp(pattern.data())) {
        folder = pattern;
        break;
      }
    }
    if (folder.empty()) std::abort();
    qv::ForceDirectories(folder + "/home");
    qv::ForceDirectories(folder + "/tmp");
    setenv("QELVORLENT_HOME", (folder + "/home").c_str(), 1);
    setenv("QELVORLENT_REGISTRY", (folder + "/registry").c_str(), 1);
    setenv("TMP", (folder + "/tmp").c_str(), 1);
    // Every download goes to a proxy on this machine that refuses the connection: no host
    // name is looked up and nothing leaves the machine, whatever address an input names.
    for (const char* name : {"http_proxy", "https_proxy", "all_proxy", "HTTPS_PROXY", "ALL_PROXY"})
      setenv(name, "http://127.0.0.1:9", 1);
    unsetenv("no_proxy");
    unsetenv("NO_PROXY");
    return folder;
  }();
  // Removed when the process ends normally; a crashing run leaves it for a look.
  static const struct Remover {
    std::string path;
    ~Remover() { qv::DeleteFolderTree(path, true); }
  } remover{root};
  return root;
}

// Removes what the library keeps in the private home (stores, key containers, registry),
// so that one input does not see what an earlier one imported.
inline void EmptyPrivateHome() {
  const std::string& root = PrivateHome();
  if (!qv::DeleteFolderTree(root + "/home", false)) std::abort();
  std::remove((root + "/registry").c_str());
}

}  // namespace qvfuzz
