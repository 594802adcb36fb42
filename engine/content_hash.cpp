// The content hash: words of eight bytes, each spread by a multiplication before it is mixed
// into the state, so that the hash keeps pace with the copy that feeds it.
#include "engine/content_hash.h"

#include <string.h>

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
    while (h.tail_bytes > 0 && n > 0) {
        h.tail[h.tail_bytes++] = *p++;
        --n;
        if (h.tail_bytes == 8) {
            take_word(h.state, word_at(h.tail));
            h.tail_bytes = 0;
        }
    }
    for (; n >= 8; p += 8, n -= 8) take_word(h.state, word_at(p));
    memcpy(h.tail + h.tail_bytes, p, n);
    h.tail_bytes += n;
}

uint64_t hash_value(const content_hash &h) {
    uint64_t state = h.state;
    unsigned char last[8] = {};
    memcpy(last, h.tail, h.tail_bytes);
    take_word(state, word_at(last) ^ (uint64_t(h.tail_bytes) << 56));
    take_word(state, h.length);
    state ^= state >> 31;
    state *= mix;
    state ^= state >> 29;
    return state;
}
