#pragma once
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>

namespace qz {

// An auto-reset event with Win32 semantics: Set releases one waiter (or the
// next one to come), Pulse releases one thread that is waiting right now and
// is otherwise lost.
class TEvent {
public:
    static constexpr uint32_t Infinite = 0xFFFFFFFF;

    void Set();
    void Pulse();
    void Reset();
    // true when released by Set or Pulse, false on time-out.
    bool WaitFor(uint32_t timeoutMs);

private:
    std::mutex m_;
    std::condition_variable cv_;
    bool signaled_ = false;
    int waiters_ = 0;
    int pulses_ = 0;  // releases owed to current waiters
};

}  // namespace qz
