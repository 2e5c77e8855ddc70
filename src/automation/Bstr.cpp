#include "automation/Bstr.h"

#include <new>

#include "foundation/CodePage.h"

namespace qv {

std::u16string BstrToWide(BSTR text) {
  return text ? std::u16string(text, SysStringLen(text)) : std::u16string();
}

std::string BstrToText(BSTR text) {
  return text ? Utf16ToCp1251(std::u16string_view(text, SysStringLen(text))) : std::string();
}

BSTR WideToBstr(std::u16string_view text) {
  if (text.size() > 0x3FFFFFF0u) throw std::bad_alloc();
  BSTR result = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
  if (!result) throw std::bad_alloc();
  return result;
}

BSTR TextToBstr(std::string_view text) {
  return WideToBstr(Cp1251ToUtf16(text));
}

}  // namespace qv
