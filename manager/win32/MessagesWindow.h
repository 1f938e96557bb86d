#pragma once
// The wizard's progress list: a borderless pop-up over the main window.
#include <windows.h>
#include <commctrl.h>

#include <string>

#include "manager/Messages.h"

namespace qz {

class TMessagesWindow : public TMessagesSink {
public:
    // Creates the window hidden, owned by owner.
    void Create(HINSTANCE instance, HWND owner);
    HWND Handle() const { return _hwnd; }

    // FormShow: empty list, animation running, both buttons disabled.
    void Show();
    void AddLine(TMessageKind kind, const std::string& line) override;
    // The wizard's end: buttons enabled, the animation stopped and hidden, Finish focused.
    void Done();

private:
    static INT_PTR CALLBACK DialogProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);
    void Init();
    void DrawLine(const DRAWITEMSTRUCT& item);
    // Back: the window goes and the main window comes back.
    void Close();

    HWND _hwnd = nullptr;
    HWND _owner = nullptr;
    HINSTANCE _instance = nullptr;
    HIMAGELIST _images = nullptr;
};

}  // namespace qz
