// The library's failures: exceptions that carry a finished 1251 message, raised with a
// trace line, and the sinks that report them (trace output and the system log).
#pragma once

#include <cstdint>
#include <exception>
#include <functional>
#include <string>
#include <string_view>

#include "foundation/Format.h"

namespace qv {

// A general error: a finished message in code page 1251.
class CVorlentException : public std::exception {
 public:
  explicit CVorlentException(std::string message) : message_(std::move(message)) {}
  const char* what() const noexcept override { return message_.c_str(); }
  const std::string& Message() const { return message_; }
  void SetMessage(std::string message) { message_ = std::move(message); }

 private:
  std::string message_;
};

// An operating-system error: a message and the system (or automation) status code. A failure
// of a file-system call keeps its errno value as the code, for the callers that tell ENOENT
// from EACCES, and carries beside it the automation status a client is given for it.
class COSException : public CVorlentException {
 public:
  COSException(std::string message, std::int32_t code, std::int32_t status = 0)
      : CVorlentException(std::move(message)), code_(code), status_(status) {}
  std::int32_t Code() const { return code_; }
  // The status given at the automation boundary: the one attached, else the code itself
  // (a failure status passes unchanged; anything else is no status of its own).
  std::int32_t Status() const { return status_ != 0 ? status_ : code_; }

 private:
  std::int32_t code_;
  std::int32_t status_;
};

[[noreturn]] void RaiseError(const std::string& message, const std::string& source = {},
                             const std::string& prefix = {});
[[noreturn]] void RaiseErrorFmt(std::string_view format, const FmtArgs& args, const std::string& source = {},
                                const std::string& prefix = {});
// Raises an operating-system error with the system's text for `code` (errno values and
// the codes registered with RegisterSystemErrorText), with a trace line.
[[noreturn]] void RaiseOSError(std::int32_t code, const std::string& message = {});
// The automation status of the errno value of a failed file-system call: the status the system
// gives for the same failure (0x80070002 for a missing file, E_ACCESSDENIED, 0x80070070 for a
// full disk, ...), E_FAIL for an errno without one. ENOENT for a `path` whose folder is
// missing is the missing folder's 0x80070003.
std::int32_t StatusOfFileError(int error, const std::string& path = {});
// Raises the failure of a file-system call on `path` as an operating-system error: the
// system's text for `error` (or `message`), `error` as the code, StatusOfFileError as the
// status, with a trace line.
[[noreturn]] void RaiseFileError(int error, const std::string& path = {}, const std::string& message = {});
// Raises `message` in place of `inner`: with inner's code and status when it is an
// operating-system error, else as a general error.
[[noreturn]] void RaiseInPlaceOf(const std::exception& inner, const std::string& message);
void RaiseIfFalse(bool condition, const std::string& message);
// An operating-system error is raised again with its code; anything else as a general
// error with the same message.
[[noreturn]] void RaiseAgain(const std::exception& error);

// Trace output, silent by default. QELVORLENT_TRACE=stderr or QELVORLENT_TRACE=<file>
// turns it on; tests install their own sink. Lines are 1251 text, the sink gets them
// enclosed in "[" and "]". Never raises.
using TraceSink = std::function<void(const std::string& line)>;
void SetTraceSink(TraceSink sink);
void Trace(std::string_view format, const FmtArgs& args = {});

// The system's message for a status code: strerror for errno values, otherwise the
// text registered by the layer that owns the code, otherwise "Unknown error 0x...".
std::string SystemErrorText(std::int32_t code);
void RegisterSystemErrorText(std::int32_t code, const std::string& text);

// No modal boxes in a library on Linux: the text goes to the trace output and the system log.
void ShowError(const std::exception& error);

// Event kinds of WriteEventLog.
enum EventKind : int { kEventSuccess = 0, kEventError = 1, kEventWarning = 2, kEventInformation = 4 };

// The system log (syslog, facility user): ident `source`, or the host executable's file
// name; the two strings are the status word and the message, written as UTF-8.
// Returns 0, or the errno when the log cannot be written.
int WriteEventLog(const std::string& message, int kind, const std::string& source = {},
                  std::int32_t errorCode = 0, int eventId = 0);
int WriteEventLogError(const std::string& message, const std::string& source = {}, int eventId = 0,
                       std::int32_t errorCode = 0);

// What reaches the system log, for tests: ident, priority, status word and message (1251).
struct EventLogEntry {
  std::string ident;
  int priority;
  int eventId;
  std::string status;
  std::string message;
};
using EventLogSink = std::function<void(const EventLogEntry&)>;
// Replaces syslog for the calling process (tests); an empty sink restores syslog.
void SetEventLogSink(EventLogSink sink);

// The file name (without folder) of the executable hosting the library, in 1251.
std::string HostExecutableName();

}  // namespace qv
