#include "manager/win32/MainWindow.h"

#include <commctrl.h>
#include <uxtheme.h>

#include <thread>

#include "manager/TestConnThread.h"
#include "manager/win32/Ui.h"
#include "manager/win32/resource.h"
#include "platform/win32/WinText.h"

namespace qz {
namespace {

constexpr UINT WM_APP_TESTDONE = WM_APP + 2;

const int WaitControls[] = {IDC_PANEL, IDC_THROBBER, IDC_LABEL6};

}  // namespace

TMainWindow::TMainWindow(HINSTANCE instance, std::shared_ptr<TCommunicationModule> comm)
    : _instance(instance), _comm(std::move(comm)), _form(Settings), _register(instance) {}

TMainWindow::~TMainWindow() {
    if (_hwnd) DestroyWindow(_hwnd);
}

bool TMainWindow::Create() {
    _hwnd = CreateDialogParamW(_instance, MAKEINTRESOURCEW(IDD_MAIN), nullptr, DialogProc,
                               reinterpret_cast<LPARAM>(this));
    if (!_hwnd) return false;
    _messages.Create(_instance, _hwnd);
    return true;
}

void TMainWindow::Show() {
    ShowWindow(_hwnd, SW_SHOW);
    SetForegroundWindow(_hwnd);
    // FormShow: the address field takes the focus.
    SendMessageW(_hwnd, WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(Item(IDC_EDITSERVERURL)), TRUE);
}

INT_PTR CALLBACK TMainWindow::DialogProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    auto* self = reinterpret_cast<TMainWindow*>(GetWindowLongPtrW(hwnd, DWLP_USER));
    switch (msg) {
        case WM_INITDIALOG:
            SetWindowLongPtrW(hwnd, DWLP_USER, lParam);
            self = reinterpret_cast<TMainWindow*>(lParam);
            self->_hwnd = hwnd;
            self->FormCreate();
            return FALSE;
        case ui::WM_APP_SYNC:
            ui::RunSent(lParam);
            return TRUE;
        case WM_APP_TESTDONE: {
            std::unique_ptr<TConnectionVerdict> verdict(reinterpret_cast<TConnectionVerdict*>(lParam));
            if (self) self->TestConnectionDone(*verdict);
            return TRUE;
        }
        case WM_NOTIFY: {
            const auto* n = reinterpret_cast<const NMHDR*>(lParam);
            if (self && n->idFrom == IDC_PAGECONTROL && n->code == TCN_SELCHANGE)
                self->ShowTab(TabCtrl_GetCurSel(n->hwndFrom));
            break;
        }
        case WM_COMMAND:
            if (!self) break;
            switch (LOWORD(wParam)) {
                case IDC_BUTTONOK:
                    self->ButtonOkClick();
                    return TRUE;
                case IDC_BUTTONCANCEL:
                    // Cancel and the close box: the program ends without saving.
                    DestroyWindow(hwnd);
                    return TRUE;
                case IDC_BUTTONTESTCONNECTION:
                    self->ButtonTestConnectionClick();
                    return TRUE;
                case IDC_EDITCONNECTIONPASSWORD:
                    if (HIWORD(wParam) == EN_CHANGE) self->EditConnectionPasswordChange();
                    return TRUE;
            }
            break;
        case WM_CLOSE:
            DestroyWindow(hwnd);
            return TRUE;
        case WM_DESTROY:
            if (self) self->_hwnd = nullptr;
            PostQuitMessage(0);
            break;
    }
    return FALSE;
}

