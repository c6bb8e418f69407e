// SPDX-License-Identifier: GPL-3.0-or-later
#include "base/FreedMemory.h"

#if defined(__GLIBC__)
#include <malloc.h>
#endif

namespace FreedMemory {

void KeepForReuse() {
#if defined(__GLIBC__)
    // Setting either one stops glibc from sliding the mapping threshold, so both are set.
    mallopt(M_MMAP_THRESHOLD, static_cast<int>(kKeepLimit));
    mallopt(M_TRIM_THRESHOLD, static_cast<int>(kKeepLimit));
#endif
}

void GiveBack() {
#if defined(__GLIBC__)
    malloc_trim(0);
#endif
}

} // namespace FreedMemory
