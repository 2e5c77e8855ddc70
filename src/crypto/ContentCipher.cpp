#include "crypto/ContentCipher.h"

#include <openssl/crypto.h>
#include <openssl/obj_mac.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cstring>
#include <thread>
#include <vector>

namespace qv {
namespace {

constexpr std::size_t kSegment = 1024;  // the key changes after every 1024 bytes
constexpr std::size_t kPiece = 1 << 20;
constexpr unsigned kMostParts = 4;
// A change of key (four blocks decrypted, one encrypted, the contexts set up again) costs about
// a sixteenth of decrypting a segment (128 blocks): the first part, which needs no key change,
// is made that much longer.
constexpr double kChangeCost = 1.0 / 16;

// RFC 4357, 2.3.1: the key of the next segment is this block decrypted with the current key.
constexpr unsigned char kMeshingBlock[32] = {0x69, 0x00, 0x72, 0x22, 0x64, 0xC9, 0x04, 0x23, 0x8D, 0x3A, 0xDB,
                                             0x96, 0x46, 0xE9, 0x2A, 0xC4, 0x18, 0xFE, 0xAC, 0x94, 0x00, 0xED,
                                             0x07, 0x12, 0xC0, 0x86, 0xDC, 0xC2, 0xEF, 0x4C, 0xA9, 0x2B};

std::atomic<std::uint64_t> g_inParts{0};

using Block = std::array<unsigned char, 8>;

// A context of `cipher` with the envelope's parameters, `key` and `iv` (the parameters' IV when
// null), padding off.
CipherCtxPtr NewContext(const EVP_CIPHER* cipher, ASN1_TYPE* parameters, const unsigned char* key,
                        const unsigned char* iv, int encrypt) {
  CipherCtxPtr context(EVP_CIPHER_CTX_new());
  if (!cipher || !context ||
      EVP_CipherInit_ex(context.get(), cipher, nullptr, nullptr, nullptr, encrypt) != 1 ||
      EVP_CIPHER_asn1_to_param(context.get(), parameters) <= 0 ||
      EVP_CipherInit_ex(context.get(), nullptr, nullptr, key, iv, encrypt) != 1 ||
      EVP_CIPHER_CTX_set_padding(context.get(), 0) != 1) {
    ERR_clear_error();
    return nullptr;
  }
  return context;
}

// The keys of the content from segment to segment, each change as the cipher makes it: the
// meshing block decrypted with the current key, and the block fed back encrypted with the new
// one. Single blocks go through the engine's GOST 28147-89 in CBC mode with a zero IV.
class KeyChain {
 public:
  KeyChain(const EVP_CIPHER* cfb, const GostContentKey& content)
      : cfb_(cfb), parameters_(content.algorithm->parameter) {
    const EVP_CIPHER* cbc = EVP_get_cipherbynid(NID_gost89_cbc);
    std::memcpy(key_.data(), content.key.data(), key_.size());
    decrypt_ = NewContext(cbc, parameters_, key_.data(), kZero, 0);
    encrypt_ = NewContext(cbc, parameters_, key_.data(), kZero, 1);
  }
  ~KeyChain() { OPENSSL_cleanse(key_.data(), key_.size()); }

  // Changes the key `segments` times.
  bool Advance(std::size_t segments) {
    if (!decrypt_ || !encrypt_) return false;
    std::array<unsigned char, 32> next;
    for (std::size_t i = 0; i < segments; ++i) {
      int out = 0;
      if (EVP_CipherInit_ex(decrypt_.get(), nullptr, nullptr, key_.data(), kZero, 0) != 1 ||
          EVP_CipherUpdate(decrypt_.get(), next.data(), &out, kMeshingBlock, sizeof kMeshingBlock) != 1 ||
          out != static_cast<int>(next.size())) {
        return false;
      }
      // CBC added the block before to each block decrypted after the first.
      for (std::size_t b = 8; b < next.size(); ++b) next[b] ^= kMeshingBlock[b - 8];
      key_ = next;
    }
    OPENSSL_cleanse(next.data(), next.size());
    return true;
  }

  // A context that decrypts the current segment on, `previous` being the cipher text before it.
  CipherCtxPtr ContextAfter(const Block& previous) {
    Block iv;
    int out = 0;
    if (!encrypt_ || EVP_CipherInit_ex(encrypt_.get(), nullptr, nullptr, key_.data(), kZero, 1) != 1 ||
        EVP_CipherUpdate(encrypt_.get(), iv.data(), &out, previous.data(), 8) != 1 || out != 8) {
      return nullptr;
    }
    return NewContext(cfb_, parameters_, key_.data(), iv.data(), 0);
  }

