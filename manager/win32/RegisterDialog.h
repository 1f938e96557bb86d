#pragma once
// The registration dialog over TRegisterFormModel.
#include <windows.h>

#include <optional>
#include <string>

#include "manager/Register.h"

namespace qz {

class TRegisterDialog {
public:
    explicit TRegisterDialog(HINSTANCE instance) : _instance(instance) {}

    std::string ServerDirectory;
    std::string ServerURI;
    std::string XmlResponse;

    // Modal over owner; the registration document when it closed with OK.
    std::optional<std::string> ShowModal(HWND owner);

private:
    static INT_PTR CALLBACK DialogProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);
    void FormShow();
    void FillCombo(int id, const std::vector<TServerObject>& entries, int selected);
    // A choice in one of the three lists; a room narrows the other two.
    void ComboChange(int id);
    void ButtonOKClick();

    HINSTANCE _instance;
    HWND _hwnd = nullptr;
    TRegisterFormModel _model;
};

}  // namespace qz
