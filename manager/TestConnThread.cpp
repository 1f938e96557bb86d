#include "manager/TestConnThread.h"

#include "common/Logger.h"

namespace qz {

void StartTestConnectionThread(std::shared_ptr<TCommunicationModule> comm, TSettings& settings,
                               std::function<void(const TConnectionVerdict&)> done) {
    std::thread([comm = std::move(comm), &settings, done = std::move(done)] {
        TConnectionVerdict verdict = ConnectionCheckMessage(TRequestResult::rrError, {}, false, {});
        try {
            verdict = CheckConnection(*comm, settings, false);
        } catch (const std::exception& e) {
            TLogger::Warning(std::string("Test connection error: ") + e.what());
        } catch (...) {
            TLogger::Warning("Test connection error");
        }
        // The window waits for this call to give its controls back.
        try {
            if (done) done(verdict);
        } catch (...) {
        }
    }).detach();
}

}  // namespace qz
