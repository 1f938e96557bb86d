#include "common/MainThread.h"

namespace qz {

TMainThreadQueue& TMainThreadQueue::Instance() {
    static TMainThreadQueue queue;
    return queue;
}

void TMainThreadQueue::BindToCurrentThread() {
    std::lock_guard<std::mutex> lock(m_);
    mainId_ = std::this_thread::get_id();
}

bool TMainThreadQueue::IsMainThread() const {
    std::lock_guard<std::mutex> lock(m_);
    return mainId_ == std::this_thread::get_id();
}

void TMainThreadQueue::Synchronize(const std::function<void()>& fn) {
    auto task = std::make_shared<Task>();
    {
        std::unique_lock<std::mutex> lock(m_);
        if (!running_ || mainId_ == std::this_thread::get_id()) {
            lock.unlock();
            fn();
            return;
        }
        task->fn = fn;
        task->waited = true;
        queue_.push_back(task);
        cv_.notify_all();
        cv_.wait(lock, [&] { return task->done; });
    }
    if (task->error) std::rethrow_exception(task->error);
}

void TMainThreadQueue::Post(std::function<void()> fn) {
    auto task = std::make_shared<Task>();
    task->fn = std::move(fn);
    std::lock_guard<std::mutex> lock(m_);
    queue_.push_back(task);
    cv_.notify_all();
}

void TMainThreadQueue::Schedule(std::function<uint32_t()> job) {
    std::lock_guard<std::mutex> lock(m_);
    timers_.push_back({std::chrono::steady_clock::now(), std::move(job)});
    cv_.notify_all();
}

void TMainThreadQueue::Run(const std::function<void(const std::exception&)>& onError) {
    using Clock = std::chrono::steady_clock;
    std::unique_lock<std::mutex> lock(m_);
    mainId_ = std::this_thread::get_id();
    running_ = true;
    for (;;) {
        // A due job first.
        auto due = timers_.end();
        for (auto it = timers_.begin(); it != timers_.end(); ++it)
            if (due == timers_.end() || it->due < due->due) due = it;
        if (!quit_ && due != timers_.end() && due->due <= Clock::now()) {
            std::function<uint32_t()> job = std::move(due->job);
            timers_.erase(due);
            lock.unlock();
            uint32_t next = 0;
            try {
                next = job();
            } catch (const std::exception& e) {
                if (onError) onError(e);
            } catch (...) {
            }
            lock.lock();
            if (next) timers_.push_back({Clock::now() + std::chrono::milliseconds(next), std::move(job)});
            continue;
        }
        if (queue_.empty()) {
            if (quit_) break;  // quit with nothing left to do
            const size_t timerCount = timers_.size();
            auto woken = [&] { return quit_ || !queue_.empty() || timers_.size() != timerCount; };
            if (due == timers_.end())
                cv_.wait(lock, woken);
            else
                cv_.wait_until(lock, due->due, woken);
            continue;
        }
        auto task = queue_.front();
        queue_.pop_front();
        lock.unlock();
        try {
            task->fn();
        } catch (const std::exception& e) {
            // A waiting caller gets its own error back; posted work reports it here.
            if (task->waited)
                task->error = std::current_exception();
            else if (onError)
                onError(e);
        } catch (...) {
            if (task->waited) task->error = std::current_exception();
        }
        lock.lock();
        task->done = true;
        cv_.notify_all();
    }
    running_ = false;
    quit_ = false;  // a Quit that came before Run still ended this run
}

void TMainThreadQueue::Quit() {
    std::lock_guard<std::mutex> lock(m_);
    quit_ = true;
    cv_.notify_all();
}

}  // namespace qz
