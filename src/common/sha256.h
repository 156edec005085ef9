// SPDX-License-Identifier: GPL-2.0-or-later
// SHA-256 (FIPS 180-4), the digest of the manifest beside an archive.
//
// One small implementation shared by the library (its adders digest each
// source while they read it, and the manifest digests the archive files)
// and the command (verify and extract digest the data the library streams
// back). It lives in a header with no system include so both build it
// without a second copy and without a package.
#ifndef KVMORVEL_COMMON_SHA256_H
#define KVMORVEL_COMMON_SHA256_H

#include <cstddef>
#include <cstdint>
#include <string>

#if defined(__x86_64__) && defined(__GNUC__)
#include <cpuid.h>
#include <immintrin.h>
#define KVMORVEL_SHA256_NI 1
#endif

class Sha256 {
 public:
  static const size_t kDigestBytes = 32;

  Sha256() { Reset(); }

  void Reset() {
    static const uint32_t kInitial[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372,
                                         0xa54ff53a, 0x510e527f, 0x9b05688c,
                                         0x1f83d9ab, 0x5be0cd19};
    for (int i = 0; i < 8; ++i) state_[i] = kInitial[i];
    length_ = 0;
    filled_ = 0;
  }

  void Update(const uint8_t* bytes, size_t size) {
    length_ += size;
    while (size != 0) {
      if (filled_ == 0 && size >= 64) {  // whole blocks straight from the input
        Compress(bytes);
        bytes += 64;
        size -= 64;
        continue;
      }
      const size_t take = size < 64 - filled_ ? size : 64 - filled_;
      for (size_t i = 0; i < take; ++i) block_[filled_ + i] = bytes[i];
      filled_ += take;
      bytes += take;
      size -= take;
      if (filled_ == 64) {
        Compress(block_);
        filled_ = 0;
      }
    }
  }

  // Ends the message and writes its digest; the object starts over.
  void Finish(uint8_t digest[kDigestBytes]) {
    const uint64_t bits = length_ * 8;
    const uint8_t pad = 0x80;
    Update(&pad, 1);
    const uint8_t zero = 0;
    while (filled_ != 56) Update(&zero, 1);
    uint8_t tail[8];
    for (int i = 0; i < 8; ++i) tail[i] = static_cast<uint8_t>(bits >> (56 - 8 * i));
    Update(tail, 8);
    for (int i = 0; i < 8; ++i)
      for (int j = 0; j < 4; ++j)
        digest[4 * i + j] = static_cast<uint8_t>(state_[i] >> (24 - 8 * j));
    Reset();
  }

  // The digest as 64 lower-case hexadecimal digits, as sha256sum prints it.
  std::string FinishHex() {
    uint8_t digest[kDigestBytes];
    Finish(digest);
    return ToHex(digest);
  }

  static std::string ToHex(const uint8_t digest[kDigestBytes]) {
    static const char kDigits[] = "0123456789abcdef";
    std::string hex;
    for (size_t i = 0; i < kDigestBytes; ++i) {
      hex += kDigits[digest[i] >> 4];
      hex += kDigits[digest[i] & 15];
    }
    return hex;
  }

 private:
  static uint32_t Rotate(uint32_t x, int n) { return (x >> n) | (x << (32 - n)); }

  // One 64-byte block into the state: through the processor's SHA
  // instructions where it has them (several times faster, which matters
  // when a large file is digested as it is stored), else in portable code.
  void Compress(const uint8_t* block) {
#if defined(KVMORVEL_SHA256_NI)
    static const bool kHasShaNi = ProcessorHasShaNi();
    if (kHasShaNi) {
      CompressShaNi(state_, block);
      return;
    }
#endif
    CompressPortable(block);
  }

  static const uint32_t* RoundConstants() {
    static const uint32_t kRound[64] = {
        0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1,
        0x923f82a4, 0xab1c5ed5, 0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3,
        0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174, 0xe49b69c1, 0xefbe4786,
        0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
        0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147,
        0x06ca6351, 0x14292967, 0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13,
        0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85, 0xa2bfe8a1, 0xa81a664b,
        0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
        0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a,
        0x5b9cca4f, 0x682e6ff3, 0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208,
        0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2};
    return kRound;
  }

