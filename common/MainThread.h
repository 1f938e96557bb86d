#pragma once
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace qz {

// The process's main-thread loop: other threads hand work to it and may wait
// for it, which is how "run on the main thread" is done here.
class TMainThreadQueue {
public:
    static TMainThreadQueue& Instance();

    // Marks the calling thread as the main thread.
    void BindToCurrentThread();
    bool IsMainThread() const;
    // Runs fn on the main thread and waits; rethrows what fn raised.
    // Runs it directly when called on the main thread or when no loop runs.
    void Synchronize(const std::function<void()>& fn);
    // Queues fn without waiting.
    void Post(std::function<void()> fn);
    // Runs job on the main loop as soon as it is free, then again each time
    // the delay it returns (ms) has passed; a delay of 0 ends it. Due jobs run
    // before queued work.
    void Schedule(std::function<uint32_t()> job);
    // Runs queued work until Quit; onError gets what a task raised (the loop goes on).
    void Run(const std::function<void(const std::exception&)>& onError);
    void Quit();

private:
    struct Task {
        std::function<void()> fn;
        std::exception_ptr error;
        bool done = false;
        bool waited = false;
    };
    struct Timer {
        std::chrono::steady_clock::time_point due;
        std::function<uint32_t()> job;
    };
    mutable std::mutex m_;
    std::vector<Timer> timers_;
    std::condition_variable cv_;
    std::deque<std::shared_ptr<Task>> queue_;
    std::thread::id mainId_;
    bool running_ = false;
    bool quit_ = false;
};

}  // namespace qz
