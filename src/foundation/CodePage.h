// Code page 1251 text inside the library, UTF-16 at the automation boundary, UTF-8 at
// the operating system and the terminal.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace qv {

// UTF-16 <-> 1251 through one 256-entry table that is a bijection on bytes: the byte
// 0x98, which 1251 leaves undefined, maps to U+0098. Any byte string survives
// bytes -> UTF-16 -> bytes. A UTF-16 character that 1251 lacks becomes "?".
std::u16string Cp1251ToUtf16(std::string_view text);
std::string Utf16ToCp1251(std::u16string_view text);
char16_t Cp1251CharToUtf16(unsigned char c);
// The same between buffers, for documents of any size: `count` bytes at `in` become
// `count` UTF-16 units at `out`; `count` UTF-16 units at `in` become at most `count`
// bytes at `out` and the number written is returned. Table loops without allocation.
void Cp1251ToUtf16(const char* in, std::size_t count, char16_t* out);
std::size_t Utf16ToCp1251(const char16_t* in, std::size_t count, char* out);

// UTF-8 <-> 1251 for file names, the system log and the command-line tool. Malformed
// UTF-8 and characters 1251 lacks become "?".
std::string Cp1251ToUtf8(std::string_view text);
std::string Utf8ToCp1251(std::string_view text);

// The 1251 form of a file name handed to the library; a name with a character 1251 lacks
// (or malformed UTF-8) fails with "Имя файла [%s] содержит знаки, которых нет в кодировке
// windows-1251" (the name shown with "?" in their place) instead of naming another file.
std::string FileNameToCp1251(std::u16string_view name);
std::string FileNameUtf8ToCp1251(std::string_view name);

// A path held in 1251 as the file system wants it (UTF-8). Call it right at the system call.
inline std::string SysPath(std::string_view path) {
  return Cp1251ToUtf8(path);
}

// Upper case of a 1251 character (Latin and Cyrillic letters), used by case-insensitive compares.
unsigned char Cp1251Upper(unsigned char c);
int CompareTextNoCase(std::string_view a, std::string_view b);
bool SameText(std::string_view a, std::string_view b);

// The library's messages are written in the source as UTF-8 literals and become 1251
// text here, once per use: "Файл не найден: [%s]"_cp.
inline std::string operator""_cp(const char* text, std::size_t length) {
  return Utf8ToCp1251(std::string_view(text, length));
}

}  // namespace qv
