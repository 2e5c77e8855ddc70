// The receiving desk behind QvToolReceive: a batch of packages decrypted in memory, verified
// in one verification run and extracted, each into a folder of its own, on several threads.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

namespace qv {

// One package as it ended; texts in UTF-8.
struct CReceivedPackage {
  std::string package;  // the path as given
  std::string folder;   // the folder made, empty when the package failed
  bool ok = false;
  std::size_t documents = 0;
  std::size_t signatures = 0;
  std::vector<std::string> errors;
};

// Called for each package as it ends, one call at a time; true stops the batch once the
// packages in progress end.
using ReceiveCallback = std::function<bool(const CReceivedPackage&)>;

enum class ReceiveOutcome { kAllHeld, kSomeFailed, kStopped };

// Receives `packages` into `directory` (UTF-8 paths) with the checks of QvSignatureChecks on
// `jobs` threads (0: one per processor). Raises when the batch cannot start (the folder cannot
// be made); a package's failure is its result's.
ReceiveOutcome ReceiveBatch(const std::vector<std::string>& packages, const std::string& directory,
                            int checks, int jobs, const ReceiveCallback& callback);

}  // namespace qv
