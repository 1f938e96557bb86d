#include "manager/win32/RegisterDialog.h"

#include "common/WinUtils.h"
#include "manager/win32/Ui.h"
#include "manager/win32/resource.h"
#include "platform/win32/WinText.h"

namespace qz {

std::optional<std::string> TRegisterDialog::ShowModal(HWND owner) {
    const INT_PTR result = DialogBoxParamW(_instance, MAKEINTRESOURCEW(IDD_REGISTER), owner, DialogProc,
                                           reinterpret_cast<LPARAM>(this));
    if (result != IDOK) return std::nullopt;
    return XmlResponse;
}

INT_PTR CALLBACK TRegisterDialog::DialogProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    auto* self = reinterpret_cast<TRegisterDialog*>(GetWindowLongPtrW(hwnd, DWLP_USER));
    switch (msg) {
        case WM_INITDIALOG: {
            SetWindowLongPtrW(hwnd, DWLP_USER, lParam);
            self = reinterpret_cast<TRegisterDialog*>(lParam);
            self->_hwnd = hwnd;
            ui::SetClientSize(hwnd, 328, 328);
            const int full = 304, half = 148;
            ui::Place(hwnd, IDC_LABELSTATION, 12, 10, full, 15);
            ui::Place(hwnd, IDC_EDITSTATION, 12, 26, full, 22);
            ui::Place(hwnd, IDC_LABELROOM, 12, 55, full, 15);
            ui::Place(hwnd, IDC_COMBOROOM, 12, 71, full, 200);
            ui::Place(hwnd, IDC_LABELIMAGE, 12, 100, full, 15);
            ui::Place(hwnd, IDC_COMBOIMAGE, 12, 116, full, 200);
            ui::Place(hwnd, IDC_LABELMODEL, 12, 145, full, 15);
            ui::Place(hwnd, IDC_COMBOMODEL, 12, 161, full, 200);
            ui::Place(hwnd, IDC_LABELSOFTWARE, 12, 190, half, 15);
            ui::Place(hwnd, IDC_MEMOSOFTWARE, 12, 206, half, 72);
            ui::Place(hwnd, IDC_LABELHARDWARE, 168, 190, half, 15);
            ui::Place(hwnd, IDC_MEMOHARDWARE, 168, 206, half, 72);
            ui::Place(hwnd, IDOK, 156, 291, 75, 26);
            ui::Place(hwnd, IDCANCEL, 241, 291, 75, 26);
            ui::CenterOn(hwnd, GetWindow(hwnd, GW_OWNER));
            self->FormShow();
            return TRUE;
        }
        case WM_COMMAND:
            if (!self) break;
            switch (LOWORD(wParam)) {
                case IDOK:
                    self->ButtonOKClick();
                    return TRUE;
                case IDCANCEL:
                    EndDialog(hwnd, IDCANCEL);
                    return TRUE;
                case IDC_COMBOROOM:
                case IDC_COMBOMODEL:
                case IDC_COMBOIMAGE:
                    if (HIWORD(wParam) == CBN_SELCHANGE) self->ComboChange(LOWORD(wParam));
                    return TRUE;
            }
            break;
    }
    return FALSE;
}

void TRegisterDialog::FormShow() {
    XmlResponse.clear();
    _model.FillControls(ServerDirectory);
    ui::SetItemText(_hwnd, IDC_EDITSTATION, TWinUtils::GetComputerNetName());
    FillCombo(IDC_COMBOROOM, _model.Rooms(), -1);
    FillCombo(IDC_COMBOIMAGE, _model.ShownImages(), -1);
    FillCombo(IDC_COMBOMODEL, _model.ShownModels(), -1);
}

void TRegisterDialog::ComboChange(int id) {
    const int index = static_cast<int>(SendDlgItemMessageW(_hwnd, id, CB_GETCURSEL, 0, 0));
    if (id == IDC_COMBOMODEL) {
        _model.SelectModel(index);
    } else if (id == IDC_COMBOIMAGE) {
        _model.SelectImage(index);
    } else {
        _model.ComboRoomChange(index);
        FillCombo(IDC_COMBOMODEL, _model.ShownModels(), _model.ModelIndex());
        FillCombo(IDC_COMBOIMAGE, _model.ShownImages(), _model.ImageIndex());
    }
}

void TRegisterDialog::FillCombo(int id, const std::vector<TServerObject>& entries, int selected) {
    HWND combo = GetDlgItem(_hwnd, id);
    SendMessageW(combo, CB_RESETCONTENT, 0, 0);
    for (const auto& e : entries)
        SendMessageW(combo, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(platform::win::Wide(e.Name).c_str()));
    SendMessageW(combo, CB_SETCURSEL, static_cast<WPARAM>(selected), 0);
}

void TRegisterDialog::ButtonOKClick() {
    const std::string station = ui::GetItemText(_hwnd, IDC_EDITSTATION);
    if (const auto error = _model.CheckFields(station)) {
        ui::ErrorBox(_hwnd, *error);
        return;
    }
    const TStationRegistration r = _model.Registration(station, ui::GetItemText(_hwnd, IDC_MEMOSOFTWARE),
                                                       ui::GetItemText(_hwnd, IDC_MEMOHARDWARE), ServerURI);
    XmlResponse = FormXML(r);
    EndDialog(_hwnd, IDOK);
}

}  // namespace qz
