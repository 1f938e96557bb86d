#pragma once
#include <atomic>
#include <cstdint>
#include <string>

namespace qz {

// Lower is more important; logWarning ranks above logSevere.
enum TLogLevel : int32_t {
    logThrowing = 0,
    logWarning = 1,
    logSevere = 2,
    logInfo = 3,
    logFine = 4,
    logFiner = 5,
    logFinest = 6,
};

class TLoggerHandler {
public:
    // Registers the handler with TLogger at once. The agent's handlers live
    // until the process ends; one that goes (a constructor that failed half
    // way included) leaves the logger's list as it goes.
    explicit TLoggerHandler(int32_t level);
    virtual ~TLoggerHandler();
    TLoggerHandler(const TLoggerHandler&) = delete;
    TLoggerHandler& operator=(const TLoggerHandler&) = delete;

    int32_t Level() const { return _level.load(); }
    void SetLevel(int32_t level) { _level.store(level); }
    bool Active() const { return FActive.load(); }
    virtual void SetActive(bool value);
    virtual void Notify(const std::string& message) = 0;

protected:
    std::atomic<int32_t> _level;
    std::atomic<bool> FActive{false};
};

class TLogger {
public:
    static void Throwing(const std::string& m) { LogMessage(logThrowing, m); }
    static void Warning(const std::string& m) { LogMessage(logWarning, m); }
    static void Severe(const std::string& m) { LogMessage(logSevere, m); }
    static void Info(const std::string& m) { LogMessage(logInfo, m); }
    static void Fine(const std::string& m) { LogMessage(logFine, m); }
    static void Finer(const std::string& m) { LogMessage(logFiner, m); }
    static void Finest(const std::string& m) { LogMessage(logFinest, m); }

    // A line longer than this is cut, with a note of what was left out.
    static constexpr size_t MaxLineBytes = 64 * 1024;

    // Never raises.
    static void LogMessage(int32_t level, const std::string& message) noexcept;
    // Whether a message of this level can reach any handler: callers test it
    // before building a costly message.
    static bool WillLog(int32_t level) { return GetMainLevel() >= level; }
    static void RegisterHandler(TLoggerHandler* handler);
    static int32_t GetMainLevel();
    static void SetMainLevel(int32_t level);
    // A child job's process hands its messages to its parent: while a hook is
    // set, every message the main level lets through goes to it instead of
    // the handlers. nullptr gives them back to the handlers.
    using RecordHook = void (*)(int32_t level, const std::string& message);
    static void SetRecordHook(RecordHook hook);

    // "[dd.mm.yyyy hh:nn:ss.zzz] " for a date-time value.
    static std::string FormatStamp(double localTime);
    // Tests only: forget the handlers registered so far (they are not freed).
    static void ResetForTests();
};

}  // namespace qz