 private:
  static constexpr unsigned char kZero[8] = {};
  const EVP_CIPHER* cfb_;
  ASN1_TYPE* parameters_;
  std::array<unsigned char, 32> key_;
  CipherCtxPtr decrypt_, encrypt_;
};

// Decrypts the content's bytes [from, to) where they lie, moving the plain text down to the
// beginning of the message when `move`.
bool DecryptRange(EVP_CIPHER_CTX* context, char* message, std::size_t offset, std::size_t from,
                  std::size_t to, bool move) {
  for (std::size_t done = from; done < to;) {
    const std::size_t n = std::min(kPiece, to - done);
    auto* piece = reinterpret_cast<unsigned char*>(message + offset + done);
    int out = 0;
    if (EVP_DecryptUpdate(context, piece, &out, piece, static_cast<int>(n)) != 1 ||
        out != static_cast<int>(n))
      return false;
    if (move) std::memmove(message + done, piece, n);
    done += n;
  }
  return true;
}

// Whether the second kilobyte and the first block of the third, decrypted from a context made
// for the second segment, equal what a copy of `sequential` gives for them.
bool PartsAgree(EVP_CIPHER_CTX* sequential, const GostContentKey& key, const unsigned char* content) {
  constexpr std::size_t kHead = 2 * kSegment + 8;
  CipherCtxPtr copy(EVP_CIPHER_CTX_new());
  std::array<unsigned char, kHead> whole, part;
  int out = 0, tail = 0;
  if (!copy || EVP_CIPHER_CTX_copy(copy.get(), sequential) != 1 ||
      EVP_DecryptUpdate(copy.get(), whole.data(), &out, content, kHead) != 1 || out != kHead) {
    ERR_clear_error();
    return false;
  }
  KeyChain chain(EVP_CIPHER_CTX_get0_cipher(sequential), key);
  Block previous;
  std::memcpy(previous.data(), content + kSegment - 8, 8);
  CipherCtxPtr second = chain.Advance(1) ? chain.ContextAfter(previous) : nullptr;
  const bool agree =
      second &&
      EVP_DecryptUpdate(second.get(), part.data(), &tail, content + kSegment, kHead - kSegment) == 1 &&
      tail == static_cast<int>(kHead - kSegment) &&
      std::memcmp(part.data(), whole.data() + kSegment, kHead - kSegment) == 0;
  OPENSSL_cleanse(whole.data(), whole.size());
  OPENSSL_cleanse(part.data(), part.size());
  ERR_clear_error();
  return agree;
}

// Where the parts after the first start, multiples of 1024: the first part is longer by what
// the others spend on changing keys up to their start, so that all end together.
std::vector<std::size_t> PartStarts(std::size_t length, unsigned parts) {
  const double total = static_cast<double>(length / kSegment), r = kChangeCost, k = parts;
  const double first = total / (1 + (k - 1) * (1 - r) / (1 + r * (k - 2)));
  const double each = first * (1 - r) / (1 + r * (k - 2));
  std::vector<std::size_t> starts;
  for (unsigned p = 1; p < parts; ++p) {
    const auto segment = static_cast<std::size_t>(first + (p - 1) * each);
    starts.push_back(std::clamp<std::size_t>(segment, 1, length / kSegment - 1) * kSegment);
  }
  return starts;
}

struct Part {
  std::size_t from = 0, to = 0;
  Block previous{};
  CipherCtxPtr context;
  bool done = false;
};

// Sets up the contexts of `parts` in one walk along the keys, then decrypts them, the first here
// and each other on a thread of its own. Returns false, having written nothing, when a context
// cannot be set up.
bool DecryptParts(const EVP_CIPHER* cipher, const GostContentKey& key, std::vector<Part>& parts,
                  char* message, std::size_t offset) noexcept {
  std::vector<std::thread> threads;
  try {
    threads.reserve(parts.size());
    KeyChain chain(cipher, key);
    std::size_t at = 0;
    for (Part& part : parts) {
      if (!chain.Advance((part.from - at) / kSegment)) return false;
      at = part.from;
      part.context = chain.ContextAfter(part.previous);
      if (!part.context) return false;
    }
  } catch (...) {
    return false;
  }
  auto run = [message, offset](Part& part) {
    part.done = DecryptRange(part.context.get(), message, offset, part.from, part.to, false);
  };
  std::size_t started = 1;
  try {
    for (; started < parts.size(); ++started) threads.emplace_back(run, std::ref(parts[started]));
  } catch (...) {
    // No thread: the parts left are decrypted here.
  }
  run(parts[0]);
  for (std::size_t p = started; p < parts.size(); ++p) run(parts[p]);
  for (std::thread& thread : threads) thread.join();
  return true;
}

}  // namespace

GostContentKey::~GostContentKey() {
  OPENSSL_cleanse(key.data(), key.size());
}

bool DecryptContentWhereItLies(EVP_CIPHER_CTX* sequential, const GostContentKey* key, char* message,
                               std::size_t offset, std::size_t length, unsigned parts) {
  const auto* content = reinterpret_cast<const unsigned char*>(message + offset);
  const unsigned count = std::min(parts ? parts : std::thread::hardware_concurrency(), kMostParts);
  if (!key || !*key || length < kContentPartsMinimum || count < 2 || !PartsAgree(sequential, *key, content)) {
    return DecryptRange(sequential, message, offset, 0, length, true);
  }
  // The block before each part is kept before anything is written over it.
  const std::vector<std::size_t> starts = PartStarts(length, count);
  std::vector<Part> others(starts.size());
  for (std::size_t p = 0; p < others.size(); ++p) {
    others[p].from = starts[p];
    others[p].to = p + 1 < starts.size() ? starts[p + 1] : length;
    std::memcpy(others[p].previous.data(), content + starts[p] - 8, 8);
  }
  // The first part here, the others behind a thread that sets them up: when that fails, the
  // sequential context goes on where the first part ends.
  bool set = false;
  std::thread helper;
  try {
    helper = std::thread(
        [&] { set = DecryptParts(EVP_CIPHER_CTX_get0_cipher(sequential), *key, others, message, offset); });
  } catch (...) {
    return DecryptRange(sequential, message, offset, 0, length, true);
  }
  bool done = DecryptRange(sequential, message, offset, 0, starts[0], true);
  helper.join();
  if (!set) return done && DecryptRange(sequential, message, offset, starts[0], length, true);
  for (const Part& part : others) {
    done = done && part.done;
    std::memmove(message + part.from, message + offset + part.from, part.to - part.from);
  }
  ++g_inParts;
  return done;
}

std::uint64_t ContentsDecryptedInParts() {
  return g_inParts.load();
}

}  // namespace qv
