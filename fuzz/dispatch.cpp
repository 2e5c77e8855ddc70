// Late-bound calls from a client that passes anything: the input is a sequence of
// IDispatch::Invoke calls on the package object, the file and signature views it hands out,
// a key object, the key-management object and the certificate checker. Each call takes a
// member from the interface's table (or any dispatch identifier), flags, and arguments of any VARTYPE the
// runtime knows (numbers, texts with every character, objects, missing, by reference).
// Every call must return a proper status without touching the caller's arguments; a failure
// reported through EXCEPINFO carries the member's failure status and a message; a success
// gives a result of the member's type; and when everything is released no object is left.
// Texts have '/' and '\' replaced so that every path they name lies in the private folder
// the process works in; downloads go to a proxy on 127.0.0.1 that refuses them, and the
// stores and key containers the calls fill are emptied after each input.
#include <fcntl.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "FuzzCheck.h"
#include "FuzzHome.h"
#include "automation/AutoObject.h"
#include "automation/CertCheckerObject.h"
#include "automation/KeyObject.h"
#include "automation/Server.h"
#include "automation/TypeInfo.h"
#include "automation/VorlentCryptObject.h"
#include "automation/VorlentObject.h"
#include "foundation/CodePage.h"
#include "foundation/Files.h"
#include "qelvorlent/QelVorlentLib.h"

namespace {

// package, file view, signature view, key, key management, certificate checker
constexpr int kTargets = 6;
constexpr int kMaxCalls = 24;
constexpr int kMaxArgs = 7;

class Reader {
 public:
  Reader(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
  bool Empty() const { return at_ >= size_; }
  std::uint8_t U8() { return at_ < size_ ? data_[at_++] : 0; }
  std::uint16_t U16() { return static_cast<std::uint16_t>(U8() | (U8() << 8)); }
  std::uint32_t U32() { return U16() | (static_cast<std::uint32_t>(U16()) << 16); }
  std::uint64_t U64() { return U32() | (static_cast<std::uint64_t>(U32()) << 32); }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t at_ = 0;
};

const IID* TargetIid(int target) {
  static const IID* const iids[kTargets] = {&IID_IVorlent,    &IID_IVorlentFile,  &IID_IVorlentSignature,
                                            &IID_IVorlentKey, &IID_IVorlentCrypt, &IID_ICertChecker};
  return iids[target];
}

// The objects of one run, one reference each.
class Pool {
 public:
  Pool() {
    for (IDispatch*& p : objects_) p = nullptr;
  }
  ~Pool() {
    for (IDispatch*& p : objects_) Set(p, nullptr);
  }
  Pool(const Pool&) = delete;
  Pool& operator=(const Pool&) = delete;

  IDispatch* Get(int target) const { return objects_[target]; }
  // Files `object` under every interface of ours it answers.
  void Offer(IUnknown* object) {
    if (!object) return;
    for (int t = 0; t < kTargets; ++t) {
      void* answered = nullptr;
      if (SUCCEEDED(object->QueryInterface(*TargetIid(t), &answered)) && answered) {
        IDispatch* dispatch = static_cast<IDispatch*>(answered);
        Set(objects_[t], dispatch);
        dispatch->Release();
      }
    }
  }

