// Replays fuzz inputs through a fuzz target without libFuzzer: every file of the given
// folders (in a regressions folder only the files named "<target>-...") is passed to
// LLVMFuzzerTestOneInput once, so the corpus and every input that ever failed run with
// the ordinary tests and under the sanitizers.
#include <dirent.h>

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: %s TARGET FOLDER...\n", argv[0]);
    return 2;
  }
  std::string target = argv[1];
  int replayed = 0;
  for (int i = 2; i < argc; ++i) {
    std::string folder = argv[i];
    bool regressions = folder.find("regressions") != std::string::npos;
    std::vector<std::string> files;
    if (DIR* dir = opendir(folder.c_str())) {
      while (dirent* entry = readdir(dir)) {
        std::string name = entry->d_name;
        if (name[0] == '.') continue;
        if (regressions && name.rfind(target + "-", 0) != 0) continue;
        files.push_back(folder + "/" + name);
      }
      closedir(dir);
    }
    for (const std::string& file : files) {
      std::ifstream in(file, std::ios::binary);
      std::ostringstream bytes;
      bytes << in.rdbuf();
      std::string data = bytes.str();
      LLVMFuzzerTestOneInput(reinterpret_cast<const std::uint8_t*>(data.data()), data.size());
      ++replayed;
    }
  }
  std::printf("replayed %d inputs through %s\n", replayed, target.c_str());
  return 0;
}
