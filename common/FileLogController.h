#pragma once
#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <cstdint>
#include <thread>

#include "common/Event.h"
#include "common/LoggerHandlers.h"

namespace qz {

// Keeps the file log in step with the registry: the level every 5 s, the
// switch-off date on start and then about every five minutes.
class TFileLogControllerThread {
public:
    static constexpr uint32_t PauseMs = 5000;
    static constexpr int DateCheckEvery = 60;

    // Starts a thread of its own at once unless startThread is false (then
    // RunOnMainLoop, or tests driving RunPass themselves).
    explicit TFileLogControllerThread(TFileLoggerHandler* logger, bool startThread = true);
    // Runs the checks on the process's main loop instead of a thread of its own.
    void RunOnMainLoop();
    ~TFileLogControllerThread();

    // The file handler's level when it is active, else -1.
    int32_t GetLogLevel() const;
    // Remote switch: -1 turns the file log off; any other level turns it on for 48 hours.
    void SetLogLevel(int32_t level);

    // One pass of the loop; returns the pause that follows it in milliseconds.
    uint32_t RunPass();
    void Terminate();
    // Ends the thread and waits for it.
    void Join();
    // Waits until the first level read has been applied (true) or the time is up.
    // The bootstrap waits here so the first lines of a start reach the file log.
    bool WaitFirstLevelRead(uint32_t timeoutMs);

private:
    void Execute();
    // One pass with its error handling; returns the pause that follows.
    uint32_t Step();
    void ApplyLevel(int32_t level);
    TFileLoggerHandler* _logger;
    int _counter = -1;
    // Shared with the main-loop job, which may run once more after the controller is gone.
    std::shared_ptr<std::atomic<bool>> _terminated = std::make_shared<std::atomic<bool>>(false);
    TEvent _wake;
    std::mutex _firstLock;
    std::condition_variable _firstDone;
    bool _levelRead = false;
    std::thread _thread;
};

}  // namespace qz
