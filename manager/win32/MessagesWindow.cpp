#include "manager/win32/MessagesWindow.h"

#include <commctrl.h>

#include "manager/win32/Ui.h"
#include "manager/win32/resource.h"
#include "platform/win32/WinText.h"

namespace qz {
namespace {

constexpr int MarkSize = 16;
constexpr int LineHeight = 20;

}  // namespace

void TMessagesWindow::Create(HINSTANCE instance, HWND owner) {
    _instance = instance;
    _owner = owner;
    _hwnd = CreateDialogParamW(instance, MAKEINTRESOURCEW(IDD_MESSAGES), owner, DialogProc,
                               reinterpret_cast<LPARAM>(this));
}

INT_PTR CALLBACK TMessagesWindow::DialogProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    auto* self = reinterpret_cast<TMessagesWindow*>(GetWindowLongPtrW(hwnd, DWLP_USER));
    switch (msg) {
        case WM_INITDIALOG:
            SetWindowLongPtrW(hwnd, DWLP_USER, lParam);
            self = reinterpret_cast<TMessagesWindow*>(lParam);
            self->_hwnd = hwnd;
            self->Init();
            return FALSE;
        case WM_MEASUREITEM: {
            auto* m = reinterpret_cast<MEASUREITEMSTRUCT*>(lParam);
            if (m->CtlType == ODT_LISTVIEW) m->itemHeight = LineHeight;
            return TRUE;
        }
        case WM_DRAWITEM: {
            auto* d = reinterpret_cast<const DRAWITEMSTRUCT*>(lParam);
            if (self && d->CtlID == IDC_LISTMESSAGES) self->DrawLine(*d);
            return TRUE;
        }
        case WM_COMMAND:
            if (!self) break;
            if (LOWORD(wParam) == IDC_BUTTONFINISH) {
                // Finish ends the program: the main window goes and takes the loop with it.
                DestroyWindow(self->_owner);
                return TRUE;
            }
            if (LOWORD(wParam) == IDC_BUTTONBACK || LOWORD(wParam) == IDCANCEL) {
                // Escape does nothing while the wizard still runs.
                if (IsWindowEnabled(GetDlgItem(hwnd, IDC_BUTTONBACK))) self->Close();
                return TRUE;
            }
            break;
        case WM_CLOSE:
            return TRUE;  // only Back and Finish close it
        case WM_DESTROY:
            if (self && self->_images) {
                ImageList_Destroy(self->_images);
                self->_images = nullptr;
            }
            break;
    }
    return FALSE;
}

void TMessagesWindow::Init() {
    ui::SetClientSize(_hwnd, 374, 341);
    ui::Place(_hwnd, IDC_SHAPE1, 0, 0, 374, 294);
    ui::Place(_hwnd, IDC_LISTMESSAGES, 12, 12, 350, 270);
    ui::Place(_hwnd, IDC_BUTTONBACK, 166, 305, 80, 26);
    ui::Place(_hwnd, IDC_BUTTONFINISH, 252, 305, 80, 26);
    ui::Place(_hwnd, IDC_MSGTHROBBER, 340, 306, 24, 24);

    HWND list = GetDlgItem(_hwnd, IDC_LISTMESSAGES);
    _images = ImageList_Create(MarkSize, MarkSize, ILC_COLOR24 | ILC_MASK, 2, 0);
    if (HBITMAP marks = static_cast<HBITMAP>(
            LoadImageW(_instance, MAKEINTRESOURCEW(IDB_MARKS), IMAGE_BITMAP, 0, 0, LR_CREATEDIBSECTION))) {
        ImageList_AddMasked(_images, marks, RGB(255, 0, 255));
        DeleteObject(marks);
    }
    ListView_SetBkColor(list, RGB(255, 255, 255));
    LVCOLUMNW column{};
    column.mask = LVCF_WIDTH;
    RECT client{};
    GetClientRect(list, &client);
    column.cx = client.right - client.left;
    ListView_InsertColumn(list, 0, &column);
    Animate_OpenEx(GetDlgItem(_hwnd, IDC_MSGTHROBBER), _instance, L"MOVIE");
}

