#include "commands/WebServer.h"

#include <chrono>

#include "commands/CommandProcessor.h"
#include "common/Logger.h"
#include "protocol/AppState.h"

namespace qz {

namespace {
long long MsSince(std::chrono::steady_clock::time_point t0) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0).count();
}
}  // namespace

TBytes TWebServerModule::DoHandleServerRequest(const TBytes& Request) {
    const TBytes key = FDeps.AppState->ConnectionPassword();
    // An empty password stands only when the server chose it (a registration
    // answered "no change"); after a failed exchange it means none is held.
    if (key.empty() && !FDeps.AppState->AppInitialized())
        throw ECommandError("Command refused: no connection password is held");
    auto t0 = std::chrono::steady_clock::now();
    const std::string text = ToText(TCrypto::Decrypt(Request, key));
    TLogger::Fine("decryptTime " + std::to_string(MsSince(t0)));
    TLogger::Fine("Request is: " + text);
    const std::string reply = FDeps.Processor->ProcessCommand(text);
    if (reply.empty()) return {};
    TLogger::Fine(reply.size() < 256 ? "Sending this: " + reply : std::string("Sending something large"));
    t0 = std::chrono::steady_clock::now();
    TBytes out = TCrypto::Encrypt(ToBytes(reply), key);
    TLogger::Fine("encryptTime " + std::to_string(MsSince(t0)));
    return out;
}

TBytes TWebServerModule::HandleMessengerRequest(const std::string& id) {
    try {
        TLogger::Fine("Process messenger request " + id);
        const std::string message = FDeps.TakeMessage ? FDeps.TakeMessage(id) : std::string();
        return TCrypto::Encrypt(ToBytes(message), ToBytes(MessengerKey));
    } catch (const std::exception& e) {
        TLogger::Info(std::string("Error processing messenger request - ") + e.what());
        return {};
    }
}

}  // namespace qz
