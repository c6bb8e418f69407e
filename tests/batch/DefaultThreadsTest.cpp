// SPDX-License-Identifier: GPL-3.0-or-later
// A new job converts one file per core: the default in the settings file, in
// the command line that gives the job back, and in the run itself, while a
// stored or given number of conversions keeps its meaning.
#include "TestSupport.h"

#include "batch/BatchJob.h"
#include "batch/BatchRunner.h"
#include "convert/FormatStartup.h"
#include "util/IniFile.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <sched.h>
#include <set>
#include <thread>

namespace {

bool HasArgument(const std::vector<std::string>& args, const std::string& arg) {
    return std::find(args.begin(), args.end(), arg) != args.end();
}

bool HasThreadsArgument(const std::vector<std::string>& args) {
    return std::any_of(args.begin(), args.end(),
                       [](const std::string& a) { return a.starts_with("/THREADS="); });
}

// Hooks whose conversions note the thread they run on and how many run at once.
class TCountingHooks : public TBatchHooks {
public:
    bool AcceptFile(const std::string&) override { return true; }
    std::string GetDestinationExt() override { return ".out"; }
    void ConvertFile(const std::string& source, const std::string& dest) override {
        Convert(source, dest);
    }
    TWorkerConversion CreateWorkerConversion() override {
        return
            [this](const std::string& source, const std::string& dest) { Convert(source, dest); };
    }
    void RunStarted(size_t, bool parallel) override { Parallel = parallel; }

    bool Parallel = false;
    std::set<std::thread::id> Threads;
    int MostAtOnce = 0;

private:
    void Convert(const std::string&, const std::string&) {
        const int now = ++FAtOnce;
        {
            std::lock_guard g(FLock);
            Threads.insert(std::this_thread::get_id());
            MostAtOnce = std::max(MostAtOnce, now);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        --FAtOnce;
    }
    std::mutex FLock;
    std::atomic<int> FAtOnce{0};
};

TBatchSummary RunRows(const TBatchJob& job, TCountingHooks& hooks, const TTempFolder& tmp) {
    std::vector<TBatchRow> rows;
    for (int i = 0; i < 8; ++i) {
        TBatchRow& row = rows.emplace_back();
        row.Source = tmp.File("in" + std::to_string(i));
        row.Dest = tmp.File("out" + std::to_string(i));
    }
    TBatchRunner runner(job, hooks);
    return runner.Run(rows);
}

} // namespace

TEST(DefaultThreads, NewJobStoresNothingAndAStoredOneKeepsItsMeaning) {
    RegisterImageFormats();
    const TBatchJob fresh = NewBatchJob();
    EXPECT_EQ(fresh.Threads, 0);
    EXPECT_EQ(EffectiveThreads(fresh.Threads), MaxThreadCount());
    EXPECT_FALSE(HasThreadsArgument(JobArguments(fresh)));
    TIniFile plain = TIniFile::FromText("");
    SaveBatchJob(plain, fresh);
    EXPECT_FALSE(plain.ValueExists("General", "Threads"));

    // A file without the key is the default; one that says 1 stays one at a time.
    TBatchJob loaded = NewBatchJob();
    LoadBatchJob(TIniFile::FromText("[General]\nSource=/x\n"), loaded);
    EXPECT_EQ(loaded.Threads, 0);
    TBatchJob sequential = NewBatchJob();
    LoadBatchJob(TIniFile::FromText("[General]\nThreads=1\n"), sequential);
    EXPECT_EQ(sequential.Threads, 1);
    EXPECT_EQ(EffectiveThreads(sequential.Threads), 1);
    EXPECT_TRUE(HasArgument(JobArguments(sequential), "/THREADS=1"));

    // One at a time is no longer the default, so it is written out and read back.
    TIniFile saved = TIniFile::FromText("");
    SaveBatchJob(saved, sequential);
    EXPECT_TRUE(saved.ValueExists("General", "Threads"));
    TBatchJob back = NewBatchJob();
    LoadBatchJob(saved, back);
    EXPECT_EQ(back.Threads, 1);
    EXPECT_EQ(JobArguments(back), JobArguments(sequential));

    // A file that names the default keeps its key.
    TIniFile explicitDefault = TIniFile::FromText("[General]\nThreads=0\n");
    SaveBatchJob(explicitDefault, fresh);
    EXPECT_EQ(explicitDefault.ReadInteger("General", "Threads", -1), 0);
}

TEST(DefaultThreads, ANewJobRunsOnEveryCoreAndThreadsOneRunsInOrder) {
    TTempFolder tmp;
    TBatchJob job = NewBatchJob();
    job.DestinationFolder = tmp.Path();
    TCountingHooks all;
    const TBatchSummary summary = RunRows(job, all, tmp);
    EXPECT_EQ(summary.Converted, 8u);
    EXPECT_EQ(summary.Failed, 0u);
    if (MaxThreadCount() > 1) {
        EXPECT_TRUE(all.Parallel);
        EXPECT_GT(all.Threads.size(), 1u);
        EXPECT_LE(all.MostAtOnce, MaxThreadCount());
    }

    job.Threads = 1;
    TCountingHooks one;
    EXPECT_EQ(RunRows(job, one, tmp).Converted, 8u);
    EXPECT_FALSE(one.Parallel);
    EXPECT_EQ(one.Threads, std::set<std::thread::id>{std::this_thread::get_id()});
    EXPECT_EQ(one.MostAtOnce, 1);
}

#ifdef __linux__
TEST(DefaultThreads, OnePerCoreCountsTheCoresTheProcessMayUse) {
    // A batch scheduler or taskset gives the process one core of many: one
    // worker per core of the machine would crowd it (and its memory).
    cpu_set_t before;
    ASSERT_EQ(sched_getaffinity(0, sizeof before, &before), 0);
    int first = 0;
    while (!CPU_ISSET(first, &before))
        ++first;
    cpu_set_t one;
    CPU_ZERO(&one);
    CPU_SET(first, &one);
    ASSERT_EQ(sched_setaffinity(0, sizeof one, &one), 0);
    const int count = MaxThreadCount();
    const int effective = EffectiveThreads(0);
    sched_setaffinity(0, sizeof before, &before);
    EXPECT_EQ(count, 1);
    EXPECT_EQ(effective, 1);
    EXPECT_EQ(MaxThreadCount(), CPU_COUNT(&before));
}
#endif
