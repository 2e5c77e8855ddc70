#include "Util.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <random>
#include <utility>
#include <vector>

namespace vorlent {

namespace {

struct Named {
  const char* name;
  int value;
};

const Named kTransactions[] = {
    {"ul-reg", TRANSACTION_TYPE_UL_REG_UL},
    {"ul-notice-receipt", TRANSACTION_TYPE_UL_NOTICE_RECEIPT},
    {"ul-receipt", TRANSACTION_TYPE_UL_RECEIPT},
    {"ul-reject", TRANSACTION_TYPE_UL_REJECT_DECISION},
    {"ul-info", TRANSACTION_TYPE_UL_INFO},
    {"ul-suspend", 11},  // suspension of registration: the enumeration has no name for it
    {"ip-reg", TRANSACTION_TYPE_IP_REG_IP},
    {"ip-notice-receipt", TRANSACTION_TYPE_IP_NOTICE_RECEIPT},
    {"ip-receipt", TRANSACTION_TYPE_IP_RECEIPT},
    {"ip-reject", TRANSACTION_TYPE_IP_REJECT_DECISION},
    {"ip-info", TRANSACTION_TYPE_IP_INFO},
};

const Named kRoles[] = {
    {"unknown", SIGN_ROLE_TYPE_UNKNOWN},
    {"abonent", SIGN_ROLE_TYPE_ABONENT},
    {"applicant", SIGN_ROLE_TYPE_APPLICANT},
    {"notary", SIGN_ROLE_TYPE_NOTARY},
    {"fns", SIGN_ROLE_TYPE_FNS},
    {"sos", SIGN_ROLE_TYPE_SOS},
    {"duc", SIGN_ROLE_TYPE_DUC},
    {"cbrf", SIGN_ROLE_TYPE_CBRF},
    {"ionotary", SIGN_ROLE_TYPE_IONOTARY},
    {"minust", SIGN_ROLE_TYPE_MINUST},
    {"mfc", 10},  // multifunctional centre: no name in the enumeration
};

std::string Names(const Named* table, std::size_t count, std::size_t from) {
  std::string text;
  for (std::size_t i = from; i < count; ++i) text += (text.empty() ? "" : ", ") + std::string(table[i].name);
  return text;
}

std::string SystemError(const std::string& what, const std::string& path) {
  return what + " " + path + ": " + std::strerror(errno);
}

bool WriteAll(int fd, std::string_view bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

// Creates a new file of a unique name in `folder` for writing: never an existing file,
// never through a link.
Descriptor CreateTemporary(const std::string& folder, std::string& name) {
  std::random_device random;
  for (int attempt = 0; attempt < kTemporaryNameAttempts; ++attempt) {
    char suffix[32];
    std::snprintf(suffix, sizeof suffix, "%08x%08x", random(), random());
    name = folder + "/.vorlent-" + suffix + ".part";
    int fd = open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (fd >= 0) return Descriptor(fd);
    if (errno != EEXIST) break;
  }
  throw Failure(SystemError("не удалось создать временный файл в папке", folder));
}

}  // namespace

Descriptor OpenForReading(const std::string& path) {
  Descriptor fd(open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (fd.Get() < 0) throw Failure(SystemError("не удалось открыть файл", path));
  return fd;
}

std::string ReadFile(const std::string& path, std::uint64_t maxSize) {
  Descriptor fd = OpenForReading(path);
  const auto tooLarge = [&] { return Failure("файл больше " + std::to_string(maxSize) + " байт: " + path); };
  // A regular file is read straight into a buffer of its size; anything else, or a file that
  // grows meanwhile, in pieces.
  std::string bytes;
  struct stat info {};
  if (fstat(fd.Get(), &info) == 0 && S_ISREG(info.st_mode) && info.st_size > 0) {
    if (static_cast<std::uint64_t>(info.st_size) > maxSize) throw tooLarge();
    bytes.resize(static_cast<std::size_t>(info.st_size));
  }
  std::size_t done = 0;
  std::vector<char> more(1 << 16);
  for (;;) {
    const bool full = done == bytes.size();
    ssize_t n = full ? read(fd.Get(), more.data(), more.size())
                     : read(fd.Get(), bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) throw Failure(SystemError("не удалось прочитать файл", path));
    if (n == 0) break;
    if (full) bytes.append(more.data(), static_cast<std::size_t>(n));
    done += static_cast<std::size_t>(n);
    if (done > maxSize) throw tooLarge();
  }
  bytes.resize(done);  // a file that shrank meanwhile
  return bytes;
}

void WriteFile(const std::string& path, std::string_view bytes, bool replace) {
  WriteFileWith(path, replace, [&](int fd) { return WriteAll(fd, bytes); });
}

void WriteFileWith(const std::string& path, bool replace, const std::function<bool(int fd)>& write) {
  std::size_t slash = path.find_last_of('/');
  std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
  std::string temporary;
  Descriptor fd = CreateTemporary(folder, temporary);
  bool written = false;
  try {
    written = write(fd.Get());
  } catch (...) {
    unlink(temporary.c_str());
    throw;
  }
  if (!written || close(fd.Release()) != 0) {
    std::string message = SystemError("не удалось записать файл", path);
    unlink(temporary.c_str());
    throw Failure(message);
  }
  // A link or file at the target is replaced itself, never written through.
  int placed = replace ? rename(temporary.c_str(), path.c_str())
                       : renameat2(AT_FDCWD, temporary.c_str(), AT_FDCWD, path.c_str(), RENAME_NOREPLACE);
  if (placed != 0 && !replace && errno == EINVAL) {
    // a file system without the exclusive rename: a new hard link is exclusive as well
    placed = link(temporary.c_str(), path.c_str());
    if (placed == 0) unlink(temporary.c_str());
  }
  if (placed == 0) return;
  int error = errno;
  unlink(temporary.c_str());
  errno = error;
  if (error == EEXIST) throw Failure("файл уже существует: " + path + " (--force перезапишет)");
  throw Failure(SystemError("не удалось записать файл", path));
}

std::uint64_t FileSize(const std::string& path) {
  struct stat info {};
  return stat(path.c_str(), &info) == 0 ? static_cast<std::uint64_t>(info.st_size) : 0;
}

bool FileExists(const std::string& path) {
  struct stat info {};
  return stat(path.c_str(), &info) == 0;
}

void MakeDirectories(const std::string& path) {
  std::string current;
  for (std::size_t i = 0; i <= path.size(); ++i) {
    if (i == path.size() || path[i] == '/') {
      if (!current.empty() && mkdir(current.c_str(), 0755) != 0 && errno != EEXIST)
        throw Failure(SystemError("не удалось создать папку", current));
    }
    if (i < path.size()) current += path[i];
  }
}

std::string SafeFileName(const std::string& name) {
  std::string base = name;
  std::size_t slash = base.find_last_of("/\\");
  if (slash != std::string::npos) base = base.substr(slash + 1);
  std::string safe;
  for (unsigned char c : base) {
    if (c < 0x20 || c == 0x7F || c == ':' || c == '*' || c == '?' || c == '"' || c == '<' || c == '>' ||
        c == '|') {
      safe += '_';
    } else {
      safe += static_cast<char>(c);
    }
  }
  while (!safe.empty() && (safe[0] == '.' || safe[0] == ' ')) safe.erase(0, 1);
  if (safe.empty()) safe = "document";
  return safe;
}

std::string CertificateDer(const std::string& bytes) {
  const std::string begin = "-----BEGIN CERTIFICATE-----";
  std::size_t start = bytes.find(begin);
  if (start == std::string::npos) return bytes;
  std::size_t end = bytes.find("-----END", start + begin.size());
  if (end == std::string::npos) throw Failure("файл сертификата PEM оборван");
  std::string der;
  unsigned value = 0;
  int bits = 0;
  for (std::size_t i = start + begin.size(); i < end; ++i) {
    char c = bytes[i];
    int digit;
    if (c >= 'A' && c <= 'Z') {
      digit = c - 'A';
    } else if (c >= 'a' && c <= 'z') {
      digit = c - 'a' + 26;
    } else if (c >= '0' && c <= '9') {
      digit = c - '0' + 52;
    } else if (c == '+') {
      digit = 62;
    } else if (c == '/') {
      digit = 63;
    } else {
      continue;
    }
    value = (value << 6) | static_cast<unsigned>(digit);
    bits += 6;
    if (bits >= 8) {
      bits -= 8;
      der += static_cast<char>((value >> bits) & 0xFF);
    }
  }
  return der;
}

std::string NormalizeSha1(const std::string& text) {
  std::string hex;
  for (unsigned char c : text) {
    if (c == ' ' || c == ':') continue;
    if (!std::isxdigit(c)) Usage("неверный отпечаток сертификата: " + text);
    hex += static_cast<char>(std::toupper(c));
  }
  if (hex.size() != 40) Usage("отпечаток SHA-1 состоит из 40 шестнадцатеричных цифр: " + text);
  return hex;
}

TRANSACTION_TYPES ParseTransaction(const std::string& name) {
  for (const Named& item : kTransactions) {
    if (name == item.name) return static_cast<TRANSACTION_TYPES>(item.value);
  }
  Usage("неизвестная транзакция " + name + " (" + Names(kTransactions, std::size(kTransactions), 0) + ")");
}

std::string TransactionName(TRANSACTION_TYPES type) {
  for (const Named& item : kTransactions) {
    if (item.value == type) return item.name;
  }
  return "unknown";
}

SIGN_ROLE_TYPES ParseRole(const std::string& name) {
  for (const Named& item : kRoles) {
    if (name == item.name && item.value != SIGN_ROLE_TYPE_UNKNOWN)
      return static_cast<SIGN_ROLE_TYPES>(item.value);
  }
  Usage("неизвестная роль " + name + " (" + Names(kRoles, std::size(kRoles), 1) + ")");
}

std::string RoleName(SIGN_ROLE_TYPES role) {
  for (const Named& item : kRoles) {
    if (item.value == role) return item.name;
  }
  return "unknown";
}

std::string GuessContentType(const std::string& path) {
  std::string base = BaseName(path);
  std::size_t dot = base.find_last_of('.');
  std::string extension;
  if (dot != std::string::npos) {
    for (char c : base.substr(dot + 1))
      extension += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  }
  if (extension == "xml") return "text/xml";
  if (extension == "pdf") return "application/pdf";
  if (extension == "tif" || extension == "tiff") return "image/tiff";
  if (extension == "jpg" || extension == "jpeg") return "image/jpeg";
  if (extension == "txt") return "text/plain";
  return "application/octet-stream";
}

std::string BaseName(const std::string& path) {
  std::size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

namespace {

// The length of the well-formed UTF-8 sequence at `at` with its code point, or 0.
std::size_t Utf8Sequence(const std::string& text, std::size_t at, char32_t& code) {
  unsigned char lead = static_cast<unsigned char>(text[at]);
  std::size_t length = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 0;
  if (length == 0 || lead > 0xF4 || at + length > text.size()) return 0;
  code = lead & (0x7F >> length);
  for (std::size_t k = 1; k < length; ++k) {
    unsigned char next = static_cast<unsigned char>(text[at + k]);
    if ((next & 0xC0) != 0x80) return 0;
    code = (code << 6) | (next & 0x3F);
  }
  const char32_t least[] = {0, 0, 0x80, 0x800, 0x10000};
  if (code < least[length] || code > 0x10FFFF || (code >= 0xD800 && code < 0xE000)) return 0;
  return length;
}

}  // namespace

std::string Printable(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  char escape[16];
  for (std::size_t i = 0; i < text.size();) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    if (c >= 0x20 && c < 0x7F) {
      out += static_cast<char>(c);
      ++i;
      continue;
    }
    if (c == '\n' || c == '\r' || c == '\t') {
      out += c == '\n' ? "\\n" : c == '\r' ? "\\r" : "\\t";
      ++i;
      continue;
    }
    char32_t code = 0;
    std::size_t length = c < 0x80 ? 0 : Utf8Sequence(text, i, code);
    if (length == 0) {
      std::snprintf(escape, sizeof escape, "\\x%02x", c);
      out += escape;
      ++i;
    } else if (code < 0xA0) {
      std::snprintf(escape, sizeof escape, "\\u%04x", static_cast<unsigned>(code));
      out += escape;
      i += length;
    } else {
      out.append(text, i, length);
      i += length;
    }
  }
  return out;
}

}  // namespace vorlent
