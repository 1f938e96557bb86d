#include "platform/Console.h"
#include "platform/fake/FakeWorld.h"

namespace platform::sys {

void SetConsoleCtrlHandler(std::function<bool(uint32_t)> handler) {
    fake::Locked()->consoleHandler = std::move(handler);
}

bool HasConsole() { return true; }

void ShowMessage(const std::string& text, bool isError) {
    fake::Locked()->messages.push_back((isError ? "E:" : "I:") + text);
}

}  // namespace platform::sys
