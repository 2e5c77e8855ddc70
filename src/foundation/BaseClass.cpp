#include "foundation/BaseClass.h"

namespace qv {

CBaseClass::CBaseClass() {
  OnError = [](const CVorlentException& error, CBaseClass&) { RaiseAgain(error); };
}

void CBaseClass::HandleError(const std::exception& error, const std::string& context) {
  if (!dynamic_cast<const CVorlentException*>(&error)) {
    // not of the library's family: it passes through untouched
    if (std::exception_ptr current = std::current_exception()) std::rethrow_exception(current);
    return;
  }
  try {
    RaiseAgain(error);
  } catch (CVorlentException& again) {
    if (!context.empty()) again.SetMessage(FormatText("%s: [%s]", {context, again.Message()}));
    if (OnError) {
      OnError(again, *this);
      return;
    }
    ShowError(again);
  }
}

CCustomDoc::~CCustomDoc() {
  try {
    CCustomDoc::Close();
  } catch (...) {
  }
}

bool CCustomDoc::Open(const CDocConfig* config) {
  if (!Close()) return false;
  config_ = config;
  return true;
}

bool CCustomDoc::New(const CDocConfig*) {
  return Close();
}

bool CCustomDoc::Save(const std::string&) {
  return false;
}

void CCustomDoc::GetTextFor(const std::string&, std::string& text) const {
  GetText(text);
}

}  // namespace qv
