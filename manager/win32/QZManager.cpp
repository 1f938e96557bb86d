// QZManager: the start-up decides between the unattended modes and the main
// window; the windows are made either way, and shown only for the window.
#include <windows.h>
#include <commctrl.h>

#include <memory>

#include "common/Logger.h"
#include "common/LoggerHandlers.h"
#include "common/Utils.h"
#include "common/WinUtils.h"
#include "manager/Init.h"
#include "manager/win32/MainWindow.h"
#include "manager/win32/Ui.h"
#include "platform/SystemInfo.h"

namespace {

// The manager's own lines, beside the agent's logs. Only for administrators:
// for anyone else the program must not write anything.
std::unique_ptr<qz::TFileLoggerHandler> OpenLog() {
    if (!qz::TWinUtils::IsAdmin()) return nullptr;
    try {
        auto handler = std::make_unique<qz::TFileLoggerHandler>(
            qz::logFine, qz::GetAgentDataFolder() + "Logs\\QZManager.log", 1);
        handler->SetActive(true);
        return handler;
    } catch (...) {
        return nullptr;
    }
}

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int) {
    INITCOMMONCONTROLSEX controls{sizeof controls, ICC_TAB_CLASSES | ICC_LISTVIEW_CLASSES | ICC_ANIMATE_CLASS |
                                                       ICC_STANDARD_CLASSES};
    InitCommonControlsEx(&controls);
    qz::TLogger::SetMainLevel(qz::logFine);
    const auto log = OpenLog();

    auto comm = std::make_shared<qz::TCommunicationModule>();
    qz::TStartupHooks hooks;
    hooks.ErrorBox = [](const std::string& text) { qz::ui::ErrorBox(nullptr, text); };
    hooks.ProgramPath = platform::sys::ModulePath();
    qz::TStartupOutcome outcome = qz::TStartupOutcome::End;
    try {
        outcome = qz::RunStartup(platform::sys::CommandLineArgs(0, nullptr), *comm, hooks);
    } catch (const std::exception& e) {
        qz::TLogger::Warning(std::string("Start-up error: ") + e.what());
    }
    if (outcome != qz::TStartupOutcome::ShowMainWindow) return 0;

    // Never freed: a worker may still hold the window's settings while the
    // process ends, and the process takes everything with it.
    auto* main = new qz::TMainWindow(instance, comm);
    if (!main->Create()) return 1;
    main->Show();
    MSG msg;
    while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
        if (main->Handle() && IsDialogMessageW(main->Handle(), &msg)) continue;
        if (main->MessagesHandle() && IsDialogMessageW(main->MessagesHandle(), &msg)) continue;
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
    return 0;
}
