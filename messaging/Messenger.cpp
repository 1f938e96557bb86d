#include "messaging/Messenger.h"

#include <random>
#include <sstream>
#include <thread>

#include "common/Logger.h"
#include "platform/Sessions.h"
#include "sessions/PowerUtils.h"
#include "sessions/UserSessions.h"

namespace qz {

void TMessage::SaveToXML(pugi::xml_node ANode) const {
    ANode.append_child("title").text().set(FTitle.c_str());
    ANode.append_child("message").text().set(FMessage.c_str());
}

void TMessage::LoadFromXML(const pugi::xml_node& ANode) {
    FTitle = ANode.child("title").text().get();
    FMessage = ANode.child("message").text().get();
}

TMessageCache::TMessageCache() {
    std::random_device rd;
    FCurrentValue = static_cast<int32_t>(rd() % 1000000);
}

int32_t TMessageCache::AddMessage(const std::string& ATitle, const std::string& AMessage) {
    std::lock_guard<std::mutex> g(_cs);
    // Numbers wrap instead of overflowing; a wrapped number is still unique
    // among the cached ones unless two billion wait unfetched.
    FCurrentValue = static_cast<int32_t>(static_cast<uint32_t>(FCurrentValue) + 1u);
    if (_list.size() >= MaxMessages) _list.pop_front();
    _list.emplace_back(FCurrentValue, ATitle, AMessage);
    return FCurrentValue;
}

std::string TMessageCache::GetMessageById(const std::string& Id) {
    std::lock_guard<std::mutex> g(_cs);
    for (auto it = _list.begin(); it != _list.end(); ++it) {
        if (std::to_string(it->FId) != Id) continue;
        pugi::xml_document doc;
        it->SaveToXML(doc.append_child("response"));
        std::ostringstream out;
        doc.save(out, "", pugi::format_raw | pugi::format_no_declaration);
        _list.erase(it);
        return out.str();
    }
    return {};
}

size_t TMessageCache::Count() const {
    std::lock_guard<std::mutex> g(_cs);
    return _list.size();
}

void TMessenger::ShowMessage(const std::string& AMessage, const std::string& ATitle, const std::string& AHostname,
                             int32_t ASessionId) {
    TLogger::Fine("Message will be shown \"" + AMessage + "\" with title \"" + ATitle + "\"");
    if (!AHostname.empty() || ASessionId > 0)
        TLogger::Fine("Show message for hostname " + AHostname + " and session id " + std::to_string(ASessionId));
    auto work = [this, alive = FAlive, AMessage, ATitle, AHostname, ASessionId] {
        if (!*alive) return;
        try {
            Deliver(AMessage, ATitle, AHostname, ASessionId);
        } catch (const std::exception& e) {
            TLogger::Warning(std::string("Messenger: ") + e.what());
        }
    };
    if (FCtx.Run)
        FCtx.Run(std::move(work));
    else if (!FWorkers.Start(std::move(work)))
        TLogger::Warning("Messenger: no thread for the message");
}

void TMessenger::Deliver(const std::string& AMessage, const std::string& ATitle, const std::string& AHostname,
                         int32_t ASessionId) {
    if (FCtx.SupportMultipleSessions) {
        TLogger::Fine("Show Message for multisession");
        TUserSessionPtr session;
        if (FCtx.Sessions)
            session = ASessionId >= 1 ? FCtx.Sessions->GetUserSessionBySessionId(static_cast<uint32_t>(ASessionId))
                                      : FCtx.Sessions->GetUserSessionByHostname(AHostname);
        if (!session) {
            TLogger::Fine("Messenger: user session not found for hostname - " + AHostname);
            return;
        }
        Display(session->FSessionId, AMessage, ATitle);
        return;
    }
    const bool win8 = FCtx.Win8Family;
    TLogger::Fine(win8 ? "Show Message in win 8/8.1" : "Show Message in Vista or higher");
    const uint32_t active = TPowerUtils::GetActiveSessionId();
    if (active == TPowerUtils::NoSession) {
        TLogger::Fine("No interactive user, can not show message");
        return;
    }
    if (win8)
        Display(active, AMessage, ATitle);
    else
        platform::wts::SendSessionMessage(active, ATitle, AMessage, platform::wts::MessageStyleExclamationOk);
}

void TMessenger::Display(uint32_t sessionId, const std::string& AMessage, const std::string& ATitle) {
    if (!FCtx.Cache) return;
    const int32_t n = FCtx.Cache->AddMessage(ATitle, AMessage);
    TLogger::Fine("Message " + std::to_string(n) + " waits for the message program in session " + std::to_string(sessionId));
    const int32_t port = FCtx.ListenerPort ? FCtx.ListenerPort() : 0;
    const std::string program = FCtx.ProgramFolder + TApplicationUtils::MessengerExe;
    TApplicationUtils::StartApplication(sessionId, program, " " + std::to_string(port) + " " + std::to_string(n));
}

}  // namespace qz
