#pragma once
// The apply wizard: test, offer registration, stop the service, save, test
// again, start the service, each step a line in the messages window.
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "common/Communication.h"
#include "common/Settings.h"
#include "manager/Messages.h"

namespace qz {

// The windows the wizard drives. Every call is made through Synchronize, so
// a window's implementation runs it on its own thread.
class TWizardView : public TMessagesSink {
public:
    // After the first test: the wait panel goes and the controls come back.
    virtual void HideWaitAndEnable() = 0;
    // The registration dialog, modal; the registration document when it
    // closed with OK.
    virtual std::optional<std::string> ShowRegisterDialog(const std::string& serverDirectory,
                                                          const std::string& serverUri) = 0;
    // The main window disabled behind the messages window, whose list is
    // empty, animation running and buttons disabled.
    virtual void ShowMessagesWindow() = 0;
    // The service didn't stop: the error box, then the program ends.
    virtual void FailedToStopAndExit() = 0;
    // Finish and Back enabled, the animation stopped and hidden, Finish focused.
    virtual void WizardDone() = 0;
};

struct TWizardHooks {
    // Runs a call on the windows' thread and waits for it.
    std::function<void(const std::function<void()>&)> Synchronize;
    std::function<void(uint32_t ms)> Sleep;
};

// The body of the apply thread. The settings are the window's; it doesn't
// touch them while this runs.
void RunSaveSettings(TSettings& settings, TCommunicationModule& comm, TWizardView& view, const TWizardHooks& hooks);

}  // namespace qz
