// What each platform's implementation gives the part of the seam that is the same on every
// platform (os_inject.cpp). Not for use outside platform/.
#pragma once

#include <cstddef>

#include "platform/os.h"

// Writes all n bytes or fails, without the injection point of the calls built on it.
int os_write_raw(const os_file &f, const void *buf, size_t n);
