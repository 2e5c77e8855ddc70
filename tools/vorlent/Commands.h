// The commands of `vorlent`. Each one reads its arguments, calls the library through its
// public interfaces and reports through Output: lines for people, one JSON document for
// scripts (--json), nothing but failures with --quiet.
#pragma once

#include <nlohmann/json.hpp>

#include <string>
#include <vector>

#include "Args.h"

namespace vorlent {

class Output {
 public:
  Output(bool json, bool quiet) : json_(json), quiet_(quiet) {}
  // A line for people on standard output.
  void Line(const std::string& text) const;
  // Progress and notes on standard error.
  void Note(const std::string& text) const;
  bool Json() const { return json_; }
  nlohmann::json doc = nlohmann::json::object();
  // The command wrote its JSON itself, a line per item as it went: `doc` is not printed.
  bool streamed = false;

 private:
  bool json_;
  bool quiet_;
};

struct Command {
  const char* name;
  const char* synopsis;
  const char* help;
  CommandSpec spec;
  int (*run)(const Args& args, Output& out);
};

const std::vector<Command>& Commands();

}  // namespace vorlent
