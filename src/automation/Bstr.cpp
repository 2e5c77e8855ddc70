#include "automation/Bstr.h"

#include <new>

#include "foundation/CodePage.h"

namespace qv {
namespace {

// The longest string handed out (in UTF-16 units), well inside what SysAllocStringLen takes.
constexpr std::size_t kMaxBstrLength = 0x3FFFFFF0u;

}  // namespace

std::u16string BstrToWide(BSTR text) {
  return text ? std::u16string(text, SysStringLen(text)) : std::u16string();
}

std::string BstrToText(BSTR text) {
  return text ? Utf16ToCp1251(std::u16string_view(text, SysStringLen(text))) : std::string();
}

std::string BstrToFileName(BSTR text) {
  return text ? FileNameToCp1251(std::u16string_view(text, SysStringLen(text))) : std::string();
}

BSTR WideToBstr(std::u16string_view text) {
  if (text.size() > kMaxBstrLength) throw std::bad_alloc();
  BSTR result = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
  if (!result) throw std::bad_alloc();
  return result;
}

// Converted straight into the new string: a document read through a view is not held a
// further time, twice its size, on the way.
BSTR TextToBstr(std::string_view text) {
  if (text.size() > kMaxBstrLength) throw std::bad_alloc();
  BSTR result = SysAllocStringLen(nullptr, static_cast<UINT>(text.size()));
  if (!result) throw std::bad_alloc();
  Cp1251ToUtf16(text.data(), text.size(), result);
  return result;
}

}  // namespace qv
