// SPDX-License-Identifier: GPL-3.0-or-later
// Splitting one job over many machines: shard k of n converts the rows whose
// path below the source folder hashes to k. The hash is stable (FNV-1a of the
// path's bytes), so adding files never moves another file to another shard.
#pragma once

#include <cstdint>
#include <string>

struct TShard {
    int Index = 0; // 1..Count
    int Count = 0; // 0: no sharding
    bool Active() const { return Count > 0; }
};

// "k/n" with 1 <= k <= n; false for anything else.
bool ParseShard(const std::string& text, TShard& shard);

uint64_t StableHash(const std::string& bytes);

// Whether the file at relativePath (below the source folder) is shard's to convert.
bool InShard(const std::string& relativePath, const TShard& shard);
