// SPDX-License-Identifier: GPL-3.0-or-later
// Runs the files of a batch on worker threads while the window thread keeps
// the statuses. The window thread decides what starts (so it can show "In
// progress" first) and collects what finished; the workers only convert.
//
// Files that touch the same path keep their row order: a file never starts
// while an earlier one that writes its destination or its source, or reads
// its destination, is unfinished. The sequential run's results (a later row
// overwriting an earlier one, a row reading what an earlier row wrote) are
// therefore the same.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <exception>
#include <functional>
#include <mutex>
#include <queue>
#include <string>
#include <thread>
#include <vector>

// Converts one file; a failure is an exception. One object per worker thread,
// so it may keep state of its own (a source holder) without locks.
using TWorkerConversion = std::function<void(const std::string& source, const std::string& dest)>;

struct TBatchTask {
    std::string Source;
    std::string Dest;
};

struct TJobOutcome {
    size_t Job = 0;
    bool Ok = false;
    // The destination appeared while overwriting was off: not written, not failed.
    bool Skipped = false;
    int64_t Milliseconds = 0;
    std::string Error;          // e.what() of a failure derived from std::exception
    std::exception_ptr Foreign; // anything else; the caller rethrows it
};

// Converts one file, timed, with its failure caught as the outcome: a
// destination that appeared is a skip, a standard error a failure, anything
// else kept in Foreign for the caller to rethrow. Job is left 0.
TJobOutcome ConvertOneFile(const TWorkerConversion& convert, const std::string& source,
                           const std::string& dest);

class TParallelBatch {
public:
    // One worker thread per conversion; at most that many files are in flight.
    TParallelBatch(std::vector<TBatchTask> jobs, std::vector<TWorkerConversion> conversions);
    // Lets the files in flight finish; nothing new starts.
    ~TParallelBatch();
    TParallelBatch(const TParallelBatch&) = delete;
    TParallelBatch& operator=(const TParallelBatch&) = delete;

    // Hands every file that may start now to the workers, lowest row first,
    // and returns their indexes. Nothing starts once Stop was called.
    std::vector<size_t> StartReady();
    // The outcomes that arrived, waiting up to `timeout` for the first one.
    std::vector<TJobOutcome> TakeOutcomes(std::chrono::milliseconds timeout);
    void Stop() { FStopped = true; }
    // True when nothing is in flight and nothing more will start.
    bool Done() const;
    size_t InFlight() const { return FInFlight; }

    // The earlier jobs each job waits for (exposed for tests).
    const std::vector<std::vector<size_t>>& Dependencies() const { return FDependencies; }

private:
    void WorkerLoop(size_t worker);

    std::vector<TBatchTask> FJobs;
    std::vector<TWorkerConversion> FConversions;
    std::vector<std::vector<size_t>> FDependencies;
    // Window-thread state: how many earlier jobs each job still waits for,
    // who waits for each job, and the jobs free to start (lowest first).
    std::vector<size_t> FWaitingFor;
    std::vector<std::vector<size_t>> FDependents;
    std::priority_queue<size_t, std::vector<size_t>, std::greater<size_t>> FReady;
    size_t FStartedCount = 0;
    size_t FInFlight = 0;
    bool FStopped = false;

    // Shared with the workers, under FLock.
    std::mutex FLock;
    std::condition_variable FWorkAvailable;
    std::condition_variable FOutcomeAvailable;
    std::deque<size_t> FQueue;
    std::vector<TJobOutcome> FOutcomes;
    bool FQuit = false;
    std::vector<std::thread> FThreads;
};
