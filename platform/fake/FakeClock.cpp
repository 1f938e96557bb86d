#include <chrono>
#include <ctime>
#include <mutex>
#include <thread>

#include "platform/Clock.h"
#include "platform/DateTime.h"
#include "platform/fake/FakeWorld.h"

namespace platform::sys {

using fake::Locked;

double NowLocal() {
    if (auto fixed = Locked()->now) return *fixed;
    const auto now = std::chrono::system_clock::now();
    const std::time_t t = std::chrono::system_clock::to_time_t(now);
    // localtime shares one buffer; the lock makes it safe on every host.
    static std::mutex lock;
    std::tm tm{};
    {
        std::lock_guard<std::mutex> guard(lock);
        tm = *std::localtime(&t);
    }
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
    qz::DateTimeParts p{tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec,
                        static_cast<int>(ms)};
    return qz::EncodeDateTime(p);
}

uint64_t TickCountMs() {
    {
        Locked w;
        if (w->virtualSleep) return w->virtualTicks;
    }
    return static_cast<uint64_t>(
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
            .count());
}

void SleepMs(uint32_t ms) {
    {
        Locked w;
        if (w->virtualSleep) {
            w->virtualTicks += ms;
            return;
        }
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

}  // namespace platform::sys
