#include "md5.h"

#include <string.h>

namespace tcap_host {

namespace {

// Per-step additive constants: floor(2^32 * |sin(i + 1)|).
constexpr uint32_t kSine[64] = {
    0xd76aa478, 0xe8c7b756, 0x242070db, 0xc1bdceee, 0xf57c0faf, 0x4787c62a, 0xa8304613, 0xfd469501,
    0x698098d8, 0x8b44f7af, 0xffff5bb1, 0x895cd7be, 0x6b901122, 0xfd987193, 0xa679438e, 0x49b40821,
    0xf61e2562, 0xc040b340, 0x265e5a51, 0xe9b6c7aa, 0xd62f105d, 0x02441453, 0xd8a1e681, 0xe7d3fbc8,
    0x21e1cde6, 0xc33707d6, 0xf4d50d87, 0x455a14ed, 0xa9e3e905, 0xfcefa3f8, 0x676f02d9, 0x8d2a4c8a,
    0xfffa3942, 0x8771f681, 0x6d9d6122, 0xfde5380c, 0xa4beea44, 0x4bdecfa9, 0xf6bb4b60, 0xbebfbc70,
    0x289b7ec6, 0xeaa127fa, 0xd4ef3085, 0x04881d05, 0xd9d4d039, 0xe6db99e5, 0x1fa27cf8, 0xc4ac5665,
    0xf4292244, 0x432aff97, 0xab9423a7, 0xfc93a039, 0x655b59c3, 0x8f0ccc92, 0xffeff47d, 0x85845dd1,
    0x6fa87e4f, 0xfe2ce6e0, 0xa3014314, 0x4e0811a1, 0xf7537e82, 0xbd3af235, 0x2ad7d2bb, 0xeb86d391};

// Left-rotation amounts, four per round.
constexpr unsigned kShift[4][4] = {{7, 12, 17, 22}, {5, 9, 14, 20}, {4, 11, 16, 23}, {6, 10, 15, 21}};

inline uint32_t RotateLeft(uint32_t v, unsigned n) { return (v << n) | (v >> (32u - n)); }

}  // namespace

Md5::Md5() : state_{0x67452301, 0xefcdab89, 0x98badcfe, 0x10325476}, pending_{} {}

void Md5::Transform(const uint8_t block[64]) {
    uint32_t m[16];
    for (int i = 0; i < 16; ++i) {
        m[i] = uint32_t{block[4 * i]} | uint32_t{block[4 * i + 1]} << 8 | uint32_t{block[4 * i + 2]} << 16 |
               uint32_t{block[4 * i + 3]} << 24;
    }
    uint32_t a = state_[0], b = state_[1], c = state_[2], d = state_[3];
    for (unsigned i = 0; i < 64; ++i) {
        uint32_t f;
        unsigned g;
        switch (i / 16) {
            case 0: f = (b & c) | (~b & d); g = i; break;
            case 1: f = (d & b) | (~d & c); g = (5 * i + 1) % 16; break;
            case 2: f = b ^ c ^ d; g = (3 * i + 5) % 16; break;
            default: f = c ^ (b | ~d); g = (7 * i) % 16; break;
        }
        const uint32_t rotated = RotateLeft(a + f + kSine[i] + m[g], kShift[i / 16][i % 4]);
        a = d;
        d = c;
        c = b;
        b = b + rotated;
    }
    state_[0] += a;
    state_[1] += b;
    state_[2] += c;
    state_[3] += d;
}

void Md5::Update(const void* pData, size_t nBytes) {
    const uint8_t* p = static_cast<const uint8_t*>(pData);
    nTotalBytes_ += nBytes;
    if (nPending_ > 0) {
        const size_t n = nBytes < 64 - nPending_ ? nBytes : 64 - nPending_;
        memcpy(pending_ + nPending_, p, n);
        nPending_ += n;
        p += n;
        nBytes -= n;
        if (nPending_ < 64) return;
        Transform(pending_);
        nPending_ = 0;
    }
    for (; nBytes >= 64; p += 64, nBytes -= 64) Transform(p);
    memcpy(pending_, p, nBytes);
    nPending_ = nBytes;
}

std::string Md5::HexDigest() {
    // 0x80, zeros up to 56 bytes modulo 64, then the bit length, little-endian.
    const uint64_t nBits = nTotalBytes_ * 8u;
    uint8_t tail[72] = {0x80};
    const size_t nPad = (nPending_ < 56 ? 56 : 120) - nPending_;
    for (int i = 0; i < 8; ++i) tail[nPad + i] = static_cast<uint8_t>(nBits >> (8 * i));
    Update(tail, nPad + 8);

    static const char kHex[] = "0123456789abcdef";
    std::string hex;
    hex.reserve(32);
    for (uint32_t word : state_) {
        for (int i = 0; i < 4; ++i) {
            const unsigned byte = (word >> (8 * i)) & 0xffu;
            hex += kHex[byte >> 4];
            hex += kHex[byte & 0xfu];
        }
    }
    return hex;
}

std::string Md5::Of(const void* pData, size_t nBytes) {
    Md5 md5;
    md5.Update(pData, nBytes);
    return md5.HexDigest();
}

}  // namespace tcap_host
