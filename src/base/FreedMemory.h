// SPDX-License-Identifier: GPL-3.0-or-later
// What the C library does with the large blocks a conversion frees.
//
// Each file of a batch allocates and frees the same big buffers (rasters,
// filtered rows, compressed output, colour tables). By default every block
// above 128 KiB is a fresh mapping from the system, so each file pays the
// page faults (and the kernel's zeroing) of its whole working set again:
// about a third of the CPU time of PNG to JPEG. Kept in the heap, the next
// file reuses pages already mapped.
#pragma once

#include <cstddef>

namespace FreedMemory {

// Blocks up to this size come from the heap, and freed memory stays with the
// process up to this much at the heap's top. Larger blocks (a 100-megapixel
// raster) are still mapped and returned one by one, so the peak memory of a
// huge picture does not grow by what the heap keeps.
constexpr size_t kKeepLimit = size_t(256) << 20;

// Called once at startup, before any thread starts. Does nothing where the
// C library has no such settings.
void KeepForReuse();
// Gives the free pages the heap keeps back to the system: at the end of a
// batch, so an idle window does not hold the last batch's peak.
void GiveBack();

} // namespace FreedMemory
