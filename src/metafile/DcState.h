// SPDX-License-Identifier: GPL-3.0-or-later
// The device-context state every metafile interpreter tracks: the saved
// levels of SaveDC/RestoreDC and the object table. The mapping (modes,
// window, viewport, world transform) is TMapState in EmfFormat.h. The
// player, the EMF-to-WMF writer, the WMF-to-EMF reader and the recording
// canvas each keep their own kind of state in these containers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <map>
#include <optional>
#include <utility>
#include <vector>

namespace emf {

// The levels saved by SaveDC. RestoreDC names a level either relative to the
// top (negative: -1 is the last one saved) or absolutely (positive: 1 is the
// first one saved); any other value names no level and restores nothing.
template <class TState> class TDcStack {
public:
    // Saves beyond maxDepth are ignored (a file cannot grow the stack without bound).
    explicit TDcStack(size_t maxDepth = std::numeric_limits<size_t>::max()) : MaxDepth(maxDepth) {}

    void Save(const TState& state) {
        if (Levels.size() < MaxDepth) Levels.push_back(state);
    }
    // The index of the level a RestoreDC argument names, if any.
    std::optional<size_t> Target(int64_t level) const {
        if (level < 0 && static_cast<size_t>(-level) <= Levels.size())
            return Levels.size() - static_cast<size_t>(-level);
        if (level > 0 && static_cast<size_t>(level) <= Levels.size())
            return static_cast<size_t>(level - 1);
        return std::nullopt;
    }
    // Removes the level at target and every level above it; returns the one at target.
    TState Pop(size_t target) {
        TState s = std::move(Levels[target]);
        Levels.resize(target);
        return s;
    }
    // RestoreDC in one step: the state saved at the named level, which is
    // unwound; nothing when the argument names no level.
    std::optional<TState> Restore(int64_t level) {
        const std::optional<size_t> t = Target(level);
        if (!t) return std::nullopt;
        return Pop(*t);
    }
    size_t Depth() const { return Levels.size(); }
    bool Empty() const { return Levels.empty(); }

private:
    size_t MaxDepth;
    std::vector<TState> Levels;
};

// Objects by handle (EMF: the handle a create record names; WMF: the slot
// Windows chose). With a capacity, handles from it on are refused, as the
// header's handle count says no such object can exist.
template <class TObject> class TObjectTable {
public:
    explicit TObjectTable(size_t capacity = std::numeric_limits<size_t>::max())
        : Capacity(capacity) {}

    // False when the handle lies outside the table.
    bool Put(uint32_t handle, TObject object) {
        if (handle >= Capacity) return false;
        Items[handle] = std::move(object);
        return true;
    }
    // Whether the table can hold an object under handle.
    bool Holds(uint32_t handle) const { return handle < Capacity; }
    const TObject* Find(uint32_t handle) const {
        auto it = Items.find(handle);
        return it == Items.end() ? nullptr : &it->second;
    }
    TObject* Find(uint32_t handle) {
        auto it = Items.find(handle);
        return it == Items.end() ? nullptr : &it->second;
    }
    void Erase(uint32_t handle) { Items.erase(handle); }
    // WMF: a new object goes into the lowest free slot; -1 when the table is full.
    int PutLowest(TObject object) {
        uint32_t slot = 0;
        for (const auto& item : Items) {
            if (item.first != slot) break;
            ++slot;
        }
        if (slot >= Capacity) return -1;
        Items.emplace(slot, std::move(object));
        return static_cast<int>(slot);
    }
    size_t Size() const { return Items.size(); }

private:
    size_t Capacity;
    std::map<uint32_t, TObject> Items;
};

} // namespace emf
