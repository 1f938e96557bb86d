#pragma once
// The main window over TMainFormModel, and the wizard's windows.
#include <windows.h>

#include <memory>

#include "common/Communication.h"
#include "common/Settings.h"
#include "manager/Main.h"
#include "manager/SaveSettingsThread.h"
#include "manager/win32/MessagesWindow.h"
#include "manager/win32/RegisterDialog.h"

namespace qz {

class TMainWindow : private TWizardView {
public:
    TMainWindow(HINSTANCE instance, std::shared_ptr<TCommunicationModule> comm);
    ~TMainWindow() override;

    // The window, hidden, with its settings loaded; and the windows it owns.
    bool Create();
    void Show();
    HWND Handle() const { return _hwnd; }
    HWND MessagesHandle() const { return _messages.Handle(); }

private:
    static INT_PTR CALLBACK DialogProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);
    static INT_PTR CALLBACK PageProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);
    // A control of the window or of either page.
    HWND Item(int id) const;
    void SetText(int id, const std::string& text);
    void FormCreate();
    void FillControls();
    void ShowTab(int index);
    void ReadFields();
    bool CheckAndSaveSettings();
    void EnableControls(bool value);
    void ShowWait(bool value);
    void ButtonTestConnectionClick();
    void TestConnectionDone(const TConnectionVerdict& verdict);
    void ButtonOkClick();
    void EditConnectionPasswordChange();

    // The wizard's view of the windows; each call arrives on the window's thread.
    void AddLine(TMessageKind kind, const std::string& line) override { _messages.AddLine(kind, line); }
    void HideWaitAndEnable() override;
    std::optional<std::string> ShowRegisterDialog(const std::string& serverDirectory,
                                                  const std::string& serverUri) override;
    void ShowMessagesWindow() override;
    void FailedToStopAndExit() override;
    void WizardDone() override { _messages.Done(); }

    HINSTANCE _instance;
    HWND _hwnd = nullptr;
    HWND _pages[2] = {nullptr, nullptr};
    std::shared_ptr<TCommunicationModule> _comm;
    TSettings Settings;
    TMainFormModel _form;
    TRegisterDialog _register;
    TMessagesWindow _messages;
    bool _filling = false;
    bool _waiting = false;
};

}  // namespace qz
