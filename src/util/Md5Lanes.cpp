#include "Md5Lanes.h"

#include <QtEndian>

#include <algorithm>
#include <cstring>

#if defined(__SSE2__) || defined(_M_X64)
#define CORVIN_MD5_SSE2
#include <emmintrin.h>
#endif

namespace {

// floor(|sin(i + 1)| * 2^32)
const quint32 sines[64] = {
        0xd76aa478, 0xe8c7b756, 0x242070db, 0xc1bdceee, 0xf57c0faf, 0x4787c62a, 0xa8304613,
        0xfd469501, 0x698098d8, 0x8b44f7af, 0xffff5bb1, 0x895cd7be, 0x6b901122, 0xfd987193,
        0xa679438e, 0x49b40821, 0xf61e2562, 0xc040b340, 0x265e5a51, 0xe9b6c7aa, 0xd62f105d,
        0x02441453, 0xd8a1e681, 0xe7d3fbc8, 0x21e1cde6, 0xc33707d6, 0xf4d50d87, 0x455a14ed,
        0xa9e3e905, 0xfcefa3f8, 0x676f02d9, 0x8d2a4c8a, 0xfffa3942, 0x8771f681, 0x6d9d6122,
        0xfde5380c, 0xa4beea44, 0x4bdecfa9, 0xf6bb4b60, 0xbebfbc70, 0x289b7ec6, 0xeaa127fa,
        0xd4ef3085, 0x04881d05, 0xd9d4d039, 0xe6db99e5, 0x1fa27cf8, 0xc4ac5665, 0xf4292244,
        0x432aff97, 0xab9423a7, 0xfc93a039, 0x655b59c3, 0x8f0ccc92, 0xffeff47d, 0x85845dd1,
        0x6fa87e4f, 0xfe2ce6e0, 0xa3014314, 0x4e0811a1, 0xf7537e82, 0xbd3af235, 0x2ad7d2bb,
        0xeb86d391,
};

const quint32 initial[4] = {0x67452301, 0xefcdab89, 0x98badcfe, 0x10325476};

// One 32-bit word per lane, or a single word: the rounds below are written once for both.
struct ScalarWords
{
    using V = quint32;
    static V add(V a, V b) { return a + b; }
    static V band(V a, V b) { return a & b; }
    static V bor(V a, V b) { return a | b; }
    static V bxor(V a, V b) { return a ^ b; }
    static V bnot(V a) { return ~a; }
    static V constant(quint32 c) { return c; }
    template<int s>
    static V rotl(V a)
    {
        return (a << s) | (a >> (32 - s));
    }
};

#ifdef CORVIN_MD5_SSE2
struct VectorWords
{
    using V = __m128i;
    static V add(V a, V b) { return _mm_add_epi32(a, b); }
    static V band(V a, V b) { return _mm_and_si128(a, b); }
    static V bor(V a, V b) { return _mm_or_si128(a, b); }
    static V bxor(V a, V b) { return _mm_xor_si128(a, b); }
    static V bnot(V a) { return _mm_xor_si128(a, _mm_set1_epi32(-1)); }
    static V constant(quint32 c) { return _mm_set1_epi32(int(c)); }
    template<int s>
    static V rotl(V a)
    {
        return _mm_or_si128(_mm_slli_epi32(a, s), _mm_srli_epi32(a, 32 - s));
    }
};

// Two vectors of four lanes, their steps interleaved: one vector's chain of additions waits on
// its latency, where two keep the processor's units busier (half as fast again as one).
struct VectorPair
{
    __m128i low;
    __m128i high;
};

struct VectorPairWords
{
    using V = VectorPair;
    using W = VectorWords;
    static V add(V a, V b) { return {W::add(a.low, b.low), W::add(a.high, b.high)}; }
    static V band(V a, V b) { return {W::band(a.low, b.low), W::band(a.high, b.high)}; }
    static V bor(V a, V b) { return {W::bor(a.low, b.low), W::bor(a.high, b.high)}; }
    static V bxor(V a, V b) { return {W::bxor(a.low, b.low), W::bxor(a.high, b.high)}; }
    static V bnot(V a) { return {W::bnot(a.low), W::bnot(a.high)}; }
    static V constant(quint32 c) { return {W::constant(c), W::constant(c)}; }
    template<int s>
    static V rotl(V a)
    {
        return {W::rotl<s>(a.low), W::rotl<s>(a.high)};
    }
};
#endif

template<typename O, int s, typename Fn>
inline void step(typename O::V &a, typename O::V b, typename O::V c, typename O::V d,
                 typename O::V x, quint32 t, Fn f)
{
    a = O::add(a, O::add(f(b, c, d), O::add(x, O::constant(t))));
    a = O::add(O::template rotl<s>(a), b);
}

// One 64-byte block into the state.
template<typename O>
inline void rounds(typename O::V state[4], const typename O::V x[16])
{
    using V = typename O::V;
    V a = state[0], b = state[1], c = state[2], d = state[3];
    const auto f = [](V u, V v, V w) {
        return O::bxor(w, O::band(u, O::bxor(v, w)));
    };
    const auto g = [](V u, V v, V w) {
        return O::bxor(v, O::band(w, O::bxor(u, v)));
    };
    const auto h = [](V u, V v, V w) {
        return O::bxor(u, O::bxor(v, w));
    };
    const auto i = [](V u, V v, V w) {
        return O::bxor(v, O::bor(u, O::bnot(w)));
    };
#define CORVIN_MD5_QUAD(fn, k0, k1, k2, k3, s0, s1, s2, s3, n) \
    step<O, s0>(a, b, c, d, x[k0], sines[n], fn); \
    step<O, s1>(d, a, b, c, x[k1], sines[n + 1], fn); \
    step<O, s2>(c, d, a, b, x[k2], sines[n + 2], fn); \
    step<O, s3>(b, c, d, a, x[k3], sines[n + 3], fn)
    CORVIN_MD5_QUAD(f, 0, 1, 2, 3, 7, 12, 17, 22, 0);
    CORVIN_MD5_QUAD(f, 4, 5, 6, 7, 7, 12, 17, 22, 4);
    CORVIN_MD5_QUAD(f, 8, 9, 10, 11, 7, 12, 17, 22, 8);
    CORVIN_MD5_QUAD(f, 12, 13, 14, 15, 7, 12, 17, 22, 12);
    CORVIN_MD5_QUAD(g, 1, 6, 11, 0, 5, 9, 14, 20, 16);
    CORVIN_MD5_QUAD(g, 5, 10, 15, 4, 5, 9, 14, 20, 20);
    CORVIN_MD5_QUAD(g, 9, 14, 3, 8, 5, 9, 14, 20, 24);
    CORVIN_MD5_QUAD(g, 13, 2, 7, 12, 5, 9, 14, 20, 28);
    CORVIN_MD5_QUAD(h, 5, 8, 11, 14, 4, 11, 16, 23, 32);
    CORVIN_MD5_QUAD(h, 1, 4, 7, 10, 4, 11, 16, 23, 36);
    CORVIN_MD5_QUAD(h, 13, 0, 3, 6, 4, 11, 16, 23, 40);
    CORVIN_MD5_QUAD(h, 9, 12, 15, 2, 4, 11, 16, 23, 44);
    CORVIN_MD5_QUAD(i, 0, 7, 14, 5, 6, 10, 15, 21, 48);
    CORVIN_MD5_QUAD(i, 12, 3, 10, 1, 6, 10, 15, 21, 52);
    CORVIN_MD5_QUAD(i, 8, 15, 6, 13, 6, 10, 15, 21, 56);
    CORVIN_MD5_QUAD(i, 4, 11, 2, 9, 6, 10, 15, 21, 60);
#undef CORVIN_MD5_QUAD
    state[0] = O::add(state[0], a);
    state[1] = O::add(state[1], b);
    state[2] = O::add(state[2], c);
    state[3] = O::add(state[3], d);
}

// A message as its sequence of blocks: the whole blocks of the data, then one or two blocks of
// its last bytes, the 0x80 marker, zeros and the length in bits.
class Blocks
{
public:
    // `total`: the whole message's length, when this is only its end.
    explicit Blocks(const Md5Lanes::Message &message, qint64 total = -1) : data(message.data)
    {
        whole = message.size / 64;
        const int rest = int(message.size % 64);
        std::memset(tail, 0, sizeof tail);
        if (rest > 0)
            std::memcpy(tail, data + whole * 64, size_t(rest));
        tail[rest] = char(0x80);
        const int lengthAt = rest < 56 ? 56 : 120;
        qToLittleEndian<quint64>(quint64(total < 0 ? message.size : total) * 8, tail + lengthAt);
        count = whole + (rest < 56 ? 1 : 2);
    }