void TMainWindow::FormCreate() {
    // Pixels at 96 dots per inch, as the window was drawn.
    ui::SetClientSize(_hwnd, 377, 369);
    ui::Place(_hwnd, IDC_PAGECONTROL, 8, 8, 361, 313);
    HWND tabs = GetDlgItem(_hwnd, IDC_PAGECONTROL);
    TCITEMW tab{};
    tab.mask = TCIF_TEXT;
    wchar_t general[] = L"General", advanced[] = L"Advanced";
    tab.pszText = general;
    TabCtrl_InsertItem(tabs, 0, &tab);
    tab.pszText = advanced;
    TabCtrl_InsertItem(tabs, 1, &tab);
    RECT page{8, 8, 8 + 361, 8 + 313};
    TabCtrl_AdjustRect(tabs, FALSE, &page);
    // Each page a child dialog over the page control's body, drawn with the
    // body's own texture so the labels sit on it cleanly.
    const int pageIds[2] = {IDD_GENERAL, IDD_ADVANCED};
    for (int i = 0; i < 2; ++i) {
        _pages[i] = CreateDialogParamW(_instance, MAKEINTRESOURCEW(pageIds[i]), _hwnd, PageProc, 0);
        EnableThemeDialogTexture(_pages[i], ETDT_ENABLETAB);
        SetWindowPos(_pages[i], HWND_TOP, page.left, page.top, page.right - page.left, page.bottom - page.top,
                     SWP_NOACTIVATE);
    }
    HWND g = _pages[0], a = _pages[1];
    const int x = 12, y = 14, w = 320;
    ui::Place(g, IDC_LABEL1, x, y, w, 15);
    ui::Place(g, IDC_EDITSERVERURL, x, y + 18, w, 22);
    ui::Place(g, IDC_LABEL5, x, y + 54, w, 15);
    ui::Place(g, IDC_EDITCONNECTIONPASSWORD, x, y + 72, 200, 22);
    ui::Place(g, IDC_BUTTONTESTCONNECTION, x, y + 110, 112, 26);
    ui::Place(g, IDC_PANEL, x + 124, y + 110, 196, 26);
    ui::Place(g, IDC_THROBBER, x + 126, y + 111, 24, 24);
    ui::Place(g, IDC_LABEL6, x + 156, y + 116, 150, 15);
    ui::Place(g, IDC_LABEL7, x, y + 156, w, 45);
    ui::Place(a, IDC_LABEL2, x, y, w, 15);
    ui::Place(a, IDC_EDITPORT, x, y + 18, 80, 22);
    ui::Place(_hwnd, IDC_BUTTONOK, 193, 333, 90, 26);
    ui::Place(_hwnd, IDC_BUTTONCANCEL, 289, 333, 80, 26);
    ui::CenterOn(_hwnd, nullptr);

    wchar_t caption[128] = {};
    if (LoadStringW(_instance, IDS_CAPTION, caption, 128) > 0) SetWindowTextW(_hwnd, caption);
    ui::SetItemText(_pages[0], IDC_LABEL1, "Tallisto Server hostname or IP address");
    ShowTab(0);
    HWND throbber = Item(IDC_THROBBER);
    Animate_OpenEx(throbber, _instance, L"MOVIE");
    Animate_Play(throbber, 0, -1, -1);

    Settings.Init();
    FillControls();
}

void TMainWindow::FillControls() {
    _form.FillControls();
    _filling = true;
    SetText(IDC_EDITSERVERURL, _form.ServerUrlText);
    SetText(IDC_EDITPORT, _form.PortText);
    SetText(IDC_EDITCONNECTIONPASSWORD, _form.PasswordText);
    _filling = false;
}

HWND TMainWindow::Item(int id) const {
    if (HWND c = GetDlgItem(_hwnd, id)) return c;
    for (HWND page : _pages)
        if (HWND c = page ? GetDlgItem(page, id) : nullptr) return c;
    return nullptr;
}

void TMainWindow::SetText(int id, const std::string& text) {
    SetWindowTextW(Item(id), platform::win::Wide(text).c_str());
}

INT_PTR CALLBACK TMainWindow::PageProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    // The pages' controls report to the main window.
    if (msg == WM_COMMAND) {
        SendMessageW(GetParent(hwnd), WM_COMMAND, wParam, lParam);
        return TRUE;
    }
    return FALSE;
}

void TMainWindow::ShowTab(int index) {
    TabCtrl_SetCurSel(GetDlgItem(_hwnd, IDC_PAGECONTROL), index);
    for (int i = 0; i < 2; ++i) ShowWindow(_pages[i], i == index ? SW_SHOW : SW_HIDE);
    for (int id : WaitControls) ShowWindow(Item(id), _waiting ? SW_SHOW : SW_HIDE);
}

