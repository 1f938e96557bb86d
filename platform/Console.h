#pragma once
// The console the program may have, and messages to the person who started
// it. Nothing here raises.
#include <cstdint>
#include <functional>
#include <string>

namespace platform::sys {

// Console control events a handler receives.
constexpr uint32_t CtrlLogoffEvent = 5;
constexpr uint32_t CtrlShutdownEvent = 6;

// Handler gets the console control event; returns whether it handled it.
void SetConsoleCtrlHandler(std::function<bool(uint32_t event)> handler);
bool HasConsole();
// A message to the person who started the program: the console when there is
// one, else a message box with one OK button.
void ShowMessage(const std::string& text, bool isError);

}  // namespace platform::sys
