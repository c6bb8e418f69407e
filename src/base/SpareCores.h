// SPDX-License-Identifier: GPL-3.0-or-later
// Cores a parallel batch leaves idle: its workers that wait for a file while
// others still convert. A conversion of a large picture borrows them for its
// row-parallel stages, so the last big file of a batch does not run on one
// core; a batch of one worker never has any to lend.
#pragma once

#include <functional>

namespace SpareCores {

// A worker starts or stops waiting for work.
void Offer();
void Withdraw();
// Borrows up to `wanted` idle cores (possibly none) and returns how many.
int Borrow(int wanted);
void Return(int count);
// How many are idle now (for tests).
int Available();

// Idle cores borrowed for the life of the object (none when wanted <= 0).
struct TBorrowed {
    const int Count;
    explicit TBorrowed(int wanted) : Count(wanted > 0 ? Borrow(wanted) : 0) {}
    ~TBorrowed() { Return(Count); }
    TBorrowed(const TBorrowed&) = delete;
    TBorrowed& operator=(const TBorrowed&) = delete;
};

// Runs body(first, last) over [0, count) in `parts` contiguous ranges: one on
// the calling thread, the others on their own threads. Ranges depend only on
// count and parts. The first exception of any part is rethrown after all end.
void RunRanges(int count, int parts, const std::function<void(int first, int last)>& body);

} // namespace SpareCores
