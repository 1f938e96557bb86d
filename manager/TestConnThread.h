#pragma once
// The Test Connection button's worker.
#include <functional>
#include <memory>
#include <thread>

#include "manager/Main.h"

namespace qz {

// Runs the check on a thread of its own and hands the verdict to done, which
// runs on that thread too (the window marshals it to its own).
void StartTestConnectionThread(std::shared_ptr<TCommunicationModule> comm, TSettings& settings,
                               std::function<void(const TConnectionVerdict&)> done);

}  // namespace qz
