#pragma once
#include <cstdint>
#include <functional>
#include <string>

#include <pugixml.hpp>

namespace qz {

class TApplicationState;
class TEvent;
class TGuardEventsInfo;
class TLocker;
class TSettings;
class TUserSessionsList;

// What the server's direct commands drive. The main service fills it; tests stage it.
struct TCommandContext {
    TApplicationState* AppState = nullptr;
    TGuardEventsInfo* GuardEvents = nullptr;
    TSettings* Settings = nullptr;
    bool SupportMultipleSessions = false;
    TUserSessionsList* Sessions = nullptr;  // multi-session hosts only
    TEvent* ResponseReceived = nullptr;     // pulsed when the server's reply to our own request arrives
    // The file-log controller's remote switch; unset when there is none.
    std::function<void(int32_t)> SetLogLevel;
    std::function<double()> Now;            // local time; the clock unless a test sets it
    // Puts a message in front of a session's user (message, title, host name, session id).
    std::function<void(const std::string&, const std::string&, const std::string&, int32_t)> ShowMessage;
    // Custom login: set only when the station runs it.
    struct CustomLogin {
        std::function<void(const std::string&)> LoginUser;  // user name and full name alike
        std::function<void()> LogoutUser;
        std::function<void()> StopSessionLimit;
    } Custom;
    TLocker* Locker = nullptr;
};

// A command document that can't be processed: no reply is sent for it.
class ECommandError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Carries out one decrypted command document of the guard server and builds
// its reply. Stateless between commands; the components it drives guard
// their own state.
class TCommandProcessor {
public:
    explicit TCommandProcessor(TCommandContext context);

    // The reply document's text, or empty for the server's reply to our own
    // request (root "response"). Raises ECommandError (or an XML error) for a
    // document that doesn't parse or lacks a required element.
    std::string ProcessCommand(const std::string& text);

    TCommandContext& Context() { return FCtx; }

private:
    struct Target;
    Target ReadTarget(const pugi::xml_node& root);
    void Run(const std::string& name, const pugi::xml_node& request, pugi::xml_node& reply, const Target& target);

    TCommandContext FCtx;
};

}  // namespace qz
