// Key containers in the file format of the most widespread commercial GOST provider, as users
// copy them from a flash drive or a storage token: a folder (usually "xxxxxxxx.000") holding
// header.key (the keys' parameters, the fingerprints of their public keys, their certificates
// and a check value over all of it), name.key, and for each key its private key encrypted with a
// key derived from the PIN and multiplied by a mask (primary.key, primary2.key for the second
// key) beside that mask, the salt of the derivation and their check value (masks.key,
// masks2.key). The reader opens such a folder read-only; the import puts a key into a container
// of this library.
#pragma once

#include <cstddef>
#include <memory>
#include <string>

#include "platform/Ossl.h"

namespace qv {

// header.key holds the parameters and at most two certificates (a few kilobytes each, 20 KiB at
// the very most with long policy and address extensions); primary.key and masks.key hold one
// key of at most 512 bits and a few bytes of ASN.1 around it. Larger files are refused by their
// size before they are read.
constexpr std::size_t kMaxProviderHeaderFile = 64 * 1024;
constexpr std::size_t kMaxProviderKeyFile = 1024;
// The PIN is stretched four times over before it is hashed; the provider itself takes short
// ones, and anything longer than this is no PIN of its.
constexpr std::size_t kMaxProviderPinLength = 256;
// header.key names its fields by tags; the fields past this many are not what the format holds.
constexpr int kMaxProviderHeaderFields = 32;

// The files of a container folder, each read whole within its bound.
struct ProviderContainerFiles {
  std::string header;
  std::string primary;
  std::string masks;
  std::string primary2;  // empty when the folder has none
  std::string masks2;
};

// Reads the files of `folder`; raises naming the file for one that is missing (header.key,
// primary.key and masks.key must be there), is no regular file or is larger than its bound.
ProviderContainerFiles ReadProviderContainerFiles(const std::string& folder);

// A container read from its files: header.key is parsed and its check value verified on
// construction, each key's files when the key is opened. `where` names the container (its
// folder) in the messages.
class CProviderContainer {
 public:
  // Raises (kNteBadData) with "Файл контейнера ключа [...] поврежден: ..." for a damaged,
  // truncated or foreign header.key, an unknown format version or key algorithm.
  CProviderContainer(const std::string& where, ProviderContainerFiles files);
  ~CProviderContainer();
  CProviderContainer(const CProviderContainer&) = delete;
  CProviderContainer& operator=(const CProviderContainer&) = delete;

  // 1 or 2.
  int KeyCount() const;
  // The DER bytes of the certificate header.key keeps for key `slot` (0 or 1), empty without one.
  const std::string& Certificate(int slot) const;

  // The private key of `slot`, opened with `pin` (code page 1251 bytes; empty for a container
  // without a PIN). Its public key is derived and compared with the fingerprint header.key
  // keeps. Raises kNteBadKey with "Неверный PIN контейнера ключа [...]" for a PIN that does not
  // open it, kNteBadData naming the file for damaged key files.
  EvpPkeyPtr OpenKey(int slot, const std::string& pin) const;

 private:
  struct Slot;
  std::string where_;
  ProviderContainerFiles files_;
  std::string passwordCheck_;  // empty when header.key keeps none
  std::unique_ptr<Slot> slots_[2];
};

// The format's primitives, for the tests that write containers by the format.
namespace provider_format {
// The key the PIN and a salt give (32 bytes): GOST R 34.11-94 for GOST R 34.10-2001 keys,
// GOST R 34.11-2012 (256) for 2012 keys.
std::string PinKey(const std::string& pin, const std::string& salt, bool gost2012);
// The GOST 28147-89 imitation (4 bytes) of `data` under the 32-byte `key`, with the S-boxes of
// parameter set Z for 2012 keys and CryptoPro A for 2001 keys.
std::string Imitation(const std::string& key, const std::string& data, bool gost2012);
}  // namespace provider_format

// Imports a key of the container folder `folder` into the new container `name` of this library
// and writes the key's certificate, when header.key has one, into it. The key is the one with a
// certificate (the first when both have one, the only one when there is one key and no
// certificate); `slot` 1 or 2 chooses. `pin` null: the PIN is none, else QELVORLENT_PIN, else the
// PIN callback's answer; the new container is protected by the same PIN. The key is compared
// with the certificate before anything is written.
struct ProviderImport {
  std::string certificate;  // DER, empty without one
  std::string pin;          // the PIN that opened the key and now protects the new container
};
ProviderImport ImportProviderContainer(bool machineKeyset, const std::string& folder, const std::string& name,
                                       const std::string* pin, int slot);

}  // namespace qv
