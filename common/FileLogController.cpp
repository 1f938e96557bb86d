#include "common/FileLogController.h"

#include <cmath>

#include "platform/DateTime.h"
#include "common/MainThread.h"
#include "common/Utils.h"
#include "platform/Clock.h"

namespace qz {

TFileLogControllerThread::TFileLogControllerThread(TFileLoggerHandler* logger, bool startThread) : _logger(logger) {
    if (startThread) _thread = std::thread([this] { Execute(); });
}

TFileLogControllerThread::~TFileLogControllerThread() { Join(); }

void TFileLogControllerThread::Join() {
    Terminate();
    if (_thread.joinable() && _thread.get_id() != std::this_thread::get_id()) _thread.join();
}

void TFileLogControllerThread::Terminate() {
    *_terminated = true;
    _wake.Set();
}

bool TFileLogControllerThread::WaitFirstLevelRead(uint32_t timeoutMs) {
    std::unique_lock<std::mutex> lock(_firstLock);
    return _firstDone.wait_for(lock, std::chrono::milliseconds(timeoutMs), [this] { return _levelRead; });
}

int32_t TFileLogControllerThread::GetLogLevel() const { return _logger->Active() ? _logger->Level() : -1; }

void TFileLogControllerThread::ApplyLevel(int32_t level) {
    if (level == -1) {
        _logger->SetActive(false);
    } else {
        _logger->SetActive(true);
        _logger->SetLevel(level);
    }
}

uint32_t TFileLogControllerThread::RunPass() {
    _counter = (_counter + 1) % DateCheckEvery;
    if (_counter == 0) {
        std::optional<double> resetAt;
        try {
            if (platform::reg::KeyExists(AgentKey())) resetAt = TUtils::ReadDateTimeRegistryKey("NoLogDate");
        } catch (...) {
        }
        if (!resetAt) {
            TLogger::Fine("There is no date of logging reset");
            return 0;
        }
        // A date that is no number can't be compared: it counts as passed,
        // or a remotely enabled log would never switch itself off.
        if (!std::isfinite(*resetAt) || platform::sys::NowLocal() > *resetAt) {
            TLogger::Fine("It is time to reset logging");
            TUtils::DeleteRegistryValue("NoLogDate");
            _logger->SetActive(false);
            TUtils::WriteIntegerRegistryKey("loglevel", -1);
        }
        return 0;
    }
    int32_t level = -1;
    try {
        level = TUtils::ReadIntegerRegistryKey("loglevel");
    } catch (...) {
        level = -1;
    }
    ApplyLevel(level);
    TLogger::SetMainLevel(level < logInfo ? logInfo : level);
    return PauseMs;
}

uint32_t TFileLogControllerThread::Step() {
    uint32_t pause = PauseMs;
    try {
        pause = RunPass();
    } catch (...) {
        // A log folder that can't be made must not end the checks: try again next pass.
    }
    if (pause) {
        std::lock_guard<std::mutex> lock(_firstLock);
        if (!_levelRead) {
            _levelRead = true;
            _firstDone.notify_all();
        }
    }
    return pause;
}

void TFileLogControllerThread::Execute() {
    while (!*_terminated) {
        const uint32_t pause = Step();
        if (pause && !*_terminated) _wake.WaitFor(pause);
    }
}

void TFileLogControllerThread::RunOnMainLoop() {
    // The job may outlive the controller on the loop: it checks the shared flag first.
    TMainThreadQueue::Instance().Schedule([this, ended = _terminated]() -> uint32_t {
        // A date check asks for no pause: the level pass follows at once, so
        // the first level is in force before anything queued after this runs.
        uint32_t pause = 0;
        while (!pause && !*ended) pause = Step();
        return *ended ? 0 : pause;
    });
}

void TFileLogControllerThread::SetLogLevel(int32_t level) {
    if (level == -1) {
        _logger->SetActive(false);
        TUtils::WriteIntegerRegistryKey("loglevel", -1);
        TUtils::DeleteRegistryValue("NoLogDate");
    } else {
        ApplyLevel(level);
        TUtils::WriteIntegerRegistryKey("loglevel", level);
        TUtils::WriteDateTimeRegistryKey("NoLogDate", IncHours(platform::sys::NowLocal(), 48));
    }
}

}  // namespace qz
