// SPDX-License-Identifier: GPL-3.0-or-later
#include "batch/ParallelBatch.h"

#include "base/Exceptions.h"
#include "base/SpareCores.h"

#include <algorithm>
#include <map>

TParallelBatch::TParallelBatch(std::vector<TBatchTask> jobs,
                               std::vector<TWorkerConversion> conversions)
    : FJobs(std::move(jobs)), FConversions(std::move(conversions)) {
    const size_t count = FJobs.size();
    FDependencies.resize(count);
    FDependents.resize(count);
    FWaitingFor.resize(count);
    // Paths are compared as the batch built them: one folder and one name
    // construction give one spelling per file.
    std::map<std::string, size_t> lastWriter;
    std::map<std::string, std::vector<size_t>> readersSinceWrite;
    for (size_t j = 0; j < count; ++j) {
        std::vector<size_t>& deps = FDependencies[j];
        const std::string& src = FJobs[j].Source;
        const std::string& dst = FJobs[j].Dest;
        if (auto it = lastWriter.find(src); it != lastWriter.end()) deps.push_back(it->second);
        if (auto it = lastWriter.find(dst); it != lastWriter.end()) deps.push_back(it->second);
        if (auto it = readersSinceWrite.find(dst); it != readersSinceWrite.end())
            deps.insert(deps.end(), it->second.begin(), it->second.end());
        std::sort(deps.begin(), deps.end());
        deps.erase(std::unique(deps.begin(), deps.end()), deps.end());
        std::erase(deps, j);
        readersSinceWrite[src].push_back(j);
        lastWriter[dst] = j;
        readersSinceWrite[dst].clear();

        FWaitingFor[j] = deps.size();
        for (size_t d : deps)
            FDependents[d].push_back(j);
        if (deps.empty()) FReady.push(j);
    }
    const size_t threads = std::min(FConversions.size(), count);
    FThreads.reserve(threads);
    for (size_t w = 0; w < threads; ++w)
        FThreads.emplace_back([this, w] { WorkerLoop(w); });
}

TParallelBatch::~TParallelBatch() {
    {
        std::lock_guard lock(FLock);
        FQuit = true;
    }
    FWorkAvailable.notify_all();
    for (std::thread& t : FThreads)
        t.join();
}

std::vector<size_t> TParallelBatch::StartReady() {
    std::vector<size_t> started;
    if (FStopped) return started;
    while (FInFlight < FThreads.size() && !FReady.empty()) {
        started.push_back(FReady.top());
        FReady.pop();
        ++FInFlight;
        ++FStartedCount;
    }
    if (!started.empty()) {
        {
            std::lock_guard lock(FLock);
            FQueue.insert(FQueue.end(), started.begin(), started.end());
        }
        FWorkAvailable.notify_all();
    }
    return started;
}

std::vector<TJobOutcome> TParallelBatch::TakeOutcomes(std::chrono::milliseconds timeout) {
    std::vector<TJobOutcome> outcomes;
    {
        std::unique_lock lock(FLock);
        FOutcomeAvailable.wait_for(lock, timeout, [this] { return !FOutcomes.empty(); });
        outcomes.swap(FOutcomes);
    }
    for (const TJobOutcome& o : outcomes) {
        --FInFlight;
        for (size_t dependent : FDependents[o.Job])
            if (--FWaitingFor[dependent] == 0) FReady.push(dependent);
    }
    return outcomes;
}

bool TParallelBatch::Done() const {
    return FInFlight == 0 && (FStopped || FStartedCount == FJobs.size());
}

TJobOutcome ConvertOneFile(const TWorkerConversion& convert, const std::string& source,
                           const std::string& dest) {
    TJobOutcome outcome;
    const auto t0 = std::chrono::steady_clock::now();
    try {
        convert(source, dest);
        outcome.Ok = true;
    } catch (const EDestinationExists& e) {
        outcome.Skipped = true;
        outcome.Error = e.what();
    } catch (const std::exception& e) {
        // Also standard errors such as out-of-memory: one file never ends the run.
        outcome.Error = e.what();
    } catch (...) {
        outcome.Foreign = std::current_exception();
    }
    outcome.Milliseconds =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0)
            .count();
    return outcome;
}

void TParallelBatch::WorkerLoop(size_t worker) {
    const TWorkerConversion& convert = FConversions[worker];
    for (;;) {
        size_t job;
        {
            std::unique_lock lock(FLock);
            // Queued files are in flight already: they are converted even after Quit.
            // A waiting worker's core is lent to the conversions still running.
            SpareCores::Offer();
            FWorkAvailable.wait(lock, [this] { return FQuit || !FQueue.empty(); });
            SpareCores::Withdraw();
            if (FQueue.empty()) return;
            job = FQueue.front();
            FQueue.pop_front();
        }
        TJobOutcome outcome = ConvertOneFile(convert, FJobs[job].Source, FJobs[job].Dest);
        outcome.Job = job;
        {
            std::lock_guard lock(FLock);
            FOutcomes.push_back(std::move(outcome));
        }
        FOutcomeAvailable.notify_one();
    }
}
