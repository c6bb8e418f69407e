// SPDX-License-Identifier: GPL-3.0-or-later
#include "base/SpareCores.h"

#include <algorithm>
#include <atomic>
#include <exception>
#include <mutex>
#include <thread>
#include <vector>

namespace {
// May fall below zero for a moment: a worker that takes a new file while its
// core is lent out withdraws it all the same, and the borrower gives it back.
std::atomic<int> GIdle{0};
} // namespace

namespace SpareCores {

void Offer() {
    GIdle.fetch_add(1);
}

void Withdraw() {
    GIdle.fetch_sub(1);
}

int Borrow(int wanted) {
    int idle = GIdle.load();
    for (;;) {
        const int take = std::clamp(idle, 0, std::max(wanted, 0));
        if (take == 0) return 0;
        if (GIdle.compare_exchange_weak(idle, idle - take)) return take;
    }
}

void Return(int count) {
    if (count > 0) GIdle.fetch_add(count);
}

int Available() {
    return std::max(GIdle.load(), 0);
}

void RunRanges(int count, int parts, const std::function<void(int first, int last)>& body) {
    parts = std::clamp(parts, 1, std::max(count, 1));
    if (parts == 1) {
        body(0, count);
        return;
    }
    std::exception_ptr failure;
    std::mutex lock;
    auto run = [&](int part) {
        const int first = static_cast<int>(int64_t(count) * part / parts);
        const int last = static_cast<int>(int64_t(count) * (part + 1) / parts);
        try {
            body(first, last);
        } catch (...) {
            std::lock_guard guard(lock);
            if (!failure) failure = std::current_exception();
        }
    };
    std::vector<std::thread> threads;
    threads.reserve(static_cast<size_t>(parts - 1));
    int started = 1;
    try {
        for (; started < parts; ++started)
            threads.emplace_back(run, started);
    } catch (const std::system_error&) {
        // No thread to be had: the calling thread does the rest itself.
    }
    run(0);
    for (int part = started; part < parts; ++part)
        run(part);
    for (std::thread& t : threads)
        t.join();
    if (failure) std::rethrow_exception(failure);
}

} // namespace SpareCores
