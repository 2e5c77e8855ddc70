#include "Pin.h"

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <poll.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "Client.h"
#include "Util.h"

namespace vorlent {

namespace {

// Asks on the terminal with echo off.
int PromptPin(const char* containerName, char* pin, size_t size, void*) {
  int fd = open("/dev/tty", O_RDWR | O_CLOEXEC);
  if (fd < 0) return 0;
  std::string question = "PIN контейнера «" + Printable(containerName) + "»: ";
  if (write(fd, question.data(), question.size()) < 0) {
    close(fd);
    return 0;
  }
  termios saved{};
  bool restore = tcgetattr(fd, &saved) == 0;
  if (restore) {
    termios quiet = saved;
    quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    tcsetattr(fd, TCSAFLUSH, &quiet);
  }
  std::size_t length = 0;
  char c;
  while (length + 1 < size && read(fd, &c, 1) == 1 && c != '\n' && c != '\r') pin[length++] = c;
  pin[length] = '\0';
  if (restore) tcsetattr(fd, TCSAFLUSH, &saved);
  if (write(fd, "\n", 1) < 0) {
    // Nothing to do: the answer is read already.
  }
  close(fd);
  return 1;
}

// How long a pipe is waited for its PIN line: a program that hands the PIN over writes it at
// once or after asking its own user; one that never writes does not hold the command for ever.
int PinWaitSeconds() {
  const char* text = std::getenv("QELVORLENT_PIN_WAIT");
  if (text && *text) {
    char* end = nullptr;
    long seconds = std::strtol(text, &end, 10);
    if (!*end && seconds >= 1 && seconds <= kMaxPinWaitSeconds) return static_cast<int>(seconds);
  }
  return kPinWaitSeconds;
}

// The first line (without its end of line) of what the descriptor gives: a regular file, a pipe
// or a terminal, read at most kMaxPinSource bytes. `source` names it in the messages.
std::string ReadSourceLine(int fd, const std::string& source) {
  struct stat st {};
  if (fstat(fd, &st) != 0)
    throw Failure(source +
                  (errno == EBADF ? std::string(" не открыт") : ": " + std::string(std::strerror(errno))));
  const bool pipe = S_ISFIFO(st.st_mode);
  const bool terminal = S_ISCHR(st.st_mode) && isatty(fd);
  if (!S_ISREG(st.st_mode) && !pipe && !terminal)
    throw Failure(source + ": не обычный файл, не канал и не терминал");
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(PinWaitSeconds());
  std::string text;
  while (text.size() < kMaxPinSource) {
    // A pipe is waited for until the deadline (one opened by name has no writer yet at first
    // and is not ready until one writes); a terminal is a person typing.
    if (!S_ISREG(st.st_mode)) {
      int timeout = -1;
      if (pipe) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline -
                                                                          std::chrono::steady_clock::now());
        timeout = static_cast<int>(std::max<long long>(left.count(), 0));
      }
      pollfd waiting{fd, POLLIN, 0};
      int ready = poll(&waiting, 1, timeout);
      if (ready < 0 && errno == EINTR) continue;
      if (ready < 0) throw Failure(source + ": " + std::strerror(errno));
      if (ready == 0)
        throw Failure(source + ": канал не дал строки за " + std::to_string(PinWaitSeconds()) + " с");
    }
    char c;
    ssize_t got = read(fd, &c, 1);
    if (got < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (got < 0) throw Failure(source + ": " + std::strerror(errno));
    if (got == 0 || c == '\n' || c == '\r') return text;
    text += c;
  }
  throw Failure(source + ": первая строка длиннее " + std::to_string(kMaxPinSource) + " байт");
}

}  // namespace

std::string ReadPinSpec(const std::string& spec, const std::string& option) {
  const std::string what = option == "--password" ? "пароль" : "PIN";
  std::size_t colon = spec.find(':');
  if (colon == std::string::npos)
    Usage(option + ": ожидается pass:ТЕКСТ, env:ПЕРЕМЕННАЯ, file:ПУТЬ или fd:N");
  std::string kind = spec.substr(0, colon);
  std::string value = spec.substr(colon + 1);
  std::string text;
  if (kind == "pass") {
    text = value;
  } else if (kind == "env") {
    const char* variable = std::getenv(value.c_str());
    if (!variable) throw Failure(option + ": переменная окружения " + value + " не задана");
    text = variable;
  } else if (kind == "file") {
    Descriptor fd(open(value.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
    if (fd.Get() < 0)
      throw Failure(option + ": не удалось открыть файл " + value + ": " + std::strerror(errno));
    text = ReadSourceLine(fd.Get(), option + ": файл " + value);
  } else if (kind == "fd") {
    char* end = nullptr;
    errno = 0;
    long fd = std::strtol(value.c_str(), &end, 10);
    if (value.empty() || *end || errno || fd < 0 || fd > INT_MAX)
      Usage(option + ": неверный номер дескриптора " + value);
    text = ReadSourceLine(static_cast<int>(fd), option + ": дескриптор " + value);
  } else {
    Usage(option + ": неизвестный вид " + kind + " (pass, env, file, fd)");
  }
  // An empty PIN stores a key in the clear: a source that gives nothing is a mistake.
  if (text.empty())
    throw Failure(option + ": " + what + " из " + kind + ":" + (kind == "pass" ? "" : value) + " пуст");
  return text;
}

void SetupPin(const std::string& spec) {
  if (!spec.empty()) {
    std::string pin = ReadPinSpec(spec);
    setenv("QELVORLENT_PIN", pin.c_str(), 1);
    std::fill(pin.begin(), pin.end(), '\0');
    return;
  }
  if (std::getenv("QELVORLENT_PIN")) return;
  if (isatty(STDIN_FILENO)) QvToolSetPinPrompt(&PromptPin, nullptr);
}

namespace {

void HideSecret(char* spec) {
  if (std::strncmp(spec, "pass:", 5) == 0) std::memset(spec + 5, 'x', std::strlen(spec + 5));
}

}  // namespace

void HideSecretArguments(int argc, char** argv) {
  // the options as the command line reads them: a value follows its option or its "="
  const char* options[] = {"--pin", "--password"};
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--") == 0) break;
    for (const char* option : options) {
      std::size_t length = std::strlen(option);
      if (std::strcmp(argv[i], option) == 0 && i + 1 < argc) {
        HideSecret(argv[++i]);
        break;
      }
      if (std::strncmp(argv[i], option, length) == 0 && argv[i][length] == '=')
        HideSecret(argv[i] + length + 1);
    }
  }
}

}  // namespace vorlent