 private:
  static void Set(IDispatch*& slot, IDispatch* value) {
    if (value) value->AddRef();
    if (slot) slot->Release();
    slot = value;
  }
  IDispatch* objects_[kTargets];
};

std::u16string SafeText(std::u16string text) {
  for (char16_t& c : text) {
    if (c == u'/' || c == u'\\') c = u'_';
  }
  return text;
}

BSTR MakeBstr(Reader& in) {
  std::uint8_t kind = in.U8();
  std::size_t length = kind & 0x7F;
  std::u16string text;
  if (kind & 0x80) {
    // Any UTF-16 code units, unpaired surrogates and zeros included.
    for (std::size_t i = 0; i < length; ++i) text.push_back(static_cast<char16_t>(in.U16()));
  } else {
    // Bytes as the library's byte strings cross: one character per 1251 byte.
    std::string bytes;
    for (std::size_t i = 0; i < length; ++i) bytes.push_back(static_cast<char>(in.U8()));
    text = qv::Cp1251ToUtf16(bytes);
  }
  text = SafeText(text);
  return SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
}

// The storage of by-reference arguments; never moved while a call runs.
struct ByRef {
  LONG number = 0;
  BSTR text = nullptr;
  VARIANT inner;
  ByRef() { VariantInit(&inner); }
  ~ByRef() {
    SysFreeString(text);
    VariantClear(&inner);
  }
  ByRef(const ByRef&) = delete;
  ByRef& operator=(const ByRef&) = delete;
};

// One argument from the input; `depth` limits VT_VARIANT|VT_BYREF nesting.
void MakeArg(Reader& in, const Pool& pool, VARIANT& v, ByRef& ref, int depth) {
  VariantInit(&v);
  std::uint8_t kind = in.U8() % 18;
  switch (kind) {
    case 0:
      break;
    case 1:
      v.vt = VT_NULL;
      break;
    case 2:
      v.vt = VT_I2;
      v.iVal = static_cast<SHORT>(in.U16());
      break;
    case 3:
      v.vt = VT_I4;
      v.lVal = static_cast<LONG>(in.U32());
      break;
    case 4: {
      std::uint8_t b = in.U8();
      v.vt = VT_BOOL;
      v.boolVal = b == 0 ? VARIANT_FALSE : b == 1 ? VARIANT_TRUE : static_cast<VARIANT_BOOL>(b);
      break;
    }
    case 5:
    case 6:
      v.vt = VT_BSTR;
      v.bstrVal = MakeBstr(in);
      break;
    case 7: {
      std::uint64_t bits = in.U64();
      v.vt = VT_R8;
      std::memcpy(&v.dblVal, &bits, sizeof bits);
      break;
    }
    case 8:
    case 9: {
      IDispatch* object = pool.Get(in.U8() % kTargets);
      v.vt = kind == 8 ? VT_DISPATCH : VT_UNKNOWN;
      v.pdispVal = object;
      if (object) object->AddRef();
      break;
    }
    case 10: {
      std::uint8_t b = in.U8();
      v.vt = VT_ERROR;
      v.scode = b & 1 ? static_cast<SCODE>(DISP_E_PARAMNOTFOUND) : static_cast<SCODE>(in.U32());
      break;
    }
    case 11:
      ref.number = static_cast<LONG>(in.U32());
      v.vt = VT_I4 | VT_BYREF;
      v.plVal = &ref.number;
      break;
    case 12:
      SysFreeString(ref.text);
      ref.text = MakeBstr(in);
      v.vt = VT_BSTR | VT_BYREF;
      v.pbstrVal = &ref.text;
      break;
    case 13:
      if (depth > 0) break;
      {
        ByRef unused;
        VariantClear(&ref.inner);
        // An inner by-reference value would need storage of its own: the inner one is by value.
        MakeArg(in, pool, ref.inner, unused, depth + 1);
        if (ref.inner.vt & VT_BYREF) {
          VariantInit(&ref.inner);
        }
      }
      v.vt = VT_VARIANT | VT_BYREF;
      v.pvarVal = &ref.inner;
      break;
    case 14:
      v.vt = VT_UI1;
      v.bVal = in.U8();
      break;
    case 15:
      v.vt = VT_I8;
      v.llVal = static_cast<LONGLONG>(in.U64());
      break;
    case 16: {
      std::uint64_t bits = in.U64();
      v.vt = VT_R4;
      float f;
      std::uint32_t low = static_cast<std::uint32_t>(bits);
      std::memcpy(&f, &low, sizeof f);
      v.fltVal = f;
      break;
    }
    default:
      // A type the runtime does not convert, with an empty value.
      v.vt = static_cast<VARTYPE>(in.U16() & 0x0FFF);
      if (v.vt == VT_BSTR || v.vt == VT_DISPATCH || v.vt == VT_UNKNOWN || v.vt == VT_VARIANT) v.vt = VT_EMPTY;
      v.llVal = 0;
      break;
  }
}

// The caller's view of one argument, to see that Invoke left it alone.
struct Snapshot {
  VARTYPE vt;
  LONGLONG value;
  std::u16string text;
};

Snapshot Take(const VARIANT& v) {
  Snapshot s{v.vt, v.llVal, {}};
  if (v.vt == VT_BSTR && v.bstrVal) s.text.assign(v.bstrVal, SysStringLen(v.bstrVal));
  if (v.vt == (VT_BSTR | VT_BYREF) && *v.pbstrVal) s.text.assign(*v.pbstrVal, SysStringLen(*v.pbstrVal));
  if (v.vt == (VT_I4 | VT_BYREF)) s.text.assign(1, static_cast<char16_t>(*v.plVal & 0xFFFF));
  return s;
}

bool Same(const Snapshot& s, const VARIANT& v) {
  Snapshot now = Take(v);
  return now.vt == s.vt && now.value == s.value && now.text == s.text;
}

bool IsDispatchStatus(HRESULT hr) {
  switch (hr) {
    case S_OK:
    case DISP_E_EXCEPTION:
    case DISP_E_MEMBERNOTFOUND:
    case DISP_E_BADPARAMCOUNT:
    case DISP_E_PARAMNOTFOUND:
    case DISP_E_PARAMNOTOPTIONAL:
    case DISP_E_TYPEMISMATCH:
    case DISP_E_OVERFLOW:
    case E_INVALIDARG:
      return true;
    default:
      return false;
  }
}

// The member a call reaches, as the table describes it, or null.
const qv::MemberDesc* Member(const qv::CTypeInfo& info, DISPID id, WORD flags) {
  for (const qv::MemberDesc& m : info.Members()) {
    if (m.id != id) continue;
    bool put = m.kind == qv::MemberKind::kPropertyPut;
    if (put && (flags & (DISPATCH_PROPERTYPUT | DISPATCH_PROPERTYPUTREF))) return &m;
    if (!put && (flags & (DISPATCH_METHOD | DISPATCH_PROPERTYGET))) return &m;
  }
  return nullptr;
}

void Call(Reader& in, Pool& pool) {
  std::uint8_t head = in.U8();
  // Bit 2 reaches the two objects that came later, so that older inputs call what they did.
  int target = (head & 0x04) ? 4 + (head & 1) : head & 3;
  bool withExcep = (head & 0x08) != 0;
  bool withResult = (head & 0x10) != 0;
  bool withArgErr = (head & 0x20) != 0;
  static const WORD kFlags[4] = {DISPATCH_METHOD, DISPATCH_PROPERTYGET, DISPATCH_PROPERTYPUT,
                                 DISPATCH_METHOD | DISPATCH_PROPERTYGET};
  WORD flags = kFlags[head >> 6];
  qv::CTypeInfo* info = qv::LibraryTypeInfo(*TargetIid(target));
  QV_FUZZ_REQUIRE(info != nullptr && !info->Members().empty());
  std::uint8_t pick = in.U8();
  DISPID id = pick >= 0xF0 ? static_cast<DISPID>(static_cast<std::int16_t>(in.U16()))
                           : info->Members()[pick % info->Members().size()].id;

  std::uint8_t shape = in.U8();
  UINT count = shape % (kMaxArgs + 1);
  UINT named = std::min<UINT>((shape >> 3) & 3, count);
  std::vector<DISPID> namedIds(named);
  for (DISPID& n : namedIds) {
    std::uint8_t b = in.U8();
    n = b == 0xFD ? DISPID_PROPERTYPUT : static_cast<DISPID>(static_cast<std::int8_t>(b));
  }
  // A put names its value unless the input asks otherwise.
  if ((flags & DISPATCH_PROPERTYPUT) && named == 0 && count > 0 && !(shape & 0x80)) {
    namedIds.push_back(DISPID_PROPERTYPUT);
    named = 1;
  }
  std::vector<VARIANT> args(count);
  std::vector<ByRef> refs(count);
  for (UINT i = 0; i < count; ++i) MakeArg(in, pool, args[i], refs[i], 0);
  std::vector<Snapshot> before;
  for (const VARIANT& v : args) before.push_back(Take(v));

  IDispatch* object = pool.Get(target);
  if (object) {
    DISPPARAMS params{args.data(), namedIds.data(), count, named};
    VARIANT result;
    VariantInit(&result);
    EXCEPINFO excep{};
    UINT argErr = 0xFFFFFFFF;
    HRESULT hr = object->Invoke(id, IID_NULL, 0, flags, &params, withResult ? &result : nullptr,
                                withExcep ? &excep : nullptr, withArgErr ? &argErr : nullptr);
    // A member's own failure comes back as is without EXCEPINFO; everything else is one of
    // the dispatcher's statuses.
    QV_FUZZ_REQUIRE(IsDispatchStatus(hr) || (!withExcep && FAILED(hr)));
    QV_FUZZ_REQUIRE(hr != DISP_E_EXCEPTION || withExcep);
    if (hr == DISP_E_EXCEPTION) {
      QV_FUZZ_REQUIRE(FAILED(excep.scode));
      QV_FUZZ_REQUIRE(excep.bstrDescription && SysStringLen(excep.bstrDescription) > 0);
    }
    if ((hr == DISP_E_TYPEMISMATCH || hr == DISP_E_PARAMNOTFOUND || hr == DISP_E_PARAMNOTOPTIONAL) &&
        withArgErr && argErr != 0xFFFFFFFF) {
      QV_FUZZ_REQUIRE(argErr < count);
    }
    for (UINT i = 0; i < count; ++i) QV_FUZZ_REQUIRE(Same(before[i], args[i]));
    if (SUCCEEDED(hr) && withResult) {
      const qv::MemberDesc* member = Member(*info, id, flags);
      QV_FUZZ_REQUIRE(member != nullptr);
      QV_FUZZ_REQUIRE(result.vt == member->resultType);
      if (result.vt == VT_BOOL)
        QV_FUZZ_REQUIRE(result.boolVal == VARIANT_TRUE || result.boolVal == VARIANT_FALSE);
      if (result.vt == VT_BSTR && result.bstrVal) QV_FUZZ_REQUIRE(SysStringLen(result.bstrVal) < (1u << 28));
      if (result.vt == VT_DISPATCH) pool.Offer(result.pdispVal);
    }
    VariantClear(&result);
    SysFreeString(excep.bstrSource);
    SysFreeString(excep.bstrDescription);
    SysFreeString(excep.bstrHelpFile);
  }
  for (VARIANT& v : args) {
    if (!(v.vt & VT_BYREF)) VariantClear(&v);
  }
}

const std::string& WorkFolder() {
  static const std::string folder = [] {
    std::string made = qvfuzz::PrivateHome() + "/work";
    qv::ForceDirectories(made);
    return made;
  }();
  return folder;
}

// Runs in the work folder for the time of one input, so relative names the calls save to
// land there; the caller's folder (libFuzzer's relative paths) comes back afterwards.
class InWorkFolder {
 public:
  InWorkFolder() : previous_(::open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC)) {
    if (previous_ < 0 || ::chdir(WorkFolder().c_str()) != 0) std::abort();
  }
  ~InWorkFolder() {
    if (::fchdir(previous_) != 0) std::abort();
    ::close(previous_);
  }
  InWorkFolder(const InWorkFolder&) = delete;
  InWorkFolder& operator=(const InWorkFolder&) = delete;

