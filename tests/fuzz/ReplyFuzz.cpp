// A guard-server reply as it arrives: the one-byte statuses, ciphertext under
// the connection password, and the decrypted document applied to the state.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "common/Communication.h"
#include "common/Logger.h"
#include "common/Settings.h"
#include "platform/fake/FakeWorld.h"
#include "protocol/AppState.h"
#include "protocol/GuardEventsInfo.h"
#include "sessions/Locker.h"
#include "sessions/UserCache.h"

namespace {
struct World {
    World() {
        platform::fake::Reset();
        settings.SetPasswordHash("CGCbzzh9ExYqUp+8Dt/1CA==");
        qz::TAppStateContext ctx;
        ctx.Settings = &settings;
        ctx.Locker = &locker;
        ctx.GuardEvents = &events;
        ctx.UserCache = &cache;
        state = std::make_unique<qz::TApplicationState>(ctx);
        events.UserChanged("", "LAB\\ann", false, "Ann");
    }
    qz::TSettings settings;
    qz::TLocker locker;
    qz::TUserCache cache{false};
    qz::TGuardEventsInfo events{cache, false};
    std::unique_ptr<qz::TApplicationState> state;
};
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static World* world = new World();
    if (size == 0) return 0;
    const std::string body(reinterpret_cast<const char*>(data) + 1, size - 1);
    std::string text;
    if (data[0] & 1) {
        // As it comes off the wire: status byte or ciphertext.
        qz::TRequestResult result;
        text = qz::TCommunicationModule::DecodeResponse(body, qz::ToBytes("fuzz-key"), result);
        if (result != qz::TRequestResult::rrOk) return 0;
    } else {
        text = body;  // the decrypted document itself, where the parser is
    }
    world->state->ProcessState(text);
    bool noChange = false;
    world->state->CreateResponse(noChange);
    return 0;
}
