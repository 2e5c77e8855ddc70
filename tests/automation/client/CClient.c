/* A C client of the library: public headers and libqelvorlent.so only. It calls through
   the interface tables early-bound and late-bound and prints what it saw. */
#include <stdio.h>

#include "qelvorlent/QelVorlentLib.h"

static void Print(const char* label, BSTR text) {
  printf("%s [", label);
  for (UINT i = 0; i < SysStringLen(text); ++i) printf("%s%04X", i ? " " : "", (unsigned)text[i]);
  printf("]\n");
}

int main(void) {
  IVorlent* vorlent = NULL;
  HRESULT hr = QvCreateObject(u"QelVorlentLib.Vorlent", &IID_IVorlent, (void**)&vorlent);
  printf("create %08X\n", (unsigned)hr);
  if (FAILED(hr)) return 1;

  LONG count = 9;
  hr = vorlent->lpVtbl->GetFileCount(vorlent, &count);
  printf("early %08X %d\n", (unsigned)hr, (int)count);
  IErrorInfo* error = NULL;
  BSTR text = NULL;
  if (GetErrorInfo(0, &error) == S_OK) {
    error->lpVtbl->GetSource(error, &text);
    Print("source", text);
    SysFreeString(text);
    error->lpVtbl->Release(error);
  }

  LPOLESTR names[1] = {(LPOLESTR)u"getfilecount"};
  DISPID id = DISPID_UNKNOWN;
  hr = vorlent->lpVtbl->GetIDsOfNames(vorlent, &IID_NULL, names, 1, 0, &id);
  VARIANT result;
  VariantInit(&result);
  EXCEPINFO excep = {0};
  DISPPARAMS none = {NULL, NULL, 0, 0};
  hr = vorlent->lpVtbl->Invoke(vorlent, id, &IID_NULL, 0, DISPATCH_METHOD, &none, &result, &excep, NULL);
  printf("late %d %08X %08X\n", (int)id, (unsigned)hr, (unsigned)excep.scode);
  SysFreeString(excep.bstrSource);
  SysFreeString(excep.bstrDescription);
  SysFreeString(excep.bstrHelpFile);
  SetErrorInfo(0, NULL);

  hr = vorlent->lpVtbl->get_LastError(vorlent, &text);
  printf("lasterror %08X %u\n", (unsigned)hr, SysStringLen(text));
  SysFreeString(text);
  VARIANT_BOOL flag = VARIANT_FALSE;
  hr = vorlent->lpVtbl->get_FlagUsageUserStorage(vorlent, &flag);
  printf("flag %08X %d\n", (unsigned)hr, (int)flag);
  vorlent->lpVtbl->Release(vorlent);

  ICertChecker* checker = NULL;
  hr =
      QvCoCreateInstance(&CLSID_CertChecker, NULL, CLSCTX_INPROC_SERVER, &IID_ICertChecker, (void**)&checker);
  printf("checker %08X\n", (unsigned)hr);
  if (SUCCEEDED(hr)) checker->lpVtbl->Release(checker);
  printf("unload %08X\n", (unsigned)DllCanUnloadNow());
  return 0;
}
