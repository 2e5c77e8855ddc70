// The manifest reader on arbitrary bytes: it may refuse them with a library error, but it
// never crashes, hangs or reads past the data; and whatever it accepts and can write again
// reads back to the same text.
#include <cstddef>
#include <cstdint>
#include <string>

#include "foundation/Errors.h"
#include "manifest/XMLGpr.h"
#include "xml/XMLTokenizer.h"

namespace {

void Tokenize(const std::string& text, std::size_t window) {
  qv::CStringStream stream(text);
  try {
    qv::TXMLTokenizer tokenizer(stream, window);
    while (tokenizer.Kind() != qv::TXMLTokenizer::kEndOfInput) {
      (void)tokenizer.TokenText();
      tokenizer.Next();
    }
  } catch (const qv::CVorlentException&) {
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string text(reinterpret_cast<const char*>(data), size);
  Tokenize(text, 16);
  Tokenize(text, 4096);

  qv::CXMLGprExtPackage package;
  try {
    package.SetText(text);
    package.Parse();
  } catch (const qv::CVorlentException&) {
    return 0;
  }
  std::string written;
  try {
    written = package.SaveToText();
  } catch (const qv::CVorlentException&) {
    return 0;  // read, but not complete enough to be written (an empty required value)
  }
  qv::CXMLGprExtPackage again;
  again.SetText(written);
  again.Parse();
  if (again.SaveToText() != written) __builtin_trap();
  return 0;
}
