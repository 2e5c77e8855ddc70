// PINs of key containers: --pin pass:TEXT|env:VAR|file:PATH|fd:N, else QELVORLENT_PIN, else a
// prompt with echo off when standard input is a terminal. A PIN is never printed or logged.
#pragma once

#include <cstddef>
#include <string>

namespace vorlent {

// file: and fd: give the first line of a regular file, a pipe or a terminal, read no further
// than this: a PIN or a password is a few dozen bytes.
constexpr std::size_t kMaxPinSource = 4096;
// How long a pipe is waited for that line (QELVORLENT_PIN_WAIT, 1 to kMaxPinWaitSeconds, changes it).
constexpr int kPinWaitSeconds = 60;
constexpr int kMaxPinWaitSeconds = 3600;

// Reads the PIN (or password) that `spec` names for `option`; raises a usage failure for a
// malformed one and a failure for a source that cannot be read or gives an empty text.
std::string ReadPinSpec(const std::string& spec, const std::string& option = "--pin");

// Makes the PIN available to the library for this process: from `spec` when given, else
// QELVORLENT_PIN stays as it is, else a terminal prompt when standard input is one.
void SetupPin(const std::string& spec);

// Overwrites the text of pass: values of --pin and --password in the process's own
// arguments, which every user may read in /proc for as long as the command runs.
void HideSecretArguments(int argc, char** argv);

}  // namespace vorlent
