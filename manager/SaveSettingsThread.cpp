#include "manager/SaveSettingsThread.h"

#include "common/Logger.h"
#include "common/WinUtils.h"
#include "manager/Main.h"
#include "manager/Register.h"
#include "platform/ServiceControl.h"

namespace qz {

namespace {

void Steps(TSettings& settings, TCommunicationModule& comm, TWizardView& view, const TWizardHooks& hooks) {
    const auto sync = hooks.Synchronize;
    const TServerParams server = ServerParamsOf(settings);

    TRequestResult tested = TRequestResult::rrError;
    comm.TestConnection(server, tested);
    sync([&] { view.HideWaitAndEnable(); });

    std::optional<std::string> registration;
    if (tested == TRequestResult::rrNotRecognizeResponse) {
        TRequestResult listed = TRequestResult::rrError;
        const std::string directory = comm.GetStationDirectory(server, listed);
        const std::string uri = settings.ServerURI();
        sync([&] { registration = view.ShowRegisterDialog(directory, uri); });
    }

    sync([&] { view.ShowMessagesWindow(); });

    if (registration) {
        const TSubmitResult submitted = SubmitStationRegistration(comm, *registration, server);
        sync([&] {
            view.Add(submitted.Success ? TMessageKind::Success : TMessageKind::Failure, submitted.Message);
        });
        registration.reset();
    }

    if (TServiceUtils::ServiceGetStatus(ServiceName, "") == platform::scm::StateStopped) {
        sync([&] { view.AddSuccessMessage("Tallisto Service already stopped"); });
    } else if (TServiceUtils::ServiceStop(ServiceName, "")) {
        sync([&] { view.AddSuccessMessage("Tallisto Service has been stopped"); });
    } else {
        // The agent still runs on the old settings: nothing is saved behind its back.
        sync([&] { view.FailedToStopAndExit(); });
        return;
    }

    hooks.Sleep(250);
    const bool saved = settings.SaveSettings();
    sync([&] {
        if (saved)
            view.AddSuccessMessage("Settings are saved");
        else
            view.AddFailMessage("Settings are not saved");
    });

    hooks.Sleep(250);
    const TConnectionVerdict verdict = CheckConnection(comm, settings, true);
    sync([&] { view.Add(verdict.Good ? TMessageKind::Success : TMessageKind::Failure, verdict.Text); });

    hooks.Sleep(250);
    const bool started = TServiceUtils::ServiceStart(ServiceName, "");
    sync([&] {
        if (started)
            view.AddSuccessMessage("Tallisto Service successfully started");
        else
            view.AddFailMessage("Tallisto service could not be started!");
    });

    sync([&] {
        view.AddMessage("");
        view.AddMessage("");
        view.AddMessage("Click Finish to exit the Setup Wizard.");
        view.WizardDone();
    });
}

}  // namespace

void RunSaveSettings(TSettings& settings, TCommunicationModule& comm, TWizardView& view, const TWizardHooks& hooks) {
    try {
        Steps(settings, comm, view, hooks);
    } catch (const std::exception& e) {
        // A worker thread must not let anything escape; the wizard still ends
        // so Back and Finish work.
        TLogger::Warning(std::string("Apply settings error: ") + e.what());
        try {
            hooks.Synchronize([&] {
                view.AddFailMessage(e.what());
                view.WizardDone();
            });
        } catch (...) {
        }
    } catch (...) {
        TLogger::Warning("Apply settings error");
    }
}

}  // namespace qz
