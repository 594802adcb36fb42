// A 64-bit hash of a file's content, fed in pieces of any size: what a rewrite wrote is known
// again later (the undo gives a file back only while it still holds exactly that). Not a
// cryptographic hash: it tells the program's own output from any edit, with the size beside it.
#pragma once

#include <cstddef>
#include <cstdint>

struct content_hash {
    uint64_t state = 0x6a09e667f3bcc909ULL;
    uint64_t length = 0;
    unsigned char tail[8] = {};  // bytes of a word not yet complete
    size_t tail_bytes = 0;
};

void hash_update(content_hash &h, const void *bytes, size_t n);
// The hash of everything fed so far (the state is left as it is).
uint64_t hash_value(const content_hash &h);
