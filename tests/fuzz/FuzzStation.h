// The station the command fuzz targets run against: a multi-session host on
// the in-memory platform with a few processes and sessions, and the command
// processing over it.
#pragma once
#include <cstdint>
#include <memory>
#include <string>

#include "commands/CommandProcessor.h"
#include "common/Settings.h"
#include "platform/fake/FakeWorld.h"
#include "protocol/AppState.h"
#include "protocol/GuardEventsInfo.h"
#include "sessions/Locker.h"
#include "sessions/UserCache.h"
#include "sessions/UserSessions.h"

namespace qzfuzz {

struct Station {
    qz::TSettings settings;
    qz::TLocker locker;
    qz::TUserCache users{true};
    qz::TGuardEventsInfo journal{users, true};
    std::unique_ptr<qz::TApplicationState> state;
    std::unique_ptr<qz::TUserSessionsList> sessions;
    std::unique_ptr<qz::TCommandProcessor> processor;

    Station() {
        platform::fake::Reset();
        auto& w = platform::fake::W();
        // The inventory's clock measurement sleeps on virtual time; a small desktop keeps screenshots quick.
        w.virtualSleep = true;
        w.desktop = platform::screen::Bitmap(64, 48);
        for (size_t i = 0; i < w.desktop.pixels.size(); ++i) w.desktop.pixels[i] = static_cast<uint8_t>(i * 7);
        for (uint32_t pid = 20; pid < 26; ++pid) {
            platform::fake::FakeProcess p;
            p.pid = pid;
            p.sessionId = pid % 2 ? 2 : 3;
            p.path = "C:\\Apps\\app" + std::to_string(pid) + ".exe";
            p.terminable = pid != 21;
            w.processes.push_back(p);
        }
        for (uint32_t id : {2u, 3u}) {
            platform::fake::FakeSession s;
            s.entry.id = id;
            s.client = "PC-" + std::to_string(id);
            w.sessions.push_back(s);
        }
        qz::TAppStateContext a;
        a.Settings = &settings;
        a.Locker = &locker;
        a.GuardEvents = &journal;
        a.UserCache = &users;
        a.SupportMultipleSessions = true;
        state = std::make_unique<qz::TApplicationState>(a);
        sessions = std::make_unique<qz::TUserSessionsList>(qz::TStationType::stTerminalServer,
                                                           [this] { return state->AppCacheCopy(); });
        sessions->AddUserSession(2, "LAB\\ann");
        sessions->AddUserSession(3, "LAB\\bob");
        qz::TCommandContext c;
        c.AppState = state.get();
        c.GuardEvents = &journal;
        c.Settings = &settings;
        c.SupportMultipleSessions = true;
        c.Sessions = sessions.get();
        c.SetLogLevel = [](int32_t) {};
        processor = std::make_unique<qz::TCommandProcessor>(c);
    }
};

}  // namespace qzfuzz
