#include "sha256.h"

#include <cstdint>
#include <cstring>

namespace
{

const uint32_t kRoundConstants[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2};

uint32_t RotateRight(uint32_t value, int count)
{
    return (value >> count) | (value << (32 - count));
}

// One 64-byte block into the state.
void Compress(uint32_t state[8], const uint8_t* block)
{
    uint32_t schedule[64];
    for (int i = 0; i < 16; ++i)
        schedule[i] = static_cast<uint32_t>(block[4 * i]) << 24 |
                      static_cast<uint32_t>(block[4 * i + 1]) << 16 |
                      static_cast<uint32_t>(block[4 * i + 2]) << 8 | block[4 * i + 3];
    for (int i = 16; i < 64; ++i)
    {
        const uint32_t s0 = RotateRight(schedule[i - 15], 7) ^ RotateRight(schedule[i - 15], 18) ^
                            (schedule[i - 15] >> 3);
        const uint32_t s1 = RotateRight(schedule[i - 2], 17) ^ RotateRight(schedule[i - 2], 19) ^
                            (schedule[i - 2] >> 10);
        schedule[i] = schedule[i - 16] + s0 + schedule[i - 7] + s1;
    }
    uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
    uint32_t e = state[4], f = state[5], g = state[6], h = state[7];
    for (int i = 0; i < 64; ++i)
    {
        const uint32_t s1 = RotateRight(e, 6) ^ RotateRight(e, 11) ^ RotateRight(e, 25);
        const uint32_t choice = (e & f) ^ (~e & g);
        const uint32_t first = h + s1 + choice + kRoundConstants[i] + schedule[i];
        const uint32_t s0 = RotateRight(a, 2) ^ RotateRight(a, 13) ^ RotateRight(a, 22);
        const uint32_t majority = (a & b) ^ (a & c) ^ (b & c);
        h = g;
        g = f;
        f = e;
        e = d + first;
        d = c;
        c = b;
        b = a;
        a = first + s0 + majority;
    }
    const uint32_t worked[8] = {a, b, c, d, e, f, g, h};
    for (int i = 0; i < 8; ++i)
        state[i] += worked[i];
}

} // namespace

void Sha256Hex(const void* data, size_t length, char hex[kSha256HexChars])
{
    uint32_t state[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                         0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
    const uint8_t* bytes = static_cast<const uint8_t*>(data);
    size_t done = 0;
    for (; length - done >= 64; done += 64)
        Compress(state, bytes + done);
    // The rest, the 0x80 byte and the length in bits, big-endian, in the last 8 bytes of one
    // block, or of two when the rest leaves no room for them.
    uint8_t tail[128] = {};
    const size_t rest = length - done;
    memcpy(tail, bytes + done, rest);
    tail[rest] = 0x80;
    const size_t tailLength = rest < 56 ? 64 : 128;
    const uint64_t bits = static_cast<uint64_t>(length) * 8;
    for (int i = 0; i < 8; ++i)
        tail[tailLength - 1 - i] = static_cast<uint8_t>(bits >> (8 * i));
    for (size_t at = 0; at < tailLength; at += 64)
        Compress(state, tail + at);
    for (int i = 0; i < 32; ++i)
    {
        const unsigned byte = (state[i / 4] >> (24 - 8 * (i % 4))) & 0xFF;
        hex[2 * i] = "0123456789abcdef"[byte >> 4];
        hex[2 * i + 1] = "0123456789abcdef"[byte & 0xF];
    }
    hex[64] = '\0';
}
