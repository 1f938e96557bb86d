// The capture program: the agent runs as a service on a desktop nobody sees,
// so it starts this on the interactive desktop to take the picture, which
// comes back through standard output.
#include <windows.h>

#include "platform/Screen.h"

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    return platform::screen::WriteCaptureTo(GetStdHandle(STD_OUTPUT_HANDLE)) ? 0 : 1;
}