  void CompressPortable(const uint8_t* block) {
    const uint32_t* kRound = RoundConstants();
    uint32_t w[64];
    for (int i = 0; i < 16; ++i)
      w[i] = (static_cast<uint32_t>(block[4 * i]) << 24) |
             (static_cast<uint32_t>(block[4 * i + 1]) << 16) |
             (static_cast<uint32_t>(block[4 * i + 2]) << 8) | block[4 * i + 3];
    for (int i = 16; i < 64; ++i) {
      const uint32_t s0 = Rotate(w[i - 15], 7) ^ Rotate(w[i - 15], 18) ^ (w[i - 15] >> 3);
      const uint32_t s1 = Rotate(w[i - 2], 17) ^ Rotate(w[i - 2], 19) ^ (w[i - 2] >> 10);
      w[i] = w[i - 16] + s0 + w[i - 7] + s1;
    }
    // The eight working words as named locals, so they stay in registers.
    uint32_t a = state_[0], b = state_[1], c = state_[2], d = state_[3];
    uint32_t e = state_[4], f = state_[5], g = state_[6], h = state_[7];
    for (int i = 0; i < 64; ++i) {
      const uint32_t s1 = Rotate(e, 6) ^ Rotate(e, 11) ^ Rotate(e, 25);
      const uint32_t choice = (e & f) ^ (~e & g);
      const uint32_t t1 = h + s1 + choice + kRound[i] + w[i];
      const uint32_t s0 = Rotate(a, 2) ^ Rotate(a, 13) ^ Rotate(a, 22);
      const uint32_t majority = (a & b) ^ (a & c) ^ (b & c);
      h = g;
      g = f;
      f = e;
      e = d + t1;
      d = c;
      c = b;
      b = a;
      a = t1 + s0 + majority;
    }
    state_[0] += a;
    state_[1] += b;
    state_[2] += c;
    state_[3] += d;
    state_[4] += e;
    state_[5] += f;
    state_[6] += g;
    state_[7] += h;
  }

#if defined(KVMORVEL_SHA256_NI)
  static bool ProcessorHasShaNi() {
    unsigned a = 0, b = 0, c = 0, d = 0;
    if (!__get_cpuid(1, &a, &b, &c, &d)) return false;
    const bool ssse3 = c & (1u << 9), sse41 = c & (1u << 19);
    if (!__get_cpuid_count(7, 0, &a, &b, &c, &d)) return false;
    return ssse3 && sse41 && (b & (1u << 29));
  }

  // The block through SHA-NI. The state is kept as the two halves the
  // instructions take (ABEF, CDGH); the message schedule as four vectors
  // of four words, each made from the ones before it (msg1, msg2).
  __attribute__((target("sha,sse4.1,ssse3"))) static void CompressShaNi(
      uint32_t state[8], const uint8_t* block) {
    const __m128i byteSwap =
        _mm_set_epi64x(0x0c0d0e0f08090a0bULL, 0x0405060700010203ULL);
    const uint32_t* kRound = RoundConstants();
    __m128i cdab = _mm_shuffle_epi32(
        _mm_loadu_si128(reinterpret_cast<const __m128i*>(&state[0])), 0xB1);
    __m128i efgh = _mm_shuffle_epi32(
        _mm_loadu_si128(reinterpret_cast<const __m128i*>(&state[4])), 0x1B);
    __m128i abef = _mm_alignr_epi8(cdab, efgh, 8);
    __m128i cdgh = _mm_blend_epi16(efgh, cdab, 0xF0);
    const __m128i abefBefore = abef, cdghBefore = cdgh;
    __m128i w[4];
    for (int g = 0; g < 16; ++g) {  // rounds 4g to 4g + 3
      if (g < 4)
        w[g] = _mm_shuffle_epi8(
            _mm_loadu_si128(reinterpret_cast<const __m128i*>(block + 16 * g)),
            byteSwap);
      __m128i words = _mm_add_epi32(
          w[g % 4],
          _mm_loadu_si128(reinterpret_cast<const __m128i*>(kRound + 4 * g)));
      cdgh = _mm_sha256rnds2_epu32(cdgh, abef, words);
      if (g >= 3 && g <= 14) {
        const int next = (g + 1) % 4;
        w[next] = _mm_sha256msg2_epu32(
            _mm_add_epi32(w[next], _mm_alignr_epi8(w[g % 4], w[(g + 3) % 4], 4)),
            w[g % 4]);
      }
      words = _mm_shuffle_epi32(words, 0x0E);
      abef = _mm_sha256rnds2_epu32(abef, cdgh, words);
      if (g >= 1 && g <= 12)
        w[(g + 3) % 4] = _mm_sha256msg1_epu32(w[(g + 3) % 4], w[g % 4]);
    }
    abef = _mm_add_epi32(abef, abefBefore);
    cdgh = _mm_add_epi32(cdgh, cdghBefore);
    const __m128i feba = _mm_shuffle_epi32(abef, 0x1B);
    const __m128i dchg = _mm_shuffle_epi32(cdgh, 0xB1);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(&state[0]),
                     _mm_blend_epi16(feba, dchg, 0xF0));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(&state[4]),
                     _mm_alignr_epi8(dchg, feba, 8));
  }
#endif

  uint32_t state_[8];
  uint64_t length_;
  uint8_t block_[64];
  size_t filled_;
};

#endif  // KVMORVEL_COMMON_SHA256_H