    qint64 size() const { return count; }
    const char *block(qint64 n) const
    {
        return n < whole ? data + n * 64 : tail + (n - whole) * 64;
    }

private:
    const char *data;
    qint64 whole = 0;
    qint64 count = 0;
    char tail[128];
};

void digestOf(const quint32 state[4], unsigned char *digest)
{
    for (int w = 0; w < 4; ++w)
        qToLittleEndian<quint32>(state[w], digest + 4 * w);
}

void addOne(quint32 state[4], const char *block)
{
    quint32 x[16];
    for (int k = 0; k < 16; ++k)
        x[k] = qFromLittleEndian<quint32>(block + 4 * k);
    rounds<ScalarWords>(state, x);
}

// The blocks of a message's end into a state that holds its beginning, then the digest.
void finishOne(quint32 state[4], const Blocks &blocks, unsigned char *digest)
{
    for (qint64 n = 0; n < blocks.size(); ++n)
        addOne(state, blocks.block(n));
    digestOf(state, digest);
}

void hashOne(const Md5Lanes::Message &message, unsigned char *digest)
{
    quint32 state[4] = {initial[0], initial[1], initial[2], initial[3]};
    finishOne(state, Blocks(message), digest);
}

#ifdef CORVIN_MD5_SSE2
// Word k of every lane's block into x[k], lane l in element l.
inline void loadBlocks(const char *const *block, __m128i x[16])
{
    for (int q = 0; q < 4; ++q) {
        const __m128i r0 = _mm_loadu_si128(reinterpret_cast<const __m128i *>(block[0] + 16 * q));
        const __m128i r1 = _mm_loadu_si128(reinterpret_cast<const __m128i *>(block[1] + 16 * q));
        const __m128i r2 = _mm_loadu_si128(reinterpret_cast<const __m128i *>(block[2] + 16 * q));
        const __m128i r3 = _mm_loadu_si128(reinterpret_cast<const __m128i *>(block[3] + 16 * q));
        const __m128i low01 = _mm_unpacklo_epi32(r0, r1);
        const __m128i low23 = _mm_unpacklo_epi32(r2, r3);
        const __m128i high01 = _mm_unpackhi_epi32(r0, r1);
        const __m128i high23 = _mm_unpackhi_epi32(r2, r3);
        x[4 * q] = _mm_unpacklo_epi64(low01, low23);
        x[4 * q + 1] = _mm_unpackhi_epi64(low01, low23);
        x[4 * q + 2] = _mm_unpacklo_epi64(high01, high23);
        x[4 * q + 3] = _mm_unpackhi_epi64(high01, high23);
    }
}

// Lane l of every vector is message l; a lane whose message has ended hashes zeros, and its
// state was taken when its last block was done.
void hashLanes(const Md5Lanes::Message *messages, int count, unsigned char (*digests)[16])
{
    static const char zeros[64] = {};
    Blocks blocks[Md5Lanes::width]
            = {Blocks(messages[0]), Blocks(messages[qMin(1, count - 1)]),
               Blocks(messages[qMin(2, count - 1)]), Blocks(messages[qMin(3, count - 1)])};
    qint64 longest = 0;
    for (int l = 0; l < count; ++l)
        longest = std::max(longest, blocks[l].size());
    __m128i state[4];
    for (int w = 0; w < 4; ++w)
        state[w] = _mm_set1_epi32(int(initial[w]));
    __m128i x[16];
    for (qint64 n = 0; n < longest; ++n) {
        const char *block[Md5Lanes::width];
        for (int l = 0; l < Md5Lanes::width; ++l)
            block[l] = n < blocks[l].size() ? blocks[l].block(n) : zeros;
        loadBlocks(block, x);
        rounds<VectorWords>(state, x);
        for (int l = 0; l < count; ++l) {
            if (blocks[l].size() != n + 1)
                continue;
            alignas(16) quint32 words[4][Md5Lanes::width];
            for (int w = 0; w < 4; ++w)
                _mm_store_si128(reinterpret_cast<__m128i *>(words[w]), state[w]);
            const quint32 laneState[4] = {words[0][l], words[1][l], words[2][l], words[3][l]};
            digestOf(laneState, digests[l]);
        }
    }
}
#endif

} // namespace