void TMessagesWindow::Show() {
    ListView_DeleteAllItems(GetDlgItem(_hwnd, IDC_LISTMESSAGES));
    EnableWindow(GetDlgItem(_hwnd, IDC_BUTTONBACK), FALSE);
    EnableWindow(GetDlgItem(_hwnd, IDC_BUTTONFINISH), FALSE);
    HWND throbber = GetDlgItem(_hwnd, IDC_MSGTHROBBER);
    ShowWindow(throbber, SW_SHOW);
    Animate_Play(throbber, 0, -1, -1);
    ui::CenterOn(_hwnd, _owner);
    ShowWindow(_hwnd, SW_SHOW);
    SetForegroundWindow(_hwnd);
}

void TMessagesWindow::AddLine(TMessageKind kind, const std::string& line) {
    HWND list = GetDlgItem(_hwnd, IDC_LISTMESSAGES);
    std::wstring text = platform::win::Wide(line);
    LVITEMW item{};
    item.mask = LVIF_TEXT | LVIF_PARAM;
    item.iItem = ListView_GetItemCount(list);
    item.pszText = text.data();
    item.lParam = static_cast<LPARAM>(kind);
    const int at = ListView_InsertItem(list, &item);
    if (at >= 0) ListView_EnsureVisible(list, at, FALSE);
}

void TMessagesWindow::Done() {
    EnableWindow(GetDlgItem(_hwnd, IDC_BUTTONFINISH), TRUE);
    EnableWindow(GetDlgItem(_hwnd, IDC_BUTTONBACK), TRUE);
    HWND throbber = GetDlgItem(_hwnd, IDC_MSGTHROBBER);
    Animate_Stop(throbber);
    ShowWindow(throbber, SW_HIDE);
    SetFocus(GetDlgItem(_hwnd, IDC_BUTTONFINISH));
    SendMessageW(_hwnd, DM_SETDEFID, IDC_BUTTONFINISH, 0);
}

void TMessagesWindow::Close() {
    // The owner first, so the activation goes back to it and not elsewhere.
    if (_owner && !IsWindowEnabled(_owner)) EnableWindow(_owner, TRUE);
    ShowWindow(_hwnd, SW_HIDE);
    if (_owner) SetForegroundWindow(_owner);
}

void TMessagesWindow::DrawLine(const DRAWITEMSTRUCT& d) {
    if (d.itemID == static_cast<UINT>(-1)) return;
    HWND list = d.hwndItem;
    wchar_t buffer[1024] = {};
    LVITEMW item{};
    item.mask = LVIF_TEXT | LVIF_PARAM;
    item.iItem = static_cast<int>(d.itemID);
    item.pszText = buffer;
    item.cchTextMax = static_cast<int>(sizeof buffer / sizeof buffer[0]);
    ListView_GetItem(list, &item);
    const auto kind = static_cast<TMessageKind>(item.lParam);

    RECT r = d.rcItem;
    FillRect(d.hDC, &r, static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH)));
    int imageWidth = 0;
    if (kind != TMessageKind::Plain) {
        imageWidth = MarkSize;
        const int index = kind == TMessageKind::Success ? 0 : 1;
        ImageList_Draw(_images, index, d.hDC, r.left + 4, r.top + (r.bottom - r.top - MarkSize) / 2, ILD_TRANSPARENT);
    }
    RECT textRect = r;
    textRect.left = r.left + 4 + imageWidth + 9;
    SetBkMode(d.hDC, TRANSPARENT);
    SetTextColor(d.hDC, RGB(0, 0, 0));
    HGDIOBJ old = SelectObject(d.hDC, reinterpret_cast<HFONT>(SendMessageW(list, WM_GETFONT, 0, 0)));
    DrawTextW(d.hDC, buffer, -1, &textRect, DT_SINGLELINE | DT_VCENTER | DT_NOPREFIX | DT_END_ELLIPSIS);
    SelectObject(d.hDC, old);
}

}  // namespace qz
