// A client program of the library that runs the registration flow with the public headers
// and libqelvorlent.so only: it makes a package with four documents, saves it, opens it
// with a second object, reads every document back and saves it to disk. With thumbprints it
// also signs every document as the applicant, counter-signs the application as the notary,
// encrypts for the tax authority and, on the other side, decrypts and checks every
// signature. It prints one line per fact.
// Usage: qv_test_flow_client <folder> [<applicant sha1> <notary sha1> <tax authority sha1>]
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "qelvorlent/QelVorlentLib.h"

namespace {

// The upper half of code page 1251 in UTF-16 (0x98, undefined there, as U+0098): document
// bytes cross the interface one character per byte in this code page.
const char16_t kUpper1251[128] = {
    0x0402, 0x0403, 0x201A, 0x0453, 0x201E, 0x2026, 0x2020, 0x2021, 0x20AC, 0x2030, 0x0409, 0x2039, 0x040A,
    0x040C, 0x040B, 0x040F, 0x0452, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014, 0x0098, 0x2122,
    0x0459, 0x203A, 0x045A, 0x045C, 0x045B, 0x045F, 0x00A0, 0x040E, 0x045E, 0x0408, 0x00A4, 0x0490, 0x00A6,
    0x00A7, 0x0401, 0x00A9, 0x0404, 0x00AB, 0x00AC, 0x00AD, 0x00AE, 0x0407, 0x00B0, 0x00B1, 0x0406, 0x0456,
    0x0491, 0x00B5, 0x00B6, 0x00B7, 0x0451, 0x2116, 0x0454, 0x00BB, 0x0458, 0x0405, 0x0455, 0x0457,
};

std::u16string BytesToText(const std::string& bytes) {
  std::u16string text;
  for (unsigned char c : bytes) {
    if (c < 0x80) {
      text += static_cast<char16_t>(c);
    } else if (c < 0xC0) {
      text += kUpper1251[c - 0x80];
    } else {
      text += static_cast<char16_t>(0x0410 + (c - 0xC0));
    }
  }
  return text;
}

std::string TextToBytes(std::u16string_view text) {
  std::string bytes;
  for (char16_t c : text) {
    if (c < 0x80) {
      bytes += static_cast<char>(c);
    } else if (c >= 0x0410 && c <= 0x044F) {
      bytes += static_cast<char>(0xC0 + (c - 0x0410));
    } else {
      int found = '?';
      for (int i = 0; i < 64; ++i) {
        if (kUpper1251[i] == c) found = 0x80 + i;
      }
      bytes += static_cast<char>(found);
    }
  }
  return bytes;
}

// UTF-8 (the command line) to UTF-16, characters of the basic plane.
std::u16string FromUtf8(const std::string& text) {
  std::u16string out;
  for (std::size_t i = 0; i < text.size();) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    if (c < 0x80) {
      out += c;
      i += 1;
    } else if ((c & 0xE0) == 0xC0 && i + 1 < text.size()) {
      out += static_cast<char16_t>(((c & 0x1F) << 6) | (text[i + 1] & 0x3F));
      i += 2;
    } else if (i + 2 < text.size()) {
      out += static_cast<char16_t>(((c & 0x0F) << 12) | ((text[i + 1] & 0x3F) << 6) | (text[i + 2] & 0x3F));
      i += 3;
    } else {
      break;
    }
  }
  return out;
}

// An owned BSTR.
class Str {
 public:
  explicit Str(std::u16string_view text)
      : b_(SysAllocStringLen(text.data(), static_cast<UINT>(text.size()))) {}
  Str() = default;
  ~Str() { SysFreeString(b_); }
  Str(const Str&) = delete;
  Str& operator=(const Str&) = delete;
  operator BSTR() const { return b_; }
  BSTR* Out() {
    SysFreeString(b_);
    b_ = nullptr;
    return &b_;
  }
  std::u16string Text() const { return std::u16string(b_ ? b_ : u"", SysStringLen(b_)); }

 private:
  BSTR b_ = nullptr;
};

bool Ok(const char* step, HRESULT hr, IVorlent* vorlent) {
  if (SUCCEEDED(hr)) return true;
  Str text;
  vorlent->get_LastError(text.Out());
  std::printf("%s failed %08X [%s]\n", step, static_cast<unsigned>(hr), TextToBytes(text.Text()).c_str());
  return false;
}

