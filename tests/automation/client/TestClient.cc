// A client program of the library: public headers and libqelvorlent.so only. It creates
// every creatable class by its programmatic identifier, calls a member early-bound and
// late-bound, and prints what it saw, one line per fact.
#include <cstdio>
#include <string>
#include <string_view>

#include "qelvorlent/QelVorlentLib.h"

namespace {

std::string Narrow(std::u16string_view text) {
  std::string out;
  for (char16_t c : text) {
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else if (c < 0x800) {
      out += static_cast<char>(0xC0 | (c >> 6));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
      out += static_cast<char>(0xE0 | (c >> 12));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return out;
}

std::string Narrow(BSTR text) {
  return Narrow(std::u16string_view(text ? text : u"", SysStringLen(text)));
}

DISPID IdOf(IDispatch* object, const char16_t* name) {
  LPOLESTR names[] = {const_cast<LPOLESTR>(name)};
  DISPID id = DISPID_UNKNOWN;
  object->GetIDsOfNames(IID_NULL, names, 1, 0, &id);
  return id;
}

}  // namespace

int main() {
  const char16_t* progIds[] = {u"QelVorlentLib.Vorlent", u"QelVorlentLib.VorlentCrypt",
                               u"QelVorlentLib.CertChecker"};
  for (const char16_t* progId : progIds) {
    IDispatch* object = nullptr;
    HRESULT hr = QvCreateObject(progId, IID_IDispatch, reinterpret_cast<void**>(&object));
    std::printf("create %s %08X\n", Narrow(std::u16string_view(progId)).c_str(), static_cast<unsigned>(hr));
    if (FAILED(hr)) return 1;
    // LastError is the same member on every interface; so is a failing call's error information.
    VARIANT result;
    VariantInit(&result);
    DISPPARAMS none{nullptr, nullptr, 0, 0};
    hr = object->Invoke(IdOf(object, u"lasterror"), IID_NULL, 0, DISPATCH_PROPERTYGET, &none, &result,
                        nullptr, nullptr);
    std::printf("lasterror %08X vt=%d [%s]\n", static_cast<unsigned>(hr), result.vt,
                Narrow(result.bstrVal).c_str());
    VariantClear(&result);
    object->Release();
  }

  IVorlent* vorlent = nullptr;
  HRESULT hr = QvCreateObject(u"QelVorlentLib.Vorlent", IID_IVorlent, reinterpret_cast<void**>(&vorlent));
  if (FAILED(hr)) return 1;
  LONG count = 7;
  hr = vorlent->GetFileCount(&count);
  IErrorInfo* error = nullptr;
  BSTR description = nullptr;
  if (GetErrorInfo(0, &error) == S_OK) {
    error->GetDescription(&description);
    error->Release();
  }
  std::printf("early %08X [%s]\n", static_cast<unsigned>(hr), Narrow(description).c_str());
  SysFreeString(description);

  VARIANT result;
  VariantInit(&result);
  EXCEPINFO excep{};
  DISPPARAMS none{nullptr, nullptr, 0, 0};
  hr = vorlent->Invoke(IdOf(vorlent, u"GETFILECOUNT"), IID_NULL, 0, DISPATCH_METHOD, &none, &result, &excep,
                       nullptr);
  std::printf("late %08X %08X [%s] [%s]\n", static_cast<unsigned>(hr), static_cast<unsigned>(excep.scode),
              Narrow(excep.bstrSource).c_str(), Narrow(excep.bstrDescription).c_str());
  SysFreeString(excep.bstrSource);
  SysFreeString(excep.bstrDescription);
  SysFreeString(excep.bstrHelpFile);
  SetErrorInfo(0, nullptr);
  vorlent->Release();
  std::printf("unload %08X\n", static_cast<unsigned>(DllCanUnloadNow()));
  return 0;
}
