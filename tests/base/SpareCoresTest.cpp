// SPDX-License-Identifier: GPL-3.0-or-later
#include "base/SpareCores.h"

#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>
#include <vector>

TEST(SpareCores, LendsOnlyWhatWorkersOfferAndTakesItBack) {
    const int before = SpareCores::Available();
    EXPECT_EQ(SpareCores::Borrow(4), std::min(before, 4));
    SpareCores::Return(std::min(before, 4));
    SpareCores::Offer();
    SpareCores::Offer();
    const int lent = SpareCores::Borrow(before + 5);
    EXPECT_EQ(lent, before + 2);
    EXPECT_EQ(SpareCores::Available(), 0);
    EXPECT_EQ(SpareCores::Borrow(1), 0);
    // A worker that takes a file while its core is lent: never below zero to a borrower.
    SpareCores::Withdraw();
    EXPECT_EQ(SpareCores::Borrow(1), 0);
    SpareCores::Return(lent);
    EXPECT_EQ(SpareCores::Available(), before + 1);
    SpareCores::Withdraw();
    EXPECT_EQ(SpareCores::Available(), before);
    EXPECT_EQ(SpareCores::Borrow(0), 0);
}

TEST(SpareCores, RangesCoverEveryIndexOnceAndPassFailuresOn) {
    for (int count : {0, 1, 7, 100})
        for (int parts : {1, 2, 3, 8, 150}) {
            SCOPED_TRACE(testing::Message() << count << " in " << parts);
            std::vector<std::atomic<int>> hits(static_cast<size_t>(count));
            SpareCores::RunRanges(count, parts, [&](int first, int last) {
                ASSERT_LE(first, last);
                for (int i = first; i < last; ++i)
                    ++hits[static_cast<size_t>(i)];
            });
            for (int i = 0; i < count; ++i)
                EXPECT_EQ(hits[static_cast<size_t>(i)].load(), 1) << i;
        }
    std::atomic<int> done{0};
    EXPECT_THROW(SpareCores::RunRanges(40, 4,
                                       [&](int first, int last) {
                                           if (first == 10) throw std::runtime_error("part 1");
                                           done += last - first;
                                       }),
                 std::runtime_error);
    EXPECT_EQ(done.load(), 30); // the other parts ran to their end
}
