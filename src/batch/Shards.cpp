// SPDX-License-Identifier: GPL-3.0-or-later
#include "batch/Shards.h"

#include "base/StrUtils.h"

bool ParseShard(const std::string& text, TShard& shard) {
    const size_t slash = text.find('/');
    if (slash == std::string::npos) return false;
    const std::string k = text.substr(0, slash), n = text.substr(slash + 1);
    auto digits = [](const std::string& s) {
        return !s.empty() && s.find_first_not_of("0123456789") == std::string::npos;
    };
    int32_t index = 0, count = 0;
    if (!digits(k) || !digits(n) || !TryStrToInt(k, index) || !TryStrToInt(n, count)) return false;
    if (count < 1 || index < 1 || index > count) return false;
    shard.Index = index;
    shard.Count = count;
    return true;
}

uint64_t StableHash(const std::string& bytes) {
    uint64_t h = 0xcbf29ce484222325ull;
    for (char c : bytes) {
        h ^= static_cast<unsigned char>(c);
        h *= 0x100000001b3ull;
    }
    return h;
}

bool InShard(const std::string& relativePath, const TShard& shard) {
    if (!shard.Active()) return true;
    return StableHash(relativePath) % static_cast<uint64_t>(shard.Count) ==
           static_cast<uint64_t>(shard.Index - 1);
}