 private:
  int previous_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  qvfuzz::ThreadStateRelease release;
  InWorkFolder inWork;
  {
    Pool pool;
    IDispatch* package = nullptr;
    QV_FUZZ_REQUIRE(
        SUCCEEDED(qv::CreateObject<qv::CVorlent_class>(IID_IVorlent, reinterpret_cast<void**>(&package))));
    pool.Offer(package);
    package->Release();
    IVorlentKey* key = qv::CVorlentKey_class::Create();
    QV_FUZZ_REQUIRE(key != nullptr);
    pool.Offer(key);
    key->Release();
    IDispatch* crypt = nullptr;
    QV_FUZZ_REQUIRE(SUCCEEDED(
        qv::CreateObject<qv::CVorlentCrypt_class>(IID_IVorlentCrypt, reinterpret_cast<void**>(&crypt))));
    pool.Offer(crypt);
    crypt->Release();
    IDispatch* checker = nullptr;
    QV_FUZZ_REQUIRE(SUCCEEDED(
        qv::CreateObject<qv::CCertChecker_class>(IID_ICertChecker, reinterpret_cast<void**>(&checker))));
    pool.Offer(checker);
    checker->Release();

    Reader in(data, size);
    for (int i = 0; i < kMaxCalls && !in.Empty(); ++i) Call(in, pool);
  }
  // The thread's error information holds an object of the library.
  SetErrorInfo(0, nullptr);
  QV_FUZZ_REQUIRE(qv::ModuleObjectCount() == 0);
  // Whatever the calls saved stays in the work folder, the stores and the key containers;
  // start the next input clean.
  QV_FUZZ_REQUIRE(qv::DeleteFolderTree(WorkFolder(), false));
  qvfuzz::EmptyPrivateHome();
  return 0;
}
