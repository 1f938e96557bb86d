#include "common/Logger.h"

#include <cstdio>
#include <mutex>
#include <vector>

#include "platform/DateTime.h"
#include "platform/Clock.h"

namespace qz {
namespace {

struct LoggerState {
    std::mutex lock;
    std::vector<TLoggerHandler*> handlers;
    std::atomic<int32_t> mainLevel{7};  // everything passes until first set
    std::atomic<TLogger::RecordHook> hook{nullptr};
};

LoggerState& State() {
    // Never destroyed: threads may still log while the process ends.
    static LoggerState* state = new LoggerState;
    return *state;
}

}  // namespace

TLoggerHandler::TLoggerHandler(int32_t level) : _level(level) { TLogger::RegisterHandler(this); }

TLoggerHandler::~TLoggerHandler() {
    // Not yet active while a failed constructor unwinds, so no line reaches it meanwhile.
    FActive.store(false);
    LoggerState& s = State();
    std::lock_guard<std::mutex> guard(s.lock);
    for (auto it = s.handlers.begin(); it != s.handlers.end(); ++it) {
        if (*it == this) {
            s.handlers.erase(it);
            break;
        }
    }
}

void TLoggerHandler::SetActive(bool value) { FActive.store(value); }

std::string TLogger::FormatStamp(double localTime) {
    const DateTimeParts p = DecodeDateTime(localTime);
    char buf[40];
    std::snprintf(buf, sizeof buf, "[%02d.%02d.%04d %02d:%02d:%02d.%03d] ", p.day, p.month, p.year, p.hour, p.minute,
                  p.second, p.millisecond);
    return buf;
}

void TLogger::LogMessage(int32_t level, const std::string& message) noexcept {
    LoggerState& s = State();
    try {
        if (s.mainLevel.load() < level) return;
        if (const TLogger::RecordHook hook = s.hook.load()) {
            hook(level, message);
            return;
        }
        std::lock_guard<std::mutex> guard(s.lock);
        try {
            // The line is built only for a handler that takes it.
            std::string line;
            for (TLoggerHandler* h : s.handlers) {
                if (h->Level() < level || !h->Active()) continue;
                if (line.empty()) {
                    line = FormatStamp(platform::sys::NowLocal());
                    if (message.size() <= MaxLineBytes) {
                        line += message;
                    } else {
                        line.append(message, 0, MaxLineBytes);
                        line += " ... (" + std::to_string(message.size() - MaxLineBytes) + " bytes left out)";
                    }
                }
                h->Notify(line);
            }
        } catch (...) {
            // A failing handler skips the rest of this message; the caller goes on.
        }
    } catch (...) {
    }
}

void TLogger::RegisterHandler(TLoggerHandler* handler) {
    LoggerState& s = State();
    std::lock_guard<std::mutex> guard(s.lock);
    s.handlers.push_back(handler);
}

int32_t TLogger::GetMainLevel() { return State().mainLevel.load(); }

void TLogger::SetMainLevel(int32_t level) { State().mainLevel.store(level); }

void TLogger::SetRecordHook(RecordHook hook) { State().hook.store(hook); }

void TLogger::ResetForTests() {
    LoggerState& s = State();
    std::lock_guard<std::mutex> guard(s.lock);
    s.handlers.clear();
    s.mainLevel.store(7);
    s.hook.store(nullptr);
}

}  // namespace qz
