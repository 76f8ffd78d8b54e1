#include "Checksum.h"

#include <QtEndian>

#include <array>

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define KEST_CRC_FOLDING 1
#include <immintrin.h>
#endif

namespace Kest::Ar {

namespace {

// Sixteen tables, so that the table method takes sixteen bytes a step: table 0 is the classic
// one, table k gives the effect of a byte followed by k zero bytes.
constexpr int Slices = 16;
using CrcTables = std::array<std::array<quint32, 256>, Slices>;

constexpr CrcTables crcTables()
{
    CrcTables tables{};
    for (quint32 i = 0; i < 256; ++i) {
        quint32 c = i;
        for (int k = 0; k < 8; ++k)
            c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
        tables[0][i] = c;
    }
    for (quint32 i = 0; i < 256; ++i) {
        for (int k = 1; k < Slices; ++k)
            tables[k][i] = (tables[k - 1][i] >> 8) ^ tables[0][tables[k - 1][i] & 0xFF];
    }
    return tables;
}

// Works on the register itself (not inverted on the way in or out).
quint32 byTables(const char* data, qint64 length, quint32 reg)
{
    static constexpr CrcTables t = crcTables();
    // The byte at position j of a step is followed by 15 - j more: it looks up table 15 - j.
    const auto word = [](quint32 w, int last) {
        return t[last][w & 0xFF] ^ t[last - 1][(w >> 8) & 0xFF] ^ t[last - 2][(w >> 16) & 0xFF] ^
               t[last - 3][w >> 24];
    };
    for (; length >= Slices; data += Slices, length -= Slices) {
        reg = word(qFromLittleEndian<quint32>(data) ^ reg, 15) ^
              word(qFromLittleEndian<quint32>(data + 4), 11) ^
              word(qFromLittleEndian<quint32>(data + 8), 7) ^
              word(qFromLittleEndian<quint32>(data + 12), 3);
    }
    for (; length > 0; ++data, --length)
        reg = t[0][(reg ^ quint8(*data)) & 0xFF] ^ (reg >> 8);
    return reg;
}

#ifdef KEST_CRC_FOLDING

// Folding with carry-less multiplication. A 16-byte lane A followed by D bits of message is,
// modulo the polynomial P, the same as A's two halves times x^(D+64) and x^D; each of those is
// reduced to a product of the half with x^32 * (x^(D+32) mod P) or x^32 * (x^(D-32) mod P),
// which is below 128 bits and is added into the lane D bits further on. In the reflected bit
// order of this CRC, the first half of a lane is its low 64 bits, and a constant c becomes
// reflect32(c) << 1 (the shift makes up for the product of two reflected 64-bit numbers being
// 127 bits, one short of a lane).

constexpr quint32 xPowerModP(int n) // x^n mod P, bit i the coefficient of x^i
{
    quint32 v = 1;
    for (int i = 0; i < n; ++i)
        v = (v << 1) ^ ((v & 0x80000000u) ? 0x04C11DB7u : 0);
    return v;
}

constexpr quint64 reflectedConstant(int n)
{
    const quint32 v = xPowerModP(n);
    quint32 r = 0;
    for (int i = 0; i < 32; ++i)
        r |= ((v >> i) & 1u) << (31 - i);
    return quint64(r) << 1;
}

struct FoldConstants
{
    quint64 first, second; // for the lane's first (low) and second (high) halves
};

constexpr FoldConstants foldAcross(int bits)
{
    return {reflectedConstant(bits + 32), reflectedConstant(bits - 32)};
}

__attribute__((target("pclmul,sse4.1"))) __m128i fold(__m128i lane, __m128i k, __m128i next)
{
    const __m128i first = _mm_clmulepi64_si128(lane, k, 0x00);
    const __m128i second = _mm_clmulepi64_si128(lane, k, 0x11);
    return _mm_xor_si128(_mm_xor_si128(first, second), next);
}

__attribute__((target("pclmul,sse4.1"))) __m128i constants(const FoldConstants& c)
{
    return _mm_set_epi64x(qint64(c.second), qint64(c.first));
}

__attribute__((target("pclmul,sse4.1"))) __m128i lane(const char* data)
{
    return _mm_loadu_si128(reinterpret_cast<const __m128i*>(data));
}

// Four lanes at a time, then one, leaving the last lane and the bytes past whole lanes to the
// tables. `length` is at least 64.
__attribute__((target("pclmul,sse4.1"))) quint32 byFolding(const char* data, qint64 length,
                                                           quint32 reg)
{
    static constexpr FoldConstants across4 = foldAcross(512), across1 = foldAcross(128);
    const __m128i k4 = constants(across4), k1 = constants(across1);
    __m128i x[4] = {_mm_xor_si128(lane(data), _mm_cvtsi32_si128(int(reg))), lane(data + 16),
                    lane(data + 32), lane(data + 48)};
    data += 64;
    length -= 64;
    for (; length >= 64; data += 64, length -= 64) {
        for (int i = 0; i < 4; ++i)
            x[i] = fold(x[i], k4, lane(data + 16 * i));
    }
    __m128i one = fold(fold(fold(x[0], k1, x[1]), k1, x[2]), k1, x[3]);
    for (; length >= 16; data += 16, length -= 16)
        one = fold(one, k1, lane(data));
    alignas(16) char last[16];
    _mm_store_si128(reinterpret_cast<__m128i*>(last), one);
    return byTables(data, length, byTables(last, 16, 0));
}

bool canFold()
{
    static const bool can = __builtin_cpu_supports("pclmul") && __builtin_cpu_supports("sse4.1");
    return can;
}

#endif

} // namespace

quint32 crc32(const char* data, qint64 length, quint32 crc)
{
#ifdef KEST_CRC_FOLDING
    if (length >= 64 && canFold())
        return ~byFolding(data, length, ~crc);
#endif
    return ~byTables(data, length, ~crc);
}

} // namespace Kest::Ar
