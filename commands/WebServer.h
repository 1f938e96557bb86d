#pragma once
#include <functional>
#include <memory>
#include <string>

#include "commands/HttpServer.h"
#include "common/Crypto.h"

namespace qz {

class TApplicationState;
class TCommandProcessor;
class TSettings;

// The agent's local command port: encrypted commands of the guard server
// in, encrypted replies out, and the message fetch of the session's message
// program; a fixed page for everything else.
class TWebServerModule {
public:
    // The key material shared with the message program.
    static constexpr const char* MessengerKey = MessengerKeyText;

    struct Deps {
        TCommandProcessor* Processor = nullptr;
        TApplicationState* AppState = nullptr;
        // Takes a cached message out by its number (decimal text, compared
        // exactly): the "response" document, or empty when there is none.
        std::function<std::string(const std::string&)> TakeMessage;
        // The page for requests that are neither; the program's resource when unset.
        std::string StubPage;
        THttpLimits Limits;
    };
    explicit TWebServerModule(Deps deps);
    ~TWebServerModule();

    // Listens on every local address at the settings' listener port; false
    // (and a log line) when it can't.
    bool Start(TSettings& settings);
    // The same at a given port (0: the system picks); tests listen on loopback only.
    bool StartOn(uint16_t port, bool loopbackOnly = false);
    void Stop();
    uint16_t Port() const { return FServer.Port(); }

    // One HTTP request, as the server hands it over.
    THttpResponse WebServerCommandGet(const THttpRequest& request);

    // One encrypted command (a POST body or a websocket message): the
    // encrypted reply, or nothing. Raises for what can't be processed, and
    // while the agent holds no connection password that the server gave or
    // chose: the filler key is public, so a command under it could come from anyone.
    TBytes DoHandleServerRequest(const TBytes& Request);
    // The encrypted message document for the message program; empty on errors.
    TBytes HandleMessengerRequest(const std::string& id);

private:
    Deps FDeps;
    THttpServer FServer;
};

}  // namespace qz
