#include "Pin.h"

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>

#include "Client.h"
#include "Util.h"

namespace vorlent {

namespace {

// The first line of a text, without its end of line.
std::string FirstLine(const std::string& text) {
  std::size_t end = text.find_first_of("\r\n");
  return end == std::string::npos ? text : text.substr(0, end);
}

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

}  // namespace

std::string ReadPinSpec(const std::string& spec) {
  std::size_t colon = spec.find(':');
  if (colon == std::string::npos) Usage("--pin: ожидается pass:ТЕКСТ, env:ПЕРЕМЕННАЯ, file:ПУТЬ или fd:N");
  std::string kind = spec.substr(0, colon);
  std::string value = spec.substr(colon + 1);
  if (kind == "pass") return value;
  if (kind == "env") {
    const char* text = std::getenv(value.c_str());
    if (!text) throw Failure("--pin: переменная окружения " + value + " не задана");
    return text;
  }
  if (kind == "file") {
    std::ifstream in(value, std::ios::binary);
    if (!in) throw Failure("--pin: не удалось прочитать файл " + value);
    return FirstLine(std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()));
  }
  if (kind == "fd") {
    char* end = nullptr;
    long fd = std::strtol(value.c_str(), &end, 10);
    if (value.empty() || *end || fd < 0) Usage("--pin: неверный номер дескриптора " + value);
    std::string text;
    char buffer[256];
    ssize_t got;
    while ((got = read(static_cast<int>(fd), buffer, sizeof buffer)) > 0) {
      text.append(buffer, static_cast<std::size_t>(got));
      if (text.find('\n') != std::string::npos) break;
    }
    return FirstLine(text);
  }
  Usage("--pin: неизвестный вид " + kind + " (pass, env, file, fd)");
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