bool Md5Lanes::vectorized()
{
#ifdef CORVIN_MD5_SSE2
    return true;
#else
    return false;
#endif
}

void Md5Lanes::hash(const Message *messages, int count, unsigned char (*digests)[16])
{
    count = qBound(0, count, width);
    if (count == 0)
        return;
#ifdef CORVIN_MD5_SSE2
    if (count > 1) {
        hashLanes(messages, count, digests);
        return;
    }
#endif
    for (int l = 0; l < count; ++l)
        hashOne(messages[l], digests[l]);
}

Md5Lanes::Stream::Stream()
{
    for (int l = 0; l < width; ++l)
        restart(l);
}

void Md5Lanes::Stream::restart(int lane)
{
    for (int w = 0; w < 4; ++w)
        words[w][lane] = initial[w];
}

void Md5Lanes::Stream::add(const char *const (&data)[width], qint64 blocks)
{
#ifdef CORVIN_MD5_SSE2
    static_assert(width == 2 * Md5Lanes::width, "a stream is two vectors of lanes");
    VectorPair state[4];
    for (int w = 0; w < 4; ++w) {
        state[w].low = _mm_loadu_si128(reinterpret_cast<const __m128i *>(words[w]));
        state[w].high = _mm_loadu_si128(reinterpret_cast<const __m128i *>(words[w] + 4));
    }
    __m128i low[16];
    __m128i high[16];
    VectorPair x[16];
    for (qint64 n = 0; n < blocks; ++n) {
        const char *block[width];
        for (int l = 0; l < width; ++l)
            block[l] = data[l] + n * 64;
        loadBlocks(block, low);
        loadBlocks(block + Md5Lanes::width, high);
        for (int k = 0; k < 16; ++k)
            x[k] = {low[k], high[k]};
        rounds<VectorPairWords>(state, x);
    }
    for (int w = 0; w < 4; ++w) {
        _mm_storeu_si128(reinterpret_cast<__m128i *>(words[w]), state[w].low);
        _mm_storeu_si128(reinterpret_cast<__m128i *>(words[w] + 4), state[w].high);
    }
#else
    for (int l = 0; l < width; ++l) {
        quint32 state[4] = {words[0][l], words[1][l], words[2][l], words[3][l]};
        for (qint64 n = 0; n < blocks; ++n)
            addOne(state, data[l] + n * 64);
        for (int w = 0; w < 4; ++w)
            words[w][l] = state[w];
    }
#endif
}

void Md5Lanes::Stream::finish(int lane, const char *rest, qint64 size, qint64 total,
                              unsigned char digest[16]) const
{
    quint32 state[4] = {words[0][lane], words[1][lane], words[2][lane], words[3][lane]};
    finishOne(state, Blocks({rest, size}, total), digest);
}
