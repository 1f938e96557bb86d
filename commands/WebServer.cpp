#include "commands/WebServer.h"

#include <chrono>
#include <vector>

#include "commands/CommandProcessor.h"
#include "common/Logger.h"
#include "common/Settings.h"
#include "common/Text.h"
#include "platform/Errors.h"
#include "platform/Sockets.h"
#include "platform/SystemInfo.h"
#include "protocol/AppState.h"

namespace qz {

namespace {
long long MsSince(std::chrono::steady_clock::time_point t0) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0).count();
}
int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// A query item as a form decoder gives it: "+" is a blank, "%xx" a byte.
std::string DecodeQueryItem(const std::string& item) {
    std::string out;
    out.reserve(item.size());
    for (size_t i = 0; i < item.size(); ++i) {
        if (item[i] == '+') {
            out += ' ';
        } else if (item[i] == '%' && i + 2 < item.size() && HexValue(item[i + 1]) >= 0 && HexValue(item[i + 2]) >= 0) {
            out += static_cast<char>(HexValue(item[i + 1]) * 16 + HexValue(item[i + 2]));
            i += 2;
        } else {
            out += item[i];
        }
    }
    return out;
}

std::vector<std::string> QueryItems(const std::string& query) {
    std::vector<std::string> items;
    size_t pos = 0;
    while (pos <= query.size()) {
        size_t amp = query.find('&', pos);
        if (amp == std::string::npos) amp = query.size();
        if (amp > pos) items.push_back(DecodeQueryItem(query.substr(pos, amp - pos)));
        pos = amp + 1;
    }
    return items;
}

bool IsFormContent(const std::string& contentType) {
    const std::string media = Trim(contentType.substr(0, contentType.find(';')));
    return AsciiLower(media) == "application/x-www-form-urlencoded";
}

}  // namespace

TWebServerModule::TWebServerModule(Deps deps)
    : FDeps(std::move(deps)),
      FServer([this](const THttpRequest& r) { return WebServerCommandGet(r); }, FDeps.Limits,
              [](const std::string& line) { TLogger::Warning(line); }) {
    if (FDeps.StubPage.empty()) FDeps.StubPage = platform::sys::ProgramRcData("STUBPAGE").value_or("");
}

TWebServerModule::~TWebServerModule() { Stop(); }

bool TWebServerModule::Start(TSettings& settings) {
    const int32_t port = settings.ListenerPort();
    if (port <= 0 || port > 65535) {
        TLogger::Severe("Error launching the web-server. The reason is the listener port " + std::to_string(port) +
                        " is not a port");
        return false;
    }
    return StartOn(static_cast<uint16_t>(port));
}

bool TWebServerModule::StartOn(uint16_t port, bool loopbackOnly) {
    if (FServer.Listening()) return true;
    try {
        FServer.Start(port, loopbackOnly);
        TLogger::Fine("webserver has been launched");
        return true;
    } catch (const std::exception& e) {
        TLogger::Severe(std::string("Error launching the web-server. The reason is ") + e.what());
        return false;
    }
}

void TWebServerModule::Stop() { FServer.Stop(); }

THttpResponse TWebServerModule::WebServerCommandGet(const THttpRequest& request) {
    const auto t0 = std::chrono::steady_clock::now();
    THttpResponse response;
    try {
        if (request.Method == "POST") {
            TLogger::Fine("Received web-request");
            // The body byte for byte, as the form's unparsed text; other
            // content types leave it empty, which then fails to decrypt.
            TBytes params;
            if (IsFormContent(request.ContentType)) {
                params.assign(request.Body.begin(), request.Body.end());
                if (!request.Query.empty()) {
                    params.push_back('&');
                    params.insert(params.end(), request.Query.begin(), request.Query.end());
                }
            }
            const TBytes reply = DoHandleServerRequest(params);
            response.Body.assign(reply.begin(), reply.end());
        } else if (request.Authorization && !platform::sock::IsLoopbackAddress(request.Peer)) {
            // The message program fetches from this machine only; a peer on
            // the network could otherwise read and swallow a user's message.
            response.Status = 403;
            TLogger::Info("Message fetch refused to " + request.Peer + ": not this machine");
        } else if (request.Authorization) {
            const std::vector<std::string> items = QueryItems(request.Query);
            if (items.size() == 1) {
                const TBytes message = HandleMessengerRequest(items[0]);
                response.Body.assign(message.begin(), message.end());
            }
        } else {
            response.Body = FDeps.StubPage;
            TLogger::Fine("The stub page has been outfitted to somebody");
        }
    } catch (const std::exception& e) {
        response.Body.clear();
        TLogger::Warning(std::string("webserver exception ") + e.what());
    }
    TLogger::Fine("Web request has been processed for " + std::to_string(MsSince(t0)) + " ms.");
    return response;
}

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