void TMainWindow::EditConnectionPasswordChange() {
    if (_filling) return;
    const std::string text = ui::GetText(Item(IDC_EDITCONNECTIONPASSWORD));
    const std::string shown = _form.EditConnectionPasswordChange(text);
    if (shown != text) {
        _filling = true;
        SetText(IDC_EDITCONNECTIONPASSWORD, shown);
        _filling = false;
    }
}

void TMainWindow::ReadFields() {
    _form.ServerUrlText = ui::GetText(Item(IDC_EDITSERVERURL));
    _form.PasswordText = ui::GetText(Item(IDC_EDITCONNECTIONPASSWORD));
    _form.PortText = ui::GetText(Item(IDC_EDITPORT));
}

bool TMainWindow::CheckAndSaveSettings() {
    ReadFields();
    const auto error = _form.CheckAndSaveSettings();
    if (error == TMainFormModel::TFieldError::None) return true;
    const bool password = error == TMainFormModel::TFieldError::BlankPassword;
    ShowTab(password ? 0 : 1);
    SendMessageW(_hwnd, WM_NEXTDLGCTL,
                 reinterpret_cast<WPARAM>(Item(password ? IDC_EDITCONNECTIONPASSWORD : IDC_EDITPORT)),
                 TRUE);
    ui::ErrorBox(_hwnd, TMainFormModel::ErrorText(error));
    return false;
}

void TMainWindow::EnableControls(bool value) {
    for (int id : {IDC_PAGECONTROL, IDC_EDITSERVERURL, IDC_EDITCONNECTIONPASSWORD, IDC_EDITPORT,
                   IDC_BUTTONTESTCONNECTION, IDC_BUTTONOK, IDC_BUTTONCANCEL})
        EnableWindow(Item(id), value ? TRUE : FALSE);
}

void TMainWindow::ShowWait(bool value) {
    _waiting = value;
    ShowTab(TabCtrl_GetCurSel(GetDlgItem(_hwnd, IDC_PAGECONTROL)));
}

void TMainWindow::ButtonTestConnectionClick() {
    if (!CheckAndSaveSettings()) return;
    EnableControls(false);
    ShowWait(true);
    HWND hwnd = _hwnd;
    StartTestConnectionThread(_comm, Settings, [hwnd](const TConnectionVerdict& verdict) {
        auto* copy = new TConnectionVerdict(verdict);
        if (!PostMessageW(hwnd, WM_APP_TESTDONE, 0, reinterpret_cast<LPARAM>(copy))) delete copy;
    });
}

void TMainWindow::TestConnectionDone(const TConnectionVerdict& verdict) {
    EnableControls(true);
    ShowWait(false);
    ui::Box(_hwnd, verdict.Text, "Test Connection", MB_OK | (verdict.Good ? MB_ICONINFORMATION : MB_ICONERROR));
}

void TMainWindow::ButtonOkClick() {
    if (!CheckAndSaveSettings()) return;
    EnableControls(false);
    ShowWait(true);
    HWND hwnd = _hwnd;
    TWizardHooks hooks;
    hooks.Synchronize = [hwnd](const std::function<void()>& fn) { ui::RunOn(hwnd, fn); };
    hooks.Sleep = [](uint32_t ms) { ::Sleep(ms); };
    // The wizard catches what it meets and always ends with Back and Finish enabled.
    std::thread([this, hooks] { RunSaveSettings(Settings, *_comm, *this, hooks); }).detach();
}

void TMainWindow::HideWaitAndEnable() {
    ShowWait(false);
    EnableControls(true);
}

std::optional<std::string> TMainWindow::ShowRegisterDialog(const std::string& serverDirectory,
                                                           const std::string& serverUri) {
    _register.ServerDirectory = serverDirectory;
    _register.ServerURI = serverUri;
    return _register.ShowModal(_hwnd);
}

void TMainWindow::ShowMessagesWindow() {
    EnableWindow(_hwnd, FALSE);
    _messages.Show();
}

void TMainWindow::FailedToStopAndExit() {
    ui::ErrorBox(_messages.Handle(), "Failed to stop Tallisto Service");
    DestroyWindow(_hwnd);
}

}  // namespace qz
