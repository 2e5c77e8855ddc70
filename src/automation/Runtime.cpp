// Strings and variants of the automation runtime.
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>
#include <string>

#include "automation/Bstr.h"
#include "qelvorlent/Automation.h"

namespace {

// A BSTR is preceded by its length in bytes and followed by a zero character.
constexpr std::size_t kPrefix = sizeof(std::uint32_t);

std::uint32_t* Header(BSTR text) {
  return reinterpret_cast<std::uint32_t*>(reinterpret_cast<char*>(text) - kPrefix);
}

}  // namespace

STDAPI_(BSTR) SysAllocStringLen(const OLECHAR* strIn, UINT ui) {
  if (ui > (std::numeric_limits<std::uint32_t>::max() - kPrefix - 2) / 2) return nullptr;
  std::size_t bytes = std::size_t{ui} * sizeof(OLECHAR);
  void* block = std::malloc(kPrefix + bytes + sizeof(OLECHAR));
  if (!block) return nullptr;
  auto length = static_cast<std::uint32_t>(bytes);
  std::memcpy(block, &length, kPrefix);
  BSTR text = reinterpret_cast<BSTR>(static_cast<char*>(block) + kPrefix);
  if (strIn) {
    std::memcpy(text, strIn, bytes);
  } else {
    std::memset(text, 0, bytes);
  }
  text[ui] = 0;
  return text;
}

STDAPI_(BSTR) SysAllocString(const OLECHAR* psz) {
  if (!psz) return nullptr;
  std::size_t length = 0;
  while (psz[length]) ++length;
  if (length > std::numeric_limits<UINT>::max()) return nullptr;
  return SysAllocStringLen(psz, static_cast<UINT>(length));
}

STDAPI_(void) SysFreeString(BSTR bstrString) {
  if (bstrString) std::free(Header(bstrString));
}

STDAPI_(UINT) SysStringByteLen(BSTR bstr) {
  return bstr ? *Header(bstr) : 0;
}

STDAPI_(UINT) SysStringLen(BSTR pbstr) {
  return SysStringByteLen(pbstr) / sizeof(OLECHAR);
}

// ---------------------------------------------------------------- variants

STDAPI_(void) VariantInit(VARIANT* pvarg) {
  if (!pvarg) return;
  std::memset(pvarg, 0, sizeof(VARIANT));
  pvarg->vt = VT_EMPTY;
}

STDAPI VariantClear(VARIANT* pvarg) {
  if (!pvarg) return E_INVALIDARG;
  switch (pvarg->vt) {
    case VT_BSTR:
      SysFreeString(pvarg->bstrVal);
      break;
    case VT_DISPATCH:
      if (pvarg->pdispVal) pvarg->pdispVal->Release();
      break;
    case VT_UNKNOWN:
      if (pvarg->punkVal) pvarg->punkVal->Release();
      break;
    default:
      if ((pvarg->vt & VT_ARRAY) != 0 || (pvarg->vt & VT_TYPEMASK) > VT_UINT) {
        if ((pvarg->vt & VT_BYREF) == 0) return DISP_E_BADVARTYPE;
      }
      break;
  }
  VariantInit(pvarg);
  return S_OK;
}

STDAPI VariantCopy(VARIANT* pvargDest, const VARIANT* pvargSrc) {
  if (!pvargDest || !pvargSrc) return E_INVALIDARG;
  if ((pvargSrc->vt & VT_ARRAY) != 0 ||
      ((pvargSrc->vt & VT_TYPEMASK) > VT_UINT && (pvargSrc->vt & VT_BYREF) == 0)) {
    return DISP_E_BADVARTYPE;
  }
  if (pvargDest == pvargSrc) return S_OK;
  VARIANT copy = *pvargSrc;
  switch (pvargSrc->vt) {
    case VT_BSTR:
      if (pvargSrc->bstrVal) {
        copy.bstrVal = SysAllocStringLen(pvargSrc->bstrVal, SysStringLen(pvargSrc->bstrVal));
        if (!copy.bstrVal) return E_OUTOFMEMORY;
      }
      break;
    case VT_DISPATCH:
    case VT_UNKNOWN:
      if (copy.punkVal) copy.punkVal->AddRef();
      break;
    default:
      break;
  }
  HRESULT hr = VariantClear(pvargDest);
  if (FAILED(hr)) {
    VariantClear(&copy);
    return hr;
  }
  *pvargDest = copy;
  return S_OK;
}

