#include "foundation/Format.h"

#include <cstdio>

namespace qv {
namespace {

std::string Digits(long long value, char type, int precision) {
  std::string digits;
  bool negative = false;
  unsigned long long magnitude;
  if (type == 'x' || type == 'X') {
    // hexadecimal shows the 32-bit pattern of a negative 32-bit value, as status codes are shown
    magnitude = (value < 0 && value >= INT32_MIN) ? static_cast<std::uint32_t>(value)
                                                  : static_cast<unsigned long long>(value);
    const char* hex = "0123456789ABCDEF";
    do {
      digits.insert(digits.begin(), hex[magnitude & 0xF]);
      magnitude >>= 4;
    } while (magnitude);
  } else {
    negative = value < 0 && type != 'u';
    magnitude =
        negative ? 0ULL - static_cast<unsigned long long>(value) : static_cast<unsigned long long>(value);
    if (type == 'u' && value < 0) magnitude = static_cast<std::uint32_t>(value);
    do {
      digits.insert(digits.begin(), static_cast<char>('0' + magnitude % 10));
      magnitude /= 10;
    } while (magnitude);
  }
  if (precision > 0 && static_cast<int>(digits.size()) < precision) {
    digits.insert(0, static_cast<std::size_t>(precision) - digits.size(), '0');
  }
  return negative ? "-" + digits : digits;
}

std::string Render(const FmtArg& arg, char type, int precision) {
  if (type == 's') {
    if (!arg.IsText()) return Digits(arg.Number(), 'd', 0);
    if (precision >= 0 && static_cast<std::size_t>(precision) < arg.Text().size()) {
      return arg.Text().substr(0, static_cast<std::size_t>(precision));
    }
    return arg.Text();
  }
  if (arg.IsText()) return arg.Text();
  return Digits(arg.Number(), type, precision);
}

}  // namespace

std::string FormatText(std::string_view format, const FmtArgs& args) {
  std::string out;
  out.reserve(format.size() + 32);
  std::size_t next = 0;  // the argument a plain specifier takes
  std::size_t i = 0;
  while (i < format.size()) {
    char c = format[i];
    if (c != '%') {
      out += c;
      ++i;
      continue;
    }
    if (i + 1 < format.size() && format[i + 1] == '%') {
      out += '%';
      i += 2;
      continue;
    }
    std::size_t start = i++;
    // optional index "N:"
    std::size_t j = i;
    long index = -1;
    while (j < format.size() && format[j] >= '0' && format[j] <= '9') ++j;
    if (j > i && j < format.size() && format[j] == ':') {
      index = std::stol(std::string(format.substr(i, j - i)));
      i = j + 1;
    }
    bool left = false;
    if (i < format.size() && format[i] == '-') {
      left = true;
      ++i;
    }
    int width = 0;
    while (i < format.size() && format[i] >= '0' && format[i] <= '9')
      width = width * 10 + (format[i++] - '0');
    int precision = -1;
    if (i < format.size() && format[i] == '.') {
      ++i;
      precision = 0;
      while (i < format.size() && format[i] >= '0' && format[i] <= '9') {
        precision = precision * 10 + (format[i++] - '0');
      }
    }
    char type = i < format.size() ? static_cast<char>(format[i] | 0x20) : '\0';
    if (type != 's' && type != 'd' && type != 'u' && type != 'x') {
      out.append(format.substr(start, i - start));  // not a specifier we know: keep it as written
      continue;
    }
    ++i;
    std::size_t argIndex = index >= 0 ? static_cast<std::size_t>(index) : next;
    next = argIndex + 1;
    std::string text = argIndex < args.size() ? Render(args[argIndex], type, precision) : std::string();
    if (static_cast<int>(text.size()) < width) {
      std::string pad(static_cast<std::size_t>(width) - text.size(), ' ');
      text = left ? text + pad : pad + text;
    }
    out += text;
  }
  return out;
}

}  // namespace qv
