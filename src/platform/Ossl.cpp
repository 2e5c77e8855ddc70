// The GOST engine is reached through the ENGINE interface, which OpenSSL 3 marks deprecated; the
// gostprov provider of Debian 12 cannot load GOST keys, so the engine stays. The deprecation
// warnings are silenced for this file only (before the first OpenSSL header).
#define OPENSSL_SUPPRESS_DEPRECATED 1

#include "platform/Ossl.h"

#include <openssl/engine.h>
#include <openssl/obj_mac.h>

#include <limits>
#include <mutex>

#include "foundation/Errors.h"

namespace qv {

BioPtr MemoryBio(std::string_view bytes) {
  if (bytes.size() > static_cast<std::size_t>(std::numeric_limits<int>::max())) return nullptr;
  return BioPtr(BIO_new_mem_buf(bytes.data(), static_cast<int>(bytes.size())));
}

std::string BioBytes(BIO* bio) {
  char* data = nullptr;
  long length = BIO_get_mem_data(bio, &data);
  return length > 0 && data ? std::string(data, static_cast<std::size_t>(length)) : std::string();
}

namespace {

struct EngineFree {
  void operator()(ENGINE* e) const { ENGINE_free(e); }
};

// The engine builds the curve of a parameter set the first time a key of that set is made or
// read, and keeps it in its table without a lock: two threads that meet a set first at once
// both build it, and one curve is lost. Every set is built here, on one thread, while the
// engine loads.
void BuildEngineCurves() {
  static const struct {
    int keyType;
    int parameterSet;
  } kSets[] = {
      {NID_id_GostR3410_2012_256, NID_id_GostR3410_2001_TestParamSet},
      {NID_id_GostR3410_2012_256, NID_id_GostR3410_2001_CryptoPro_A_ParamSet},
      {NID_id_GostR3410_2012_256, NID_id_GostR3410_2001_CryptoPro_B_ParamSet},
      {NID_id_GostR3410_2012_256, NID_id_GostR3410_2001_CryptoPro_C_ParamSet},
      {NID_id_GostR3410_2012_256, NID_id_GostR3410_2001_CryptoPro_XchA_ParamSet},
      {NID_id_GostR3410_2012_256, NID_id_GostR3410_2001_CryptoPro_XchB_ParamSet},
      {NID_id_GostR3410_2012_256, NID_id_tc26_gost_3410_2012_256_paramSetA},
      {NID_id_GostR3410_2012_256, NID_id_tc26_gost_3410_2012_256_paramSetB},
      {NID_id_GostR3410_2012_256, NID_id_tc26_gost_3410_2012_256_paramSetC},
      {NID_id_GostR3410_2012_256, NID_id_tc26_gost_3410_2012_256_paramSetD},
      {NID_id_GostR3410_2012_512, NID_id_tc26_gost_3410_2012_512_paramSetTest},
      {NID_id_GostR3410_2012_512, NID_id_tc26_gost_3410_2012_512_paramSetA},
      {NID_id_GostR3410_2012_512, NID_id_tc26_gost_3410_2012_512_paramSetB},
      {NID_id_GostR3410_2012_512, NID_id_tc26_gost_3410_2012_512_paramSetC},
  };
  // The engine's control that names the parameter set by its NID (EVP_PKEY_CTRL_GOST_PARAMSET);
  // its string form does not take every set by name.
  constexpr int kGostParamSet = EVP_PKEY_ALG_CTRL + 1;
  for (const auto& set : kSets) {
    // Making parameters fills them from the set's curve; a set this engine lacks is left alone.
    EvpPkeyCtxPtr ctx(EVP_PKEY_CTX_new_id(set.keyType, nullptr));
    EVP_PKEY* raw = nullptr;
    if (ctx && EVP_PKEY_paramgen_init(ctx.get()) > 0 &&
        EVP_PKEY_CTX_ctrl(ctx.get(), -1, EVP_PKEY_OP_PARAMGEN, kGostParamSet, set.parameterSet, nullptr) > 0)
      EVP_PKEY_paramgen(ctx.get(), &raw);
    EvpPkeyPtr parameters(raw);
  }
  ERR_clear_error();
}

bool LoadGostEngine() {
  // The engine stays loaded for the life of the process; its functional reference is kept here.
  ENGINE* raw = ENGINE_by_id("gost");
  if (!raw) {
    Trace("GOST engine not found: %s", {TakeOpenSslErrors()});
    return false;
  }
  std::unique_ptr<ENGINE, EngineFree> engine(raw);
  if (!ENGINE_init(engine.get())) {
    Trace("GOST engine init failed: %s", {TakeOpenSslErrors()});
    return false;
  }
  if (!ENGINE_set_default(engine.get(), ENGINE_METHOD_ALL)) {
    Trace("GOST engine set default failed: %s", {TakeOpenSslErrors()});
    ENGINE_finish(engine.get());
    return false;
  }
  BuildEngineCurves();
  // ENGINE_init took a functional reference that lives with the process; the structural one goes.
  bool ok = EVP_get_digestbynid(NID_id_GostR3411_2012_256) != nullptr;
  EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new_id(NID_id_GostR3410_2012_256, nullptr);
  ok = ok && ctx != nullptr;
  EVP_PKEY_CTX_free(ctx);
  ERR_clear_error();
  return ok;
}

}  // namespace

bool EnsureGostEngine() {
  static std::once_flag once;
  static bool available = false;
  std::call_once(once, [] { available = LoadGostEngine(); });
  return available;
}

std::string TakeOpenSslErrors() {
  std::string text;
  unsigned long code;
  while ((code = ERR_get_error()) != 0) {
    char buffer[256];
    ERR_error_string_n(code, buffer, sizeof buffer);
    if (!text.empty()) text += "; ";
    text += buffer;
  }
  return text;
}

std::string OidText(const ASN1_OBJECT* object) {
  if (!object) return {};
  char buffer[256];
  int length = OBJ_obj2txt(buffer, sizeof buffer, object, 1);
  if (length < 0) return {};
  if (static_cast<std::size_t>(length) < sizeof buffer)
    return std::string(buffer, static_cast<std::size_t>(length));
  std::string big(static_cast<std::size_t>(length) + 1, '\0');
  OBJ_obj2txt(big.data(), length + 1, object, 1);
  big.resize(static_cast<std::size_t>(length));
  return big;
}

}  // namespace qv
