// Decryption of an envelope's content where it lies: a megabyte at a time, and GOST 28147-89
// content of some megabytes in parts on several threads.
//
// The content cipher is GOST 28147-89 in CFB mode with the key changed every 1024 bytes
// (RFC 4357, 2.3). CFB decrypts each block from the cipher text before it, and each new key is
// a fixed block decrypted with the key before it, whatever the content. So the plain text from
// any multiple of 1024 on follows from the key of that segment and the block before it, and
// the content is decrypted in parts at the same time. Encryption feeds back its own output and
// stays in one piece.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/Ossl.h"

namespace qv {

// The content key of a GOST 28147-89 envelope with its cipher's parameters (IV and S-box set),
// all that decrypting from the middle of the content needs. Empty when the content is not
// decrypted in parts.
struct GostContentKey {
  std::string key;  // 32 bytes
  X509AlgorPtr algorithm;
  ~GostContentKey();
  explicit operator bool() const { return key.size() == 32 && algorithm && algorithm->parameter; }
};

// The least content decrypted in parts.
constexpr std::size_t kContentPartsMinimum = 4 << 20;

// Decrypts the `length` bytes of cipher text at `offset` of `message` with `sequential`, a
// context fresh from the envelope whose cipher has a block size of 1, and writes the plain text
// over the message from its beginning. With `key` and content of 4 MiB or more, in `parts`
// parts (0: one for each processor, at most 4), those after the first on threads of their own,
// once a
// check on the first two kilobytes has shown that a part decrypts as the whole does. Nothing is
// written before every part has its context: what cannot be set up is decrypted in one piece.
// False when the cipher fails.
bool DecryptContentWhereItLies(EVP_CIPHER_CTX* sequential, const GostContentKey* key, char* message,
                               std::size_t offset, std::size_t length, unsigned parts = 0);

// How many contents have been decrypted in parts in this process, for the tests.
std::uint64_t ContentsDecryptedInParts();

}  // namespace qv
