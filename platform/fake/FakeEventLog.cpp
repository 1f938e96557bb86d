#include <map>
#include <mutex>

#include "platform/EventLog.h"
#include "platform/fake/FakeWorld.h"

namespace platform::eventlog {

namespace {
// Sources outlive a world reset: loggers keep their handles for the process's life.
std::mutex g_sourceLock;
std::map<uintptr_t, std::string> g_sources;
uintptr_t g_nextSource = 1;
}  // namespace

SourceHandle RegisterSource(const std::string& sourceName) {
    std::lock_guard<std::mutex> lock(g_sourceLock);
    const uintptr_t h = g_nextSource++;
    g_sources[h] = sourceName;
    return h;
}

void DeregisterSource(SourceHandle handle) {
    std::lock_guard<std::mutex> lock(g_sourceLock);
    g_sources.erase(handle);
}

bool Report(SourceHandle handle, uint16_t type, uint16_t, uint32_t eventId, const std::string& text) {
    std::string source;
    {
        std::lock_guard<std::mutex> lock(g_sourceLock);
        auto it = g_sources.find(handle);
        if (it == g_sources.end()) return false;
        source = it->second;
    }
    fake::Locked()->events.push_back({source, type, eventId, text});
    return true;
}

}  // namespace platform::eventlog
