// PINs of key containers: --pin pass:TEXT|env:VAR|file:PATH|fd:N, else QELVORLENT_PIN, else a
// prompt with echo off when standard input is a terminal. A PIN is never printed or logged.
#pragma once

#include <string>

namespace vorlent {

// Reads the PIN that `spec` names; raises a usage failure for a malformed one.
std::string ReadPinSpec(const std::string& spec);

// Makes the PIN available to the library for this process: from `spec` when given, else
// QELVORLENT_PIN stays as it is, else a terminal prompt when standard input is one.
void SetupPin(const std::string& spec);

// Overwrites the text of pass: values of --pin and --password in the process's own
// arguments, which every user may read in /proc for as long as the command runs.
void HideSecretArguments(int argc, char** argv);

}  // namespace vorlent