namespace {

// A value on its way between types: an integer, a real, or neither.
struct Number {
  bool isReal = false;
  long long integer = 0;
  double real = 0;
};

bool ParseNumber(BSTR text, Number& out) {
  std::string ascii;
  for (UINT i = 0, n = SysStringLen(text); i < n; ++i) {
    char16_t c = text[i];
    if (c > 0x7F || c == 0) return false;
    ascii.push_back(static_cast<char>(c));
  }
  std::size_t begin = ascii.find_first_not_of(" \t");
  std::size_t end = ascii.find_last_not_of(" \t");
  if (begin == std::string::npos) return false;
  ascii = ascii.substr(begin, end - begin + 1);
  // Decimal notation only: no hexadecimal, no "inf" or "nan".
  if (ascii.find_first_not_of("0123456789+-.eE") != std::string::npos) return false;
  const char* start = ascii.c_str();
  char* stop = nullptr;
  errno = 0;
  long long integer = std::strtoll(start, &stop, 10);
  if (*stop == 0 && errno == 0 && stop != start) {
    out.integer = integer;
    out.isReal = false;
    return true;
  }
  errno = 0;
  double real = std::strtod(start, &stop);
  if (*stop != 0 || stop == start || std::isnan(real)) return false;
  out.real = real;
  out.isReal = true;
  return true;
}

bool EqualsAscii(BSTR text, const char* word) {
  UINT n = SysStringLen(text);
  if (n != std::strlen(word)) return false;
  for (UINT i = 0; i < n; ++i) {
    char16_t c = text[i];
    if (c >= u'A' && c <= u'Z') c = static_cast<char16_t>(c - u'A' + u'a');
    if (c != static_cast<unsigned char>(word[i])) return false;
  }
  return true;
}

// Reads a numeric or Boolean source value. Strings are parsed as numbers, "True" and "False".
HRESULT ReadNumber(const VARIANT& v, Number& n) {
  switch (v.vt) {
    case VT_EMPTY:
      n.integer = 0;
      return S_OK;
    case VT_I1:
      n.integer = static_cast<int>(v.cVal);  // VT_I1 is signed
      return S_OK;
    case VT_I2:
      n.integer = v.iVal;
      return S_OK;
    case VT_I4:
      n.integer = v.lVal;
      return S_OK;
    case VT_INT:
      n.integer = v.intVal;
      return S_OK;
    case VT_I8:
      n.integer = v.llVal;
      return S_OK;
    case VT_UI1:
      n.integer = v.bVal;
      return S_OK;
    case VT_UI2:
      n.integer = v.uiVal;
      return S_OK;
    case VT_UI4:
      n.integer = v.ulVal;
      return S_OK;
    case VT_UINT:
      n.integer = v.uintVal;
      return S_OK;
    case VT_UI8:
      if (v.ullVal > static_cast<ULONGLONG>(std::numeric_limits<long long>::max())) return DISP_E_OVERFLOW;
      n.integer = static_cast<long long>(v.ullVal);
      return S_OK;
    case VT_BOOL:
      n.integer = v.boolVal ? -1 : 0;
      return S_OK;
    case VT_R4:
      n.isReal = true;
      n.real = v.fltVal;
      return S_OK;
    case VT_R8:
      n.isReal = true;
      n.real = v.dblVal;
      return S_OK;
    case VT_BSTR:
      if (EqualsAscii(v.bstrVal, "true")) {
        n.integer = -1;
        return S_OK;
      }
      if (EqualsAscii(v.bstrVal, "false")) {
        n.integer = 0;
        return S_OK;
      }
      return ParseNumber(v.bstrVal, n) ? S_OK : DISP_E_TYPEMISMATCH;
    default:
      return DISP_E_TYPEMISMATCH;
  }
}

// A real number rounds half to even, as automation does.
HRESULT ToInteger(const Number& n, long long min, long long max, long long& out) {
  if (n.isReal) {
    if (!std::isfinite(n.real)) return DISP_E_OVERFLOW;
    double rounded = std::nearbyint(n.real);
    // max + 1 is exact as a double where max itself may not be (2^63 - 1).
    if (!(rounded >= static_cast<double>(min) && rounded < static_cast<double>(max) + 1.0))
      return DISP_E_OVERFLOW;
    out = static_cast<long long>(rounded);
    return S_OK;
  }
  if (n.integer < min || n.integer > max) return DISP_E_OVERFLOW;
  out = n.integer;
  return S_OK;
}

HRESULT ToBstr(const VARIANT& v, USHORT flags, BSTR& out) {
  std::string text;
  switch (v.vt) {
    case VT_EMPTY:
      break;
    case VT_BOOL:
      // "-1" and "0", or with VARIANT_ALPHABOOL "True" and "False".
      if (flags & VARIANT_ALPHABOOL) {
        text = v.boolVal ? "True" : "False";
      } else {
        text = v.boolVal ? "-1" : "0";
      }
      break;
    case VT_R4:
    case VT_R8: {
      double d = v.vt == VT_R4 ? v.fltVal : v.dblVal;
      char buffer[64];
      std::snprintf(buffer, sizeof buffer, "%.15g", d);
      text = buffer;
      break;
    }
    default: {
      Number n;
      HRESULT hr = ReadNumber(v, n);
      if (FAILED(hr)) return hr;
      text = std::to_string(n.integer);
      break;
    }
  }
  std::u16string wide(text.begin(), text.end());
  out = SysAllocStringLen(wide.data(), static_cast<UINT>(wide.size()));
  return out ? S_OK : E_OUTOFMEMORY;
}

}  // namespace

