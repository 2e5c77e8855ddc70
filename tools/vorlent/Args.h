// The command line of one `vorlent` command: positional arguments, options with values
// (repeatable ones keep every value) and flags, with the options every command knows
// (--json, --quiet, --help, --pin).
#pragma once

#include <map>
#include <set>
#include <string>
#include <vector>

#include "Client.h"

namespace vorlent {

struct CommandSpec {
  std::set<std::string> values;  // options taking a value ("--key", "-o", ...)
  std::set<std::string> flags;   // options without one ("--all", "--offline", ...)
  std::size_t minPositional = 0;
  std::size_t maxPositional = 0;
};

class Args {
 public:
  // Parses argv[first..]; unknown options and wrong counts raise usage failures.
  Args(const std::vector<std::string>& argv, const CommandSpec& spec);

  const std::vector<std::string>& Positional() const { return positional_; }
  const std::string& At(std::size_t index) const { return positional_.at(index); }
  bool Has(const std::string& option) const { return values_.count(option) || flags_.count(option); }
  bool Flag(const std::string& option) const { return flags_.count(option) != 0; }
  // The last value of an option, or `fallback`.
  std::string Value(const std::string& option, const std::string& fallback = {}) const;
  // The value of a required option.
  std::string Required(const std::string& option) const;
  std::vector<std::string> All(const std::string& option) const;

  bool json = false;
  bool quiet = false;
  bool help = false;

 private:
  std::vector<std::string> positional_;
  std::map<std::string, std::vector<std::string>> values_;
  std::set<std::string> flags_;
};

}  // namespace vorlent
