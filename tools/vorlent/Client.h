// The `vorlent` command's view of the library: owned interface pointers and strings, the
// conversions between UTF-8 (the terminal) and the library's UTF-16 texts, and the failure
// that carries a finished message to the command's exit.
#pragma once

#include <cstdio>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>

#include "qelvorlent/QelVorlentLib.h"
#include "qelvorlent/QelVorlentTools.h"

namespace vorlent {

// Exit statuses.
enum ExitStatus { kExitOk = 0, kExitFailed = 1, kExitUsage = 2 };

// A failure of a command: the message for standard error and the exit status.
class Failure : public std::runtime_error {
 public:
  explicit Failure(const std::string& message, int status = kExitFailed)
      : std::runtime_error(message), status_(status) {}
  int Status() const { return status_; }

 private:
  int status_;
};

[[noreturn]] inline void Usage(const std::string& message) {
  throw Failure(message, kExitUsage);
}

std::u16string FromUtf8(std::string_view text);
std::string ToUtf8(std::u16string_view text);
// Bytes as the library's byte strings (one character per byte, code page 1251) and back.
std::u16string BytesToText(std::string_view bytes);
std::string TextToBytes(std::u16string_view text);

// An owned BSTR.
class Str {
 public:
  Str() = default;
  explicit Str(std::u16string_view text);
  explicit Str(const std::string& utf8) : Str(std::u16string_view(FromUtf8(utf8))) {}
  explicit Str(const char* utf8) : Str(std::string(utf8)) {}
  // Takes over a BSTR made elsewhere.
  enum AdoptTag { kAdopt };
  Str(BSTR owned, AdoptTag) : b_(owned) {}
  ~Str();
  Str(const Str&) = delete;
  Str& operator=(const Str&) = delete;
  operator BSTR() const { return b_; }
  BSTR* Out();
  std::u16string Wide() const;
  std::string Utf8() const { return ToUtf8(Wide()); }
  std::string Bytes() const;

 private:
  BSTR b_ = nullptr;
};

// Byte strings go into the library with this.
Str ByteStr(std::string_view bytes);

// An owned interface pointer.
template <class T>
class Ptr {
 public:
  Ptr() = default;
  ~Ptr() { Reset(); }
  Ptr(const Ptr&) = delete;
  Ptr& operator=(const Ptr&) = delete;
  Ptr(Ptr&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
  Ptr& operator=(Ptr&& other) noexcept {
    if (this != &other) {
      Reset();
      p_ = std::exchange(other.p_, nullptr);
    }
    return *this;
  }
  T* operator->() const { return p_; }
  T* Get() const { return p_; }
  explicit operator bool() const { return p_ != nullptr; }
  T** Out() {
    Reset();
    return &p_;
  }
  void** OutVoid() { return reinterpret_cast<void**>(Out()); }
  void Reset() {
    if (p_) p_->Release();
    p_ = nullptr;
  }

 private:
  T* p_ = nullptr;
};

// The message of a failed call: the object's LastError, else the thread's error information,
// else the status.
template <class T>
std::string ErrorText(T* object, HRESULT hr) {
  std::string text;
  if (object) {
    Str error;
    if (SUCCEEDED(object->get_LastError(error.Out()))) text = error.Bytes();
  }
  if (text.empty()) {
    IErrorInfo* info = nullptr;
    if (GetErrorInfo(0, &info) == S_OK && info) {
      Str description;
      if (SUCCEEDED(info->GetDescription(description.Out()))) text = description.Bytes();
      info->Release();
    }
  }
  std::string utf8 = ToUtf8(BytesToText(text));
  if (utf8.empty()) {
    char code[32];
    std::snprintf(code, sizeof code, "ошибка 0x%08X", static_cast<unsigned>(hr));
    utf8 = code;
  }
  return utf8;
}

// Raises a Failure for a failed call.
template <class T>
void Check(HRESULT hr, T* object) {
  if (FAILED(hr)) throw Failure(ErrorText(object, hr));
}

// Raises a Failure for a failed call of the tools interface.
void CheckTool(HRESULT hr);

// A text property of an object as UTF-8; a failure raises.
template <class T>
std::string TextOf(T* object, HRESULT (STDMETHODCALLTYPE T::*getter)(BSTR*)) {
  Str value;
  Check((object->*getter)(value.Out()), object);
  return value.Utf8();
}

// Objects of the library's creatable classes.
Ptr<IVorlent> NewPackage();
Ptr<IVorlentCrypt> NewCrypt(bool userStorage = true);
// The same after Init: the stores and containers open.
Ptr<IVorlentCrypt> NewInitializedCrypt(bool userStorage = true);
Ptr<ICertChecker> NewChecker();

}  // namespace vorlent