namespace {

HRESULT ChangeType(VARIANT* pvargDest, const VARIANT* pvarSrc, USHORT wFlags, VARTYPE vt) {
  if (!pvargDest || !pvarSrc) return E_INVALIDARG;
  // A reference is read through first.
  VARIANT source;
  VariantInit(&source);
  if ((pvarSrc->vt & VT_BYREF) != 0) {
    if (!pvarSrc->byref) return E_INVALIDARG;
    VARTYPE base = pvarSrc->vt & VT_TYPEMASK;
    if ((pvarSrc->vt & VT_ARRAY) != 0) return DISP_E_TYPEMISMATCH;
    switch (base) {
      case VT_VARIANT: {
        const VARIANT* inner = pvarSrc->pvarVal;
        if ((inner->vt & VT_BYREF) != 0 && (inner->vt & VT_TYPEMASK) == VT_VARIANT) return DISP_E_BADVARTYPE;
        return ChangeType(pvargDest, inner, wFlags, vt);
      }
      case VT_I1:
        source.cVal = *pvarSrc->pcVal;
        break;
      case VT_I2:
        source.iVal = *pvarSrc->piVal;
        break;
      case VT_I4:
        source.lVal = *pvarSrc->plVal;
        break;
      case VT_INT:
        source.intVal = *pvarSrc->pintVal;
        break;
      case VT_I8:
        source.llVal = *pvarSrc->pllVal;
        break;
      case VT_UI1:
        source.bVal = *pvarSrc->pbVal;
        break;
      case VT_UI2:
        source.uiVal = *pvarSrc->puiVal;
        break;
      case VT_UI4:
        source.ulVal = *pvarSrc->pulVal;
        break;
      case VT_UINT:
        source.uintVal = *pvarSrc->puintVal;
        break;
      case VT_R4:
        source.fltVal = *pvarSrc->pfltVal;
        break;
      case VT_R8:
        source.dblVal = *pvarSrc->pdblVal;
        break;
      case VT_BOOL:
        source.boolVal = *pvarSrc->pboolVal;
        break;
      case VT_ERROR:
        source.scode = *pvarSrc->pscode;
        break;
      case VT_BSTR:
        source.bstrVal = *pvarSrc->pbstrVal;
        break;
      case VT_DISPATCH:
        source.pdispVal = *pvarSrc->ppdispVal;
        break;
      case VT_UNKNOWN:
        source.punkVal = *pvarSrc->ppunkVal;
        break;
      default:
        return DISP_E_BADVARTYPE;
    }
    source.vt = base;  // borrowed: never cleared
  } else {
    source = *pvarSrc;  // borrowed: never cleared
  }
  if ((source.vt & VT_ARRAY) != 0 || (source.vt & VT_TYPEMASK) > VT_UINT) return DISP_E_BADVARTYPE;

  VARIANT result;
  VariantInit(&result);
  result.vt = vt;
  HRESULT hr = S_OK;
  long long integer = 0;
  Number n;
  switch (vt) {
    case VT_EMPTY:
      if (source.vt != VT_EMPTY) hr = DISP_E_TYPEMISMATCH;
      break;
    case VT_I1:
    case VT_I2:
    case VT_I4:
    case VT_INT:
    case VT_I8:
    case VT_UI1:
    case VT_UI2:
    case VT_UI4:
    case VT_UINT:
    case VT_BOOL: {
      if (source.vt == VT_NULL || source.vt == VT_ERROR || source.vt == VT_DISPATCH ||
          source.vt == VT_UNKNOWN) {
        hr = DISP_E_TYPEMISMATCH;
        break;
      }
      hr = ReadNumber(source, n);
      if (FAILED(hr)) break;
      if (vt == VT_BOOL) {
        result.boolVal = (n.isReal ? n.real != 0 : n.integer != 0) ? VARIANT_TRUE : VARIANT_FALSE;
        break;
      }
      long long min = 0, max = 0;
      switch (vt) {
        case VT_I1:
          min = -128;
          max = 127;
          break;
        case VT_I2:
          min = -32768;
          max = 32767;
          break;
        case VT_I4:
        case VT_INT:
          min = std::numeric_limits<LONG>::min();
          max = std::numeric_limits<LONG>::max();
          break;
        case VT_I8:
          min = std::numeric_limits<long long>::min();
          max = std::numeric_limits<long long>::max();
          break;
        case VT_UI1:
          max = 255;
          break;
        case VT_UI2:
          max = 65535;
          break;
        default:
          max = std::numeric_limits<ULONG>::max();
          break;
      }
      hr = ToInteger(n, min, max, integer);
      if (FAILED(hr)) break;
      switch (vt) {
        case VT_I1:
          result.cVal = static_cast<signed char>(integer);
          break;
        case VT_I2:
          result.iVal = static_cast<SHORT>(integer);
          break;
        case VT_I4:
          result.lVal = static_cast<LONG>(integer);
          break;
        case VT_INT:
          result.intVal = static_cast<INT>(integer);
          break;
        case VT_I8:
          result.llVal = integer;
          break;
        case VT_UI1:
          result.bVal = static_cast<BYTE>(integer);
          break;
        case VT_UI2:
          result.uiVal = static_cast<USHORT>(integer);
          break;
        case VT_UI4:
          result.ulVal = static_cast<ULONG>(integer);
          break;
        default:
          result.uintVal = static_cast<UINT>(integer);
          break;
      }
      break;
    }
    case VT_R4:
    case VT_R8: {
      if (source.vt == VT_NULL || source.vt == VT_ERROR || source.vt == VT_DISPATCH ||
          source.vt == VT_UNKNOWN) {
        hr = DISP_E_TYPEMISMATCH;
        break;
      }
      hr = ReadNumber(source, n);
      if (FAILED(hr)) break;
      double d = n.isReal ? n.real : static_cast<double>(n.integer);
      if (vt == VT_R4) {
        if (std::fabs(d) > std::numeric_limits<float>::max()) {
          hr = DISP_E_OVERFLOW;
          break;
        }
        result.fltVal = static_cast<float>(d);
      } else {
        result.dblVal = d;
      }
      break;
    }
    case VT_BSTR:
      if (source.vt == VT_BSTR) {
        result.bstrVal = SysAllocStringLen(source.bstrVal, SysStringLen(source.bstrVal));
        if (!result.bstrVal && source.bstrVal) hr = E_OUTOFMEMORY;
      } else if (source.vt == VT_NULL || source.vt == VT_ERROR || source.vt == VT_DISPATCH ||
                 source.vt == VT_UNKNOWN) {
        hr = DISP_E_TYPEMISMATCH;
      } else {
        hr = ToBstr(source, wFlags, result.bstrVal);
      }
      break;
    case VT_ERROR:
      if (source.vt == VT_ERROR) {
        result.scode = source.scode;
      } else {
        hr = DISP_E_TYPEMISMATCH;
      }
      break;
    case VT_UNKNOWN:
      if (source.vt == VT_EMPTY) {
        result.punkVal = nullptr;
      } else if (source.vt == VT_UNKNOWN || source.vt == VT_DISPATCH) {
        result.punkVal = source.punkVal;
        if (result.punkVal) result.punkVal->AddRef();
      } else {
        hr = DISP_E_TYPEMISMATCH;
      }
      break;
    case VT_DISPATCH:
      if (source.vt == VT_EMPTY) {
        result.pdispVal = nullptr;
      } else if (source.vt == VT_DISPATCH) {
        result.pdispVal = source.pdispVal;
        if (result.pdispVal) result.pdispVal->AddRef();
      } else if (source.vt == VT_UNKNOWN) {
        if (!source.punkVal) {
          result.pdispVal = nullptr;
        } else if (FAILED(source.punkVal->QueryInterface(IID_IDispatch,
                                                         reinterpret_cast<void**>(&result.pdispVal)))) {
          result.pdispVal = nullptr;
          hr = DISP_E_TYPEMISMATCH;
        }
      } else {
        hr = DISP_E_TYPEMISMATCH;
      }
      break;
    default:
      hr = DISP_E_BADVARTYPE;
      break;
  }
  if (FAILED(hr)) return hr;
  // The source may be the destination: it is cleared only now.
  VariantClear(pvargDest);
  *pvargDest = result;
  return S_OK;
}

}  // namespace

STDAPI VariantChangeType(VARIANT* pvargDest, const VARIANT* pvarSrc, USHORT wFlags, VARTYPE vt) {
  try {
    return ChangeType(pvargDest, pvarSrc, wFlags, vt);
  } catch (...) {
    return E_OUTOFMEMORY;  // the only exception the conversions raise
  }
}
