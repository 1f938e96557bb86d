#include "sessions/SessionLimits.h"

#include <algorithm>
#include <cstdio>
#include <random>

#include "common/Logger.h"
#include "sessions/PowerUtils.h"

namespace qz {

namespace {

constexpr const char* Title = "Tallisto Client";
constexpr uint32_t Minute = 60000;

std::string NewGuidText() {
    std::random_device rd;
    uint8_t b[16];
    for (auto& x : b) x = static_cast<uint8_t>(rd());
    b[6] = static_cast<uint8_t>((b[6] & 0x0F) | 0x40);
    b[8] = static_cast<uint8_t>((b[8] & 0x3F) | 0x80);
    char text[39];
    std::snprintf(text, sizeof text, "{%02X%02X%02X%02X-%02X%02X-%02X%02X-%02X%02X-%02X%02X%02X%02X%02X%02X}", b[0],
                  b[1], b[2], b[3], b[4], b[5], b[6], b[7], b[8], b[9], b[10], b[11], b[12], b[13], b[14], b[15]);
    return text;
}

}  // namespace

TSessionLimitThread::TSessionLimitThread(int32_t SessionLimit, int32_t AlertInterval, bool HideTimer,
                                         std::string Hostname, TSessionLimitDeps deps)
    : FSessionLimit(SessionLimit),
      FAlertInterval(AlertInterval),
      FHideTimer(HideTimer),
      FHostname(std::move(Hostname)),
      FEventName(NewGuidText()),
      FDeps(std::move(deps)) {}

TSessionLimitThread::~TSessionLimitThread() {
    Terminate();
    WaitFor();
    TLogger::Fine("Session limit thread " + FEventName + " destroyed");
}

void TSessionLimitThread::Start() {
    FThread = std::thread([this] {
        try {
            Execute();
        } catch (const std::exception& e) {
            TLogger::Warning(std::string("Session limit thread exception - ") + e.what());
        }
    });
}

void TSessionLimitThread::WaitFor() {
    if (FThread.joinable() && FThread.get_id() != std::this_thread::get_id()) FThread.join();
}

void TSessionLimitThread::Terminate() {
    FTerminated = true;
    ThreadTerminate();
}

void TSessionLimitThread::ThreadTerminate() {
    TLogger::Fine("Try to terminate session limit thread " + FEventName);
    FEvent.Set();  // stays set: a cancel that comes between two waits isn't lost
}

void TSessionLimitThread::Wait(uint32_t ms) {
    if (FDeps.Wait)
        FDeps.Wait(FEvent, ms);
    else
        FEvent.WaitFor(ms);
}

void TSessionLimitThread::Warn(int32_t minutes, uint32_t target) {
    char text[160];
    std::snprintf(text, sizeof text, Warning, minutes);
    if (FDeps.ShowMessage) FDeps.ShowMessage(text, Title, FHostname, static_cast<int32_t>(target));
}

void TSessionLimitThread::Notify(uint32_t seconds, uint32_t delay, uint32_t target) {
    if (FDeps.StartNotifier)
        FDeps.StartNotifier(seconds, delay, target);
    else
        TApplicationUtils::StartSLNotifier(seconds, delay, target);
}

void TSessionLimitThread::Execute() {
    TLogger::Fine("Session limit thread start working");
    // Thirty days at most: the waits are counted in 32-bit milliseconds.
    constexpr int32_t MaxMinutes = 30 * 24 * 60;
    const int32_t L = std::min(FSessionLimit, MaxMinutes), A = std::min(FAlertInterval, MaxMinutes);
    if (L > 0) {
        const uint32_t target = FDeps.ResolveTarget ? FDeps.ResolveTarget(FHostname) : TPowerUtils::GetActiveSessionId();
        if (!FHideTimer) Notify(static_cast<uint32_t>(L) * 60, 5, target);
        uint32_t W = static_cast<uint32_t>(L) * Minute;
        if (A > 0) {
            if (A > L) {
                W = static_cast<uint32_t>(L - 1) * Minute;
            } else {
                Wait(static_cast<uint32_t>(L - A) * Minute);
                if (!Cancelled()) {
                    Notify(static_cast<uint32_t>(A) * 60, 0, target);
                    Warn(A, target);
                }
                W = A > 1 ? static_cast<uint32_t>(A - 1) * Minute : Minute;
            }
        }
        if (A > 1 && !Cancelled()) {
            Wait(W);
            if (!Cancelled()) {
                Notify(60, 0, target);
                Warn(1, target);
            }
            W = Minute;
        }
        if (!Cancelled()) Wait(W);
        if (!Cancelled()) {
            TLogger::Fine("Session limit thread initiate logout for session with id " +
                          std::to_string(static_cast<int32_t>(target)));
            // Without a session the system would take the agent's own: nothing to log off.
            if (target == TPowerUtils::NoSession)
                TLogger::Fine("Session limit thread: no session to log off");
            else if (FDeps.LogOff)
                FDeps.LogOff(target);
            else
                TPowerUtils::LogOffComputer(target);
        }
    }
    TLogger::Fine("Session limit thread end working");
}

TSessionLimitManager::~TSessionLimitManager() { StopSessionLimitThread(); }

void TSessionLimitManager::StartSessionLimitThread(int32_t ASessionLimit, int32_t AnAlertInterval, bool AHideTimer,
                                                   const std::string& Hostname) {
    std::lock_guard<std::mutex> g(FLock);
    _sessionLimitThread.reset();  // cancels and waits for the one running
    _sessionLimitThread =
        std::make_unique<TSessionLimitThread>(ASessionLimit, AnAlertInterval, AHideTimer, Hostname, FDeps);
    _sessionLimitThread->Start();
}

void TSessionLimitManager::StopSessionLimitThread() {
    std::unique_ptr<TSessionLimitThread> old;
    {
        std::lock_guard<std::mutex> g(FLock);
        old = std::move(_sessionLimitThread);
    }
    try {
        old.reset();
    } catch (const std::exception& e) {
        TLogger::Fine(std::string("Stop session limit thread exception - ") + e.what());
    }
}

bool TSessionLimitManager::Running() const {
    std::lock_guard<std::mutex> g(FLock);
    return _sessionLimitThread != nullptr;
}

}  // namespace qz
