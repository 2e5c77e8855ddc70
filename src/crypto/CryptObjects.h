// The object view of certificates, names, extensions, public keys, CRLs and certificate
// stores. Each object wraps one shared platform handle; views obtained from a certificate
// belong to it and keep its context alive.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "foundation/BaseClass.h"
#include "foundation/StrArray.h"
#include "platform/CertServices.h"

namespace qv {

class CCryptCertificate;
class CCryptCrl;

// Root of the family: Parse reads values from a newly attached handle, AddRef takes one more
// reference, ReleaseHandle gives the object's reference back.
class CCryptObject : public CBaseClass {
 public:
  ~CCryptObject() override = default;
  virtual void Parse() {}
  virtual void AddRef() {}
  virtual void ReleaseHandle() = 0;
  virtual bool HasHandle() const = 0;
  // The identity of the wrapped handle (the context's address), null when empty.
  virtual const void* HandleId() const = 0;
  void Release() {
    if (HasHandle()) ReleaseHandle();
  }
};

// A wrapper of one shared handle: Attach takes a reference of its own, AttachOwned takes
// over the caller's.
template <class Handle>
class CCryptHandleObject : public CCryptObject {
 public:
  ~CCryptHandleObject() override { handle_.reset(); }
  void Attach(const Handle& handle) {
    if (handle == handle_) return;
    Release();
    handle_ = handle;
    if (handle_) {
      Parse();
      AddRef();
    }
  }
  void AttachOwned(Handle handle) {
    if (handle == handle_) return;
    Release();
    handle_ = std::move(handle);
  }
  const Handle& GetHandle() const { return handle_; }
  bool HasHandle() const override { return handle_ != nullptr; }
  const void* HandleId() const override { return handle_.get(); }
  void ReleaseHandle() override {
    ClearCaches();
    handle_.reset();
  }

 protected:
  virtual void ClearCaches() {}
  Handle handle_;
};

// The subject (or any) name of a certificate, parsed into its well-known attributes.
class CCryptNameInfo : public CCryptObject {
 public:
  // Attaches the name inside `owner`'s certificate and parses it.
  void Attach(const CertContextPtr& owner, const X509_NAME* name);
  void Parse() override;
  void ReleaseHandle() override;
  bool HasHandle() const override { return name_ != nullptr; }
  const void* HandleId() const override { return name_; }

  std::string CN, OU, G, SN, OGRN, E, O, T, INN, RegNumFSS, SubCodeFSS, SNILS;
  // Every attribute as "<dotted OID>=<value>" in encoding order, joined by ", ".
  std::string Text;

 private:
  CertContextPtr owner_;
  const X509_NAME* name_ = nullptr;
};

class CCryptExtensions : public CCryptObject {
 public:
  void Attach(const CertContextPtr& owner);
  void ReleaseHandle() override;
  bool HasHandle() const override { return owner_ != nullptr; }
  const void* HandleId() const override { return owner_.get(); }
  // The URLs of the full-name distribution points, in order.
  CStrArray& GetCrlDistributionPoints();
  // The policy identifiers, in order.
  CStrArray& GetPolicies();

 private:
  CertContextPtr owner_;
  std::unique_ptr<CStrArray> crlDistributionPoints_;
  std::unique_ptr<CStrArray> policies_;
};

class CCryptPublicKey : public CCryptObject {
 public:
  void Attach(const CertContextPtr& owner);
  void Parse() override;
  void ReleaseHandle() override;
  bool HasHandle() const override { return owner_ != nullptr; }
  const void* HandleId() const override { return owner_.get(); }
  std::string AlgorithmOid;

 private:
  CertContextPtr owner_;
};

class CCryptCertificate : public CCryptHandleObject<CertContextPtr> {
 public:
  static std::unique_ptr<CCryptCertificate> Create(const CertContextPtr& context);

  std::string GetSha1();
  std::string GetIssuer();
  std::string GetSubject();
  CCryptNameInfo& GetNameInfo();
  CCryptExtensions& GetExtensions();
  CCryptPublicKey& GetPublicKey();
  // Validity bounds as date-time values (UTC, not converted to local time).
  double GetNotBefore();
  double GetNotAfter();
  std::string GetBody();
  const CertContextPtr& Context() const { return handle_; }

 protected:
  void ClearCaches() override;

 private:
  void CheckAttached() const;
  std::string thumbprint_, issuer_, subject_;
  double notBefore_ = 0, notAfter_ = 0;
  std::unique_ptr<CCryptNameInfo> nameInfo_;
  std::unique_ptr<CCryptExtensions> extensions_;
  std::unique_ptr<CCryptPublicKey> publicKey_;
};

class CCryptCrl : public CCryptHandleObject<CrlContextPtr> {
 public:
  static std::unique_ptr<CCryptCrl> Create(const CrlContextPtr& context);
  // A CRL given as PEM, Base64 or DER.
  void Load(const std::string& text);
  // The revocation date (UTC date-time) of the certificate in this CRL, or 0.
  double GetRevocationDate(const CCryptCertificate& certificate) const;
  const CrlContextPtr& Context() const { return handle_; }
};

// An owning list of objects of one class of the family.
class CCryptCollection : public CStrArray {
 public:
  using Factory = std::function<std::unique_ptr<CCryptObject>()>;
  template <class T>
  static std::unique_ptr<CCryptCollection> Of() {
    return std::make_unique<CCryptCollection>([] { return std::unique_ptr<CCryptObject>(new T); });
  }
  explicit CCryptCollection(Factory factory);
  ~CCryptCollection() override;

  // Fails with "Передана коллекция неверного класса" unless the items are a T.
  template <class T>
  void CheckClass() const {
    std::unique_ptr<CCryptObject> probe = factory_();
    if (!dynamic_cast<T*>(probe.get())) RaiseWrongClass();
  }
  CCryptObject* CreateFromHandle(const CertContextPtr& handle) const;
  CCryptObject* CreateFromHandle(const CrlContextPtr& handle) const;
  CCryptObject* AddFromHandle(const CertContextPtr& handle);
  CCryptObject* AddFromHandle(const CrlContextPtr& handle);
  CCryptObject* Item(int index) const { return static_cast<CCryptObject*>(Object(index)); }
  template <class T>
  T* ItemAs(int index) const {
    return dynamic_cast<T*>(Item(index));
  }

 private:
  [[noreturn]] static void RaiseWrongClass();
  Factory factory_;
};

class CCryptStoreBase : public CCryptHandleObject<CertStorePtr> {
 public:
  // Adds every certificate of the store to the collection, in store order.
  void EnumCertificates(CCryptCollection& collection);
  // The issuer of `certificate` among the store's certificates whose key verifies its signature,
  // as an item of `collection` (added when `create` is set and none wraps it), or null;
  // `selfSigned` is set for a self-issued certificate.
  CCryptCertificate* FindIssuer(const CCryptCertificate& certificate, CCryptCollection& collection,
                                bool& selfSigned, bool create);
  // The CRLs of the store.
  void EnumCrls(CCryptCollection& collection);
};

class CCryptPkcs7Store : public CCryptStoreBase {
 public:
  void Load(const std::string& bytes);
};

class CCryptFileStore : public CCryptStoreBase {
 public:
  void Load(const std::string& fileName);
};

// One of the system stores ("MY", "ROOT", "CA", "addressbook") of a location.
class CCryptSystemStore : public CCryptStoreBase {
 public:
  void Open(int location, int name);
};

}  // namespace qv
