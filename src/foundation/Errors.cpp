#include "foundation/Errors.h"

#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>

#include "foundation/CodePage.h"

namespace qv {
namespace {

struct FileCloser {
  void operator()(std::FILE* f) const { std::fclose(f); }
};

// The process-wide sinks. The library starts no threads, but clients may use it from
// several apartments, so the sinks are guarded.
struct Sinks {
  std::mutex mutex;
  bool traceConfigured = false;
  TraceSink trace;
  std::unique_ptr<std::FILE, FileCloser> traceFile;
  EventLogSink eventLog;
  std::map<std::int32_t, std::string> errorTexts;
};

Sinks& GetSinks() {
  static Sinks* sinks = new Sinks;  // lives to the end of the process: errors may be raised from destructors
  return *sinks;
}

void ConfigureTraceFromEnvironment(Sinks& s) {
  s.traceConfigured = true;
  const char* target = std::getenv("QELVORLENT_TRACE");
  if (!target || !*target) return;
  if (std::strcmp(target, "stderr") == 0) {
    s.trace = [](const std::string& line) { std::fprintf(stderr, "%s\n", Cp1251ToUtf8(line).c_str()); };
    return;
  }
  s.traceFile.reset(std::fopen(target, "a"));
  if (!s.traceFile) return;
  std::FILE* f = s.traceFile.get();
  s.trace = [f](const std::string& line) {
    std::fprintf(f, "%s\n", Cp1251ToUtf8(line).c_str());
    std::fflush(f);
  };
}

void TraceLine(const std::string& text) {
  try {
    Sinks& s = GetSinks();
    std::lock_guard<std::mutex> lock(s.mutex);
    if (!s.traceConfigured) ConfigureTraceFromEnvironment(s);
    if (s.trace) s.trace("[" + text + "]");
  } catch (...) {
    // the trace never fails its caller
  }
}

void TraceException(const std::string& message, const std::string& source) {
  if (source.empty()) {
    TraceLine(FormatText("%0:s %1:s", {"EXCEPTION", message}));
  } else {
    TraceLine(FormatText("%0:s: %1:s %2:s", {source, "EXCEPTION", message}));
  }
}

}  // namespace

void RaiseError(const std::string& message, const std::string& source, const std::string& prefix) {
  std::string text = prefix.empty() ? message : FormatText("%s: ", {prefix}) + message;
  TraceException(text, source);
  throw CVorlentException(text);
}

void RaiseErrorFmt(std::string_view format, const FmtArgs& args, const std::string& source,
                   const std::string& prefix) {
  RaiseError(FormatText(format, args), source, prefix);
}

void RaiseOSError(std::int32_t code, const std::string& message) {
  std::string text = message.empty() ? SystemErrorText(code) : message;
  TraceException(text, {});
  throw COSException(text, code);
}

std::int32_t StatusOfFileError(int error, const std::string& path) {
  // The system's own numbers (winerror.h) as automation statuses (HRESULT_FROM_WIN32).
  auto win32 = [](std::uint32_t code) { return static_cast<std::int32_t>(0x80070000u | code); };
  switch (error) {
    case ENOENT: {
      if (path.empty()) return win32(2);  // ERROR_FILE_NOT_FOUND
      const std::string::size_type slash = path.find_last_of('/');
      const std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
      struct stat st {};
      const bool folderThere = ::stat(SysPath(folder).c_str(), &st) == 0 && S_ISDIR(st.st_mode);
      return win32(folderThere ? 2 : 3);  // ERROR_PATH_NOT_FOUND
    }
    case ENOTDIR:
      return win32(3);  // ERROR_PATH_NOT_FOUND
    case EACCES:
    case EPERM:
    case EISDIR:
      return win32(5);  // ERROR_ACCESS_DENIED, E_ACCESSDENIED
    case EMFILE:
    case ENFILE:
      return win32(4);  // ERROR_TOO_MANY_OPEN_FILES
    case EBADF:
      return win32(6);  // ERROR_INVALID_HANDLE
    case ENOMEM:
      return win32(14);  // ERROR_OUTOFMEMORY, E_OUTOFMEMORY
    case EXDEV:
      return win32(17);  // ERROR_NOT_SAME_DEVICE
    case EROFS:
      return win32(19);  // ERROR_WRITE_PROTECT
    case EBUSY:
    case ETXTBSY:
      return win32(32);  // ERROR_SHARING_VIOLATION
    case EEXIST:
      return win32(80);  // ERROR_FILE_EXISTS
    case EINVAL:
      return win32(87);  // ERROR_INVALID_PARAMETER, E_INVALIDARG
    case ENOSPC:
      return win32(112);  // ERROR_DISK_FULL
    case ENOTEMPTY:
      return win32(145);  // ERROR_DIR_NOT_EMPTY
    case ENAMETOOLONG:
      return win32(206);  // ERROR_FILENAME_EXCED_RANGE
    case EFBIG:
      return win32(223);  // ERROR_FILE_TOO_LARGE
    case EIO:
      return win32(1117);  // ERROR_IO_DEVICE
    case EDQUOT:
      return win32(1295);  // ERROR_DISK_QUOTA_EXCEEDED
    case ELOOP:
      return win32(1921);  // ERROR_CANT_RESOLVE_FILENAME
    default:
      return static_cast<std::int32_t>(0x80004005u);  // E_FAIL
  }
}

void RaiseFileError(int error, const std::string& path, const std::string& message) {
  std::string text = message.empty() ? SystemErrorText(error) : message;
  TraceException(text, {});
  throw COSException(text, error, StatusOfFileError(error, path));
}

void RaiseInPlaceOf(const std::exception& inner, const std::string& message) {
  if (auto os = dynamic_cast<const COSException*>(&inner)) {
    TraceException(message, {});
    throw COSException(message, os->Code(), os->Status());
  }
  RaiseError(message);
}

void RaiseIfFalse(bool condition, const std::string& message) {
  if (!condition) throw CVorlentException(message);
}

void RaiseAgain(const std::exception& error) {
  if (auto os = dynamic_cast<const COSException*>(&error)) {
    TraceException(os->Message(), {});
    throw COSException(os->Message(), os->Code(), os->Status());
  }
  if (auto general = dynamic_cast<const CVorlentException*>(&error)) RaiseError(general->Message());
  RaiseError(error.what());
}

void SetTraceSink(TraceSink sink) {
  Sinks& s = GetSinks();
  std::lock_guard<std::mutex> lock(s.mutex);
  s.traceConfigured = true;
  s.traceFile.reset();
  s.trace = std::move(sink);
}

void Trace(std::string_view format, const FmtArgs& args) {
  try {
    TraceLine(FormatText(format, args));
  } catch (...) {
  }
}

void RegisterSystemErrorText(std::int32_t code, const std::string& text) {
  Sinks& s = GetSinks();
  std::lock_guard<std::mutex> lock(s.mutex);
  s.errorTexts[code] = text;
}

std::string SystemErrorText(std::int32_t code) {
  {
    Sinks& s = GetSinks();
    std::lock_guard<std::mutex> lock(s.mutex);
    auto it = s.errorTexts.find(code);
    if (it != s.errorTexts.end()) return it->second;
  }
  if (code > 0 && code < 4096) {
    char buffer[256];
    // the GNU strerror_r returns the text, which may or may not be in buffer
    const char* text = strerror_r(code, buffer, sizeof buffer);
    return Utf8ToCp1251(text).substr(0, 256);
  }
  return FormatText("Unknown error 0x%.8x", {code});
}

void ShowError(const std::exception& error) {
  std::string text;
  if (auto os = dynamic_cast<const COSException*>(&error)) {
    text = FormatText("Error code = %d, %s", {os->Code(), os->Message()});
  } else if (auto general = dynamic_cast<const CVorlentException*>(&error)) {
    text = general->Message();
  } else {
    text = error.what();
  }
  TraceLine("Ошибка"_cp + ": " + text);
  WriteEventLogError(text);
}

std::string HostExecutableName() {
  char buffer[4096];
  ssize_t n = readlink("/proc/self/exe", buffer, sizeof buffer - 1);
  if (n <= 0) return "qelvorlent";
  std::string path(buffer, static_cast<std::size_t>(n));
  return Utf8ToCp1251(path.substr(path.find_last_of('/') + 1));
}

void SetEventLogSink(EventLogSink sink) {
  Sinks& s = GetSinks();
  std::lock_guard<std::mutex> lock(s.mutex);
  s.eventLog = std::move(sink);
}

int WriteEventLog(const std::string& message, int kind, const std::string& source, std::int32_t errorCode,
                  int eventId) {
  try {
    EventLogEntry entry;
    entry.ident = source.empty() ? HostExecutableName() : source;
    entry.eventId = eventId;
    entry.message = message;
    switch (kind) {
      case kEventSuccess:
        entry.status = "Успешно"_cp, entry.priority = LOG_INFO;
        break;
      case kEventError:
        entry.status = errorCode != 0
                           ? FormatText("Ошибка: %0:d (%1:s)"_cp, {errorCode, SystemErrorText(errorCode)})
                           : "Ошибка"_cp;
        entry.priority = LOG_ERR;
        break;
      case kEventWarning:
        entry.status = "Предупреждение"_cp, entry.priority = LOG_WARNING;
        break;
      case kEventInformation:
        entry.status = "Информация"_cp, entry.priority = LOG_INFO;
        break;
      default:
        entry.status = "Неизвестное событие"_cp, entry.priority = LOG_NOTICE;
        break;
    }
    {
      Sinks& s = GetSinks();
      std::lock_guard<std::mutex> lock(s.mutex);
      if (s.eventLog) {
        s.eventLog(entry);
        return 0;
      }
    }
    // The log is opened and closed for each entry, as the event source is per call.
    std::string ident = Cp1251ToUtf8(entry.ident);
    openlog(ident.c_str(), LOG_PID, LOG_USER);
    if (eventId != 0) {
      syslog(entry.priority, "%s: %s (%d)", Cp1251ToUtf8(entry.status).c_str(), Cp1251ToUtf8(message).c_str(),
             eventId);
    } else {
      syslog(entry.priority, "%s: %s", Cp1251ToUtf8(entry.status).c_str(), Cp1251ToUtf8(message).c_str());
    }
    closelog();
    return 0;
  } catch (...) {
    return errno != 0 ? errno : EIO;
  }
}

int WriteEventLogError(const std::string& message, const std::string& source, int eventId,
                       std::int32_t errorCode) {
  return WriteEventLog(message, kEventError, source, errorCode, eventId);
}

}  // namespace qv
