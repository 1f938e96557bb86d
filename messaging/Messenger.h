#pragma once
#include <atomic>
#include <cstdint>
#include <memory>
#include <deque>
#include <functional>
#include <mutex>
#include <string>

#include <pugixml.hpp>

#include "common/WorkerSet.h"

namespace qz {

class TUserSessionsList;

// One message waiting for the session's message program to fetch it.
class TMessage {
public:
    TMessage() = default;
    TMessage(int32_t AId, std::string ATitle, std::string AMessage)
        : FId(AId), FMessage(std::move(AMessage)), FTitle(std::move(ATitle)) {}
    void SaveToXML(pugi::xml_node ANode) const;
    void LoadFromXML(const pugi::xml_node& ANode);

    int32_t FId = 0;
    std::string FMessage;
    std::string FTitle;
};

// Messages by number until the message program fetches them, each once.
class TMessageCache {
public:
    // Messages nobody fetched are dropped oldest first beyond this many.
    static constexpr size_t MaxMessages = 1000;
    // Numbering starts at a random number below 1000000.
    TMessageCache();
    explicit TMessageCache(int32_t startValue) : FCurrentValue(startValue) {}

    int32_t AddMessage(const std::string& ATitle, const std::string& AMessage);
    // The "response" document of the message whose number, in decimal,
    // equals Id; empty when there is none. The message leaves the cache.
    std::string GetMessageById(const std::string& Id);
    size_t Count() const;

private:
    int32_t FCurrentValue;
    mutable std::mutex _cs;
    std::deque<TMessage> _list;
};

// What the messenger needs from the agent; the main service fills it.
struct TMessengerContext {
    bool SupportMultipleSessions = false;
    bool Win8Family = false;  // Windows 8 or 8.1: the message program instead of the system's box
    TUserSessionsList* Sessions = nullptr;  // multi-session hosts
    TMessageCache* Cache = nullptr;
    std::function<int32_t()> ListenerPort;
    std::string ProgramFolder;  // with its trailing separator
    // Where a message's work runs; a thread of its own when unset.
    std::function<void(std::function<void()>)> Run;
};

// Puts a text in front of a session's user: through the message program and
// the cache on multi-session hosts and Windows 8/8.1, through the system's
// session message box elsewhere.
class TMessenger {
public:
    static constexpr const char* Title = "Tallisto Client";
    explicit TMessenger(TMessengerContext context) : FCtx(std::move(context)) {}
    // Work still queued somewhere does nothing once the messenger is gone;
    // work on the messenger's own threads is waited for.
    ~TMessenger() {
        *FAlive = false;
        FWorkers.StopAndJoin();
    }

    // Returns at once; the message is shown by work of its own.
    void ShowMessage(const std::string& AMessage, const std::string& ATitle, const std::string& AHostname,
                     int32_t ASessionId);
    // That work: finds the session and shows the message there.
    void Deliver(const std::string& AMessage, const std::string& ATitle, const std::string& AHostname,
                 int32_t ASessionId);

private:
    void Display(uint32_t sessionId, const std::string& AMessage, const std::string& ATitle);
    TMessengerContext FCtx;
    std::shared_ptr<std::atomic<bool>> FAlive = std::make_shared<std::atomic<bool>>(true);
    TWorkerSet FWorkers{4};  // when no runner is given
};

}  // namespace qz
