// The content hash: words of eight bytes, each spread by a multiplication before it is mixed
// into the state, so that the hash keeps pace with the copy that feeds it.
#include "engine/content_hash.h"

namespace {

constexpr uint64_t spread = 0x9e3779b97f4a7c15ULL;
constexpr uint64_t mix = 0xbf58476d1ce4e5b9ULL;

uint64_t rotate(uint64_t x, int k) { return (x << k) | (x >> (64 - k)); }

void take_word(uint64_t &state, uint64_t w) {
    w *= spread;
    w ^= w >> 29;
    state = rotate((state ^ w) * mix, 27);
}

uint64_t word_at(const unsigned char *p) {
    uint64_t w = 0;
    for (int i = 7; i >= 0; --i) w = (w << 8) | p[i];  // little-endian on every host
    return w;
}

}  // namespace

void hash_update(content_hash &h, const void *bytes, size_t n) {
    const unsigned char *p = static_cast<const unsigned char *>(bytes);
    h.length += n;
    size_t have = h.tail_bytes < 8 ? h.tail_bytes : 0;  // always fewer than 8
    if (have > 0) {
        while (have < 8 && n > 0) {
            h.tail[have++] = *p++;
            --n;
        }
        if (have == 8) {
            take_word(h.state, word_at(h.tail));
            have = 0;
        }
    }
    for (; n >= 8; p += 8, n -= 8) take_word(h.state, word_at(p));
    for (size_t i = 0; i < n && have < 8; ++i) h.tail[have++] = p[i];
    h.tail_bytes = have;
}

uint64_t hash_value(const content_hash &h) {
    uint64_t state = h.state;
    unsigned char last[8] = {};
    for (size_t i = 0; i < h.tail_bytes && i < sizeof last; ++i) last[i] = h.tail[i];
    take_word(state, word_at(last) ^ (uint64_t(h.tail_bytes) << 56));
    take_word(state, h.length);
    state ^= state >> 31;
    state *= mix;
    state ^= state >> 29;
    return state;
}
