// Roots of the library's own classes: the error funnel of CBaseClass and the
// document-like operations of CCustomDoc.
#pragma once

#include <exception>
#include <functional>
#include <string>

#include "foundation/Errors.h"

namespace qv {

class CBaseClass {
 public:
  using ErrorHandler = std::function<void(const CVorlentException& error, CBaseClass& sender)>;

  CBaseClass();
  virtual ~CBaseClass() = default;
  CBaseClass(const CBaseClass&) = delete;
  CBaseClass& operator=(const CBaseClass&) = delete;

  // Handles exceptions of the library's family; others pass through untouched. The
  // default handler raises the exception again, with `context` wrapped around its
  // message when one is given ("%s: [%s]"). Returns normally only when OnError is unset.
  virtual void HandleError(const std::exception& error, const std::string& context);

  ErrorHandler OnError;

 protected:
  // The error funnel: runs `body`, passing a library exception to HandleError with an
  // empty context. With the default handler the exception continues upward unchanged.
  template <class F>
  auto Funnel(F&& body) -> decltype(body()) {
    try {
      return body();
    } catch (const CVorlentException& e) {
      HandleError(e, {});
      if constexpr (!std::is_void_v<decltype(body())>) return decltype(body())();
    }
  }
};

// What a document-like object is opened or created with. The package container is
// opened with a path, the entries with their configuration; each subclass knows its kind.
class CDocConfig {
 public:
  virtual ~CDocConfig() = default;
};

class CCustomDoc : public CBaseClass {
 public:
  CCustomDoc() = default;
  // Subclasses that override Close call it from their own destructor: by the time this
  // destructor runs, only the base Close is left.
  ~CCustomDoc() override;

  virtual bool Open(const CDocConfig* config);
  virtual bool Close() { return !IsBusy(); }
  virtual bool IsOpened() const { return false; }
  virtual bool New(const CDocConfig* config);
  virtual bool Store() { return !IsBusy(); }
  virtual bool Save(const std::string& path);
  virtual bool QueryState() const { return false; }
  virtual bool IsBusy() const { return false; }
  virtual void GetText(std::string& text) const { text.clear(); }
  virtual void GetTextFor(const std::string& value, std::string& text) const;

  const CDocConfig* Config() const { return config_; }

 protected:
  void SetConfig(const CDocConfig* config) { config_ = config; }

 private:
  const CDocConfig* config_ = nullptr;  // not owned
};

}  // namespace qv