// A key of the client's own: a thumbprint and a role. The library finds the certificate in
// "MY" (signing) or "addressbook" (encryption) by the thumbprint.
class ClientKey final : public IVorlentKey {
 public:
  ClientKey(std::u16string sha1, SIGN_ROLE_TYPES role) : sha1_(std::move(sha1)), role_(role) {}

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
    if (!ppv) return E_POINTER;
    if (riid == IID_IUnknown || riid == IID_IDispatch || riid == IID_IVorlentKey) {
      *ppv = static_cast<IVorlentKey*>(this);
      AddRef();
      return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++count_; }
  ULONG STDMETHODCALLTYPE Release() override {
    ULONG left = --count_;
    if (left == 0) delete this;
    return left;
  }
  HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) override {
    if (count) *count = 0;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*,
                                   UINT*) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE get_ContainerName(BSTR* value) override { return Give(u"", value); }
  HRESULT STDMETHODCALLTYPE put_ContainerName(BSTR) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE get_Sha1(BSTR* value) override { return Give(sha1_, value); }
  HRESULT STDMETHODCALLTYPE put_Sha1(BSTR) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE get_SubjectCN(BSTR* value) override { return Give(u"", value); }
  HRESULT STDMETHODCALLTYPE put_SubjectCN(BSTR) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE get_SignRole(SIGN_ROLE_TYPES* value) override {
    if (!value) return E_POINTER;
    *value = role_;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE put_SignRole(SIGN_ROLE_TYPES) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE get_CertificateBody(BSTR* value) override { return Give(u"", value); }
  HRESULT STDMETHODCALLTYPE put_CertificateBody(BSTR) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE get_Subject(BSTR* value) override { return Give(u"", value); }
  HRESULT STDMETHODCALLTYPE put_Subject(BSTR) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE get_Issuer(BSTR* value) override { return Give(u"", value); }
  HRESULT STDMETHODCALLTYPE put_Issuer(BSTR) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE Init() override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE get_LastError(BSTR* value) override { return Give(u"", value); }
  HRESULT STDMETHODCALLTYPE get_SubjectSN(BSTR* value) override { return Give(u"", value); }
  HRESULT STDMETHODCALLTYPE put_SubjectSN(BSTR) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE get_SubjectG(BSTR* value) override { return Give(u"", value); }
  HRESULT STDMETHODCALLTYPE put_SubjectG(BSTR) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE get_FlagCurrentUserStorage(VARIANT_BOOL* value) override {
    if (!value) return E_POINTER;
    *value = VARIANT_TRUE;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE put_FlagCurrentUserStorage(VARIANT_BOOL) override { return E_NOTIMPL; }

 private:
  ~ClientKey() = default;
  static HRESULT Give(std::u16string_view text, BSTR* value) {
    if (!value) return E_POINTER;
    *value = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
    return S_OK;
  }
  std::u16string sha1_;
  SIGN_ROLE_TYPES role_;
  ULONG count_ = 1;
};

struct Document {
  const char16_t* code;
  const char16_t* name;
  std::string content;
};

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2 && argc != 5) return 2;
  const bool crypto = argc == 5;
  const std::u16string folder = FromUtf8(argv[1]) + u"/";
  std::string allBytes;
  for (int i = 0; i < 256; ++i) allBytes += static_cast<char>(i);
  const Document documents[4] = {
      {u"01", u"заявление.pdf", "%PDF-1.4 application"},
      {u"03", u"устав.pdf", allBytes},
      {u"04", u"квитанция.pdf", std::string("fee\0receipt", 11)},
      {u"07", u"опись.xml", "<?xml version=\"1.0\" encoding=\"windows-1251\"?><\xEE\xEF\xE8\xF1\xFC/>"},
  };

  // ---------------------------------------------------------------- the submitting side
  IVorlent* sender = nullptr;
  HRESULT hr = QvCreateObject(u"QelVorlentLib.Vorlent", IID_IVorlent, reinterpret_cast<void**>(&sender));
  std::printf("create %08X\n", static_cast<unsigned>(hr));
  if (FAILED(hr)) return 1;
  VARIANT_BOOL ok = VARIANT_FALSE;
  if (!Ok("New", sender->New(TRANSACTION_TYPE_UL_REG_UL, &ok), sender)) return 1;
  if (!Ok("SenderType", sender->put_SenderType(SIGN_ROLE_TYPE_ABONENT), sender)) return 1;
  if (!Ok("SenderIdentifier", sender->put_SenderIdentifier(Str(u"2BM-7701234567-770101001")), sender))
    return 1;
  if (!Ok("ReceiverType", sender->put_ReceiverType(SIGN_ROLE_TYPE_FNS), sender)) return 1;
  if (!Ok("ReceiverIdentifier", sender->put_ReceiverIdentifier(Str(u"7746")), sender)) return 1;
  for (const Document& document : documents) {
    IVorlentFile* file = nullptr;
    hr = sender->AddFile(Str(u""), Str(document.code), Str(u"application/octet-stream"),
                         Str(u"/home/client/docs/" + std::u16string(document.name)),
                         Str(BytesToText(document.content)), &file);
    if (!Ok("AddFile", hr, sender)) return 1;
    Str type;
    file->get_DocType(type.Out());
    std::printf("added %s\n", TextToBytes(type.Text()).c_str());
    file->Release();
  }

  if (crypto) {
    ClientKey* applicant = new ClientKey(FromUtf8(argv[2]), SIGN_ROLE_TYPE_APPLICANT);
    ClientKey* notary = new ClientKey(FromUtf8(argv[3]), SIGN_ROLE_TYPE_NOTARY);
    ClientKey* tax = new ClientKey(FromUtf8(argv[4]), SIGN_ROLE_TYPE_FNS);
    bool good = true;
    for (const Document& document : documents) {
      good = good && Ok("SignFile", sender->SignFile(Str(document.name), applicant, &ok), sender);
    }
    good = good && Ok("ReSignFile", sender->ReSignFile(Str(documents[0].name), notary, &ok), sender);
    good = good && Ok("Encrypt", sender->Encrypt(tax, &ok), sender);
    VARIANT_BOOL encrypted = VARIANT_FALSE;
    sender->get_IsEncrypted(&encrypted);
    std::printf("signed %d encrypted %d\n", good ? 1 : 0, static_cast<int>(encrypted));
    applicant->Release();
    notary->Release();
    tax->Release();
    if (!good) return 1;
  }

  const std::u16string packagePath = folder + u"пакет.zip";
  if (!Ok("Save", sender->Save(Str(packagePath), &ok), sender)) return 1;
  std::printf("saved %d\n", static_cast<int>(ok));
  sender->Release();

  // ---------------------------------------------------------------- the receiving side
  IVorlent* receiver = nullptr;
  hr = QvCreateObject(u"QelVorlentLib.Vorlent", IID_IVorlent, reinterpret_cast<void**>(&receiver));
  if (FAILED(hr)) return 1;
  if (!Ok("Open", receiver->Open(Str(packagePath), &ok), receiver)) return 1;

  if (crypto && !Ok("Decrypt", receiver->Decrypt(&ok), receiver)) return 1;

  Str identifier;
  receiver->get_SenderIdentifier(identifier.Out());
  std::printf("sender %s\n", TextToBytes(identifier.Text()).c_str());
  LONG count = 0;
  if (!Ok("GetFileCount", receiver->GetFileCount(&count), receiver)) return 1;
  std::printf("files %d\n", static_cast<int>(count));
  for (LONG i = 0; i < count; ++i) {
    IVorlentFile* file = nullptr;
    if (!Ok("GetFile", receiver->GetFile(i, &file), receiver)) return 1;
    Str raw;
    Str name;
    file->get_RawContent(raw.Out());
    file->get_OriginalFilename(name.Out());
    bool same = TextToBytes(raw.Text()) == documents[i].content;
    std::u16string target = folder + u"out_" + name.Text();
    hr = file->SaveRawContent(Str(target));
    std::printf("file %d %s %s %08X\n", static_cast<int>(i), TextToBytes(name.Text()).c_str(),
                same ? "same" : "different", static_cast<unsigned>(hr));
    if (crypto) {
      // Installed authorities, no downloads: every signature and counter-signature.
      VARIANT_BOOL checked = VARIANT_FALSE;
      hr = file->CheckSignEx(VARIANT_FALSE, VARIANT_FALSE, &checked);
      Str error;
      if (FAILED(hr)) file->get_LastError(error.Out());
      LONG signs = 0;
      receiver->GetFileSignatureCount(i, &signs);
      std::printf("check %d %08X %s signatures %d\n", static_cast<int>(i), static_cast<unsigned>(hr),
                  TextToBytes(error.Text()).c_str(), static_cast<int>(signs));
      for (LONG j = 0; j < signs; ++j) {
        LONG resigns = 0;
        receiver->GetFileResignCount(i, j, &resigns);
        for (LONG k = -1; k < resigns; ++k) {
          IVorlentSignature* sign = nullptr;
          hr = k < 0 ? receiver->GetFileSignature(i, j, &sign) : receiver->GetFileResign(i, j, k, &sign);
          if (FAILED(hr)) return 1;
          IVorlentKey* key = nullptr;
          Str cn;
          Str fileName;
          sign->get_Filename(fileName.Out());
          if (SUCCEEDED(sign->get_SignKey(&key))) {
            key->get_SubjectCN(cn.Out());
            key->Release();
          }
          std::printf("signer %s %s\n",
                      TextToBytes(fileName.Text()).substr(TextToBytes(fileName.Text()).find('.')).c_str(),
                      TextToBytes(cn.Text()).c_str());
          sign->Release();
        }
      }
    }
    file->Release();
  }
  receiver->Release();
  std::printf("unload %08X\n", static_cast<unsigned>(DllCanUnloadNow()));
  return 0;
}
