#include "Args.h"

namespace vorlent {

Args::Args(const std::vector<std::string>& argv, const CommandSpec& spec) {
  bool optionsEnd = false;
  for (std::size_t i = 0; i < argv.size(); ++i) {
    std::string arg = argv[i];
    if (optionsEnd || arg.size() < 2 || arg[0] != '-') {
      positional_.push_back(arg);
      continue;
    }
    if (arg == "--") {
      optionsEnd = true;
      continue;
    }
    std::string value;
    bool inlineValue = false;
    std::size_t eq = arg.find('=');
    if (arg.rfind("--", 0) == 0 && eq != std::string::npos) {
      value = arg.substr(eq + 1);
      arg.resize(eq);
      inlineValue = true;
    }
    if (arg == "--json") {
      json = true;
    } else if (arg == "--quiet" || arg == "-q") {
      quiet = true;
    } else if (arg == "--help" || arg == "-h") {
      help = true;
    } else if (spec.values.count(arg) || arg == "--pin") {
      if (!inlineValue) {
        if (i + 1 >= argv.size()) Usage("параметру " + arg + " нужно значение");
        value = argv[++i];
      }
      values_[arg].push_back(value);
    } else if (spec.flags.count(arg) && !inlineValue) {
      flags_.insert(arg);
    } else {
      Usage("неизвестный параметр " + arg);
    }
  }
  if (help) return;
  if (positional_.size() < spec.minPositional) Usage("не хватает аргументов");
  if (positional_.size() > spec.maxPositional) Usage("лишний аргумент: " + positional_[spec.maxPositional]);
}

std::string Args::Value(const std::string& option, const std::string& fallback) const {
  auto found = values_.find(option);
  return found == values_.end() ? fallback : found->second.back();
}

std::string Args::Required(const std::string& option) const {
  auto found = values_.find(option);
  if (found == values_.end()) Usage("не задан параметр " + option);
  return found->second.back();
}

std::vector<std::string> Args::All(const std::string& option) const {
  auto found = values_.find(option);
  return found == values_.end() ? std::vector<std::string>() : found->second;
}

}  // namespace vorlent
