// Raw bytes as a client sends them to the command port: the request head's
// parsing and its bounds, then the request event with whatever parsed (the
// message fetch from a small cache, posts under the server's chosen key).
#include <cstddef>
#include <cstdint>
#include <string>

#include "commands/HttpServer.h"
#include "commands/WebServer.h"
#include "messaging/Messenger.h"
#include "tests/fuzz/FuzzStation.h"

namespace {

// The command station with its port over it; posts decrypt under the empty
// key, which the server chose.
struct Port : qzfuzz::Station {
    qz::TMessageCache cache{0};
    std::unique_ptr<qz::TWebServerModule> module;

    Port() {
        state->SetAppInitialized(true);
        qz::TWebServerModule::Deps d;
        d.Processor = processor.get();
        d.AppState = state.get();
        d.TakeMessage = [this](const std::string& id) { return cache.GetMessageById(id); };
        d.StubPage = "stub";
        module = std::make_unique<qz::TWebServerModule>(d);
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static Port port;
    port.cache.AddMessage("T", "M");
    qz::THttpLimits limits;
    limits.MaxHeaderBytes = 4096;
    limits.MaxBodyBytes = 65536;
    const std::string raw(reinterpret_cast<const char*>(data), size);
    qz::THttpRequest request;
    size_t headEnd = 0, bodyLength = 0;
    bool expectContinue = false;
    std::string why;
    const auto state = qz::THttpServer::ParseHead(raw, limits, request, headEnd, bodyLength, expectContinue, why);
    if (state != qz::THttpServer::ParseState::Complete) return 0;
    if (headEnd > raw.size() || bodyLength > limits.MaxBodyBytes) __builtin_trap();
    request.Body = raw.substr(headEnd, bodyLength);
    request.Peer = "127.0.0.1";  // the message program's place
    // Commands that would end the fuzzer's own machine are fake anyway.
    port.module->WebServerCommandGet(request);
    return 0;
}
