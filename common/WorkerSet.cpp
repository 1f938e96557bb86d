#include "common/WorkerSet.h"

#include <chrono>
#include <system_error>

namespace qz {

bool TWorkerSet::Start(std::function<void()> job) {
    std::list<std::shared_ptr<Worker>> finished;
    bool started = false;
    {
        std::lock_guard<std::mutex> hold(FState->lock);
        auto& workers = FState->workers;
        for (auto it = workers.begin(); it != workers.end();) {
            auto next = std::next(it);
            if ((*it)->done) finished.splice(finished.end(), workers, it);
            it = next;
        }
        if (!FState->stop && workers.size() < FMax) {
            auto w = std::make_shared<Worker>();
            try {
                w->thread = std::thread([state = FState, w, job = std::move(job)] {
                    try {
                        job();
                    } catch (...) {
                        // The job's own business; the set only has to know it ended.
                    }
                    std::lock_guard<std::mutex> l(state->lock);
                    w->done = true;
                });
                workers.push_back(std::move(w));
                started = true;
            } catch (const std::system_error&) {
            }
        }
    }
    for (auto& w : finished) w->thread.join();
    return started;
}

bool TWorkerSet::Sleep(uint32_t ms) {
    std::unique_lock<std::mutex> hold(FState->lock);
    FState->wake.wait_for(hold, std::chrono::milliseconds(ms), [this] { return FState->stop; });
    return !FState->stop;
}

bool TWorkerSet::Stopping() const {
    std::lock_guard<std::mutex> hold(FState->lock);
    return FState->stop;
}

size_t TWorkerSet::Running() {
    std::lock_guard<std::mutex> hold(FState->lock);
    size_t n = 0;
    for (const auto& w : FState->workers) n += !w->done;
    return n;
}

void TWorkerSet::StopAndJoin() {
    std::list<std::shared_ptr<Worker>> all;
    {
        std::lock_guard<std::mutex> hold(FState->lock);
        FState->stop = true;
        FState->wake.notify_all();
        all.swap(FState->workers);
    }
    for (auto& w : all) {
        if (!w->thread.joinable()) continue;
        if (w->thread.get_id() == std::this_thread::get_id())
            w->thread.detach();  // a job stopping its own set: it ends on its own, holding what it uses
        else
            w->thread.join();
    }
}

}  // namespace qz
