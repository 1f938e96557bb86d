#include "sessions/PowerUtils.h"

#include "platform/Sessions.h"

namespace qz {

uint32_t TPowerUtils::GetActiveSessionId() {
    uint32_t id = NoSession;
    try {
        auto sessions = platform::wts::EnumerateSessions();
        if (!sessions) return NoSession;
        for (const auto& s : *sessions)
            if (s.state == platform::wts::StateActive) id = s.id;
    } catch (...) {
        return NoSession;
    }
    return id;
}

}  // namespace qz
