// Raw bytes as a client sends them to the command port: the request head's
// parsing and its bounds, then the request event with whatever parsed (the
// message fetch from a small cache, posts under the server's chosen key).
#include <cstddef>
#include <cstdint>
#include <string>

#include "commands/CommandProcessor.h"
#include "commands/HttpServer.h"
#include "commands/WebServer.h"
#include "common/Settings.h"
#include "messaging/Messenger.h"
#include "platform/fake/FakeWorld.h"
#include "protocol/AppState.h"
#include "protocol/GuardEventsInfo.h"
#include "sessions/Locker.h"
#include "sessions/UserCache.h"

namespace {

struct Port {
    qz::TSettings settings;
    qz::TLocker locker;
    qz::TUserCache users{false};
    qz::TGuardEventsInfo journal{users, false};
    qz::TMessageCache cache{0};
    std::unique_ptr<qz::TApplicationState> state;
    std::unique_ptr<qz::TCommandProcessor> processor;
    std::unique_ptr<qz::TWebServerModule> module;

    Port() {
        platform::fake::Reset();
        qz::TAppStateContext a;
        a.Settings = &settings;
        a.Locker = &locker;
        a.GuardEvents = &journal;
        a.UserCache = &users;
        state = std::make_unique<qz::TApplicationState>(a);
        state->SetAppInitialized(true);  // the empty key: posts can decrypt
        qz::TCommandContext c;
        c.AppState = state.get();
        c.GuardEvents = &journal;
        c.Settings = &settings;
        processor = std::make_unique<qz::TCommandProcessor>(c);
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
    // Commands that would end the fuzzer's own machine are fake anyway.
    port.module->WebServerCommandGet(request);
    return 0;
}
