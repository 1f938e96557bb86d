#pragma once
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <thread>

namespace qz {

// Threads for occasional jobs that must not outlive their owner. Each job has
// a thread while it runs (an idle thread would cost memory for nothing);
// finished ones are joined when the next job starts; StopAndJoin cuts every
// Sleep short and joins the rest. A job that can wait long waits with Sleep.
class TWorkerSet {
public:
    explicit TWorkerSet(size_t maxWorkers = 8) : FMax(maxWorkers) {}
    ~TWorkerSet() { StopAndJoin(); }
    TWorkerSet(const TWorkerSet&) = delete;
    TWorkerSet& operator=(const TWorkerSet&) = delete;

    // False when stopping, when maxWorkers jobs still run, or when no thread
    // could be had; the job then never runs.
    bool Start(std::function<void()> job);
    // Waits ms unless the set stops first; false once it stops.
    bool Sleep(uint32_t ms);
    bool Stopping() const;
    // Jobs not yet finished.
    size_t Running();
    // Stops the set for good and joins every job.
    void StopAndJoin();

private:
    struct Worker {
        std::thread thread;
        bool done = false;
    };
    // Shared with the jobs, so one that outlives a set stopped from inside a job stays sound.
    struct State {
        std::mutex lock;
        std::condition_variable wake;
        std::list<std::shared_ptr<Worker>> workers;
        bool stop = false;
    };

    const size_t FMax;
    std::shared_ptr<State> FState = std::make_shared<State>();
};

}  // namespace qz
