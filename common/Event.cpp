#include "common/Event.h"

namespace qz {

void TEvent::Set() {
    std::lock_guard<std::mutex> lock(m_);
    signaled_ = true;
    cv_.notify_one();
}

void TEvent::Pulse() {
    std::lock_guard<std::mutex> lock(m_);
    if (waiters_ > pulses_) {
        ++pulses_;
        cv_.notify_all();
    }
}

void TEvent::Reset() {
    std::lock_guard<std::mutex> lock(m_);
    signaled_ = false;
}

bool TEvent::WaitFor(uint32_t timeoutMs) {
    std::unique_lock<std::mutex> lock(m_);
    if (signaled_) {
        signaled_ = false;
        return true;
    }
    ++waiters_;
    auto released = [this] { return signaled_ || pulses_ > 0; };
    bool ok;
    if (timeoutMs == Infinite) {
        cv_.wait(lock, released);
        ok = true;
    } else {
        ok = cv_.wait_for(lock, std::chrono::milliseconds(timeoutMs), released);
    }
    --waiters_;
    if (!ok) return false;
    if (pulses_ > 0)
        --pulses_;
    else
        signaled_ = false;
    return true;
}

}  // namespace qz
