// Stands in for one of the agent's session programs in the version matrix:
// it only waits, a bounded time, to be found, described and ended. A window
// program, as they are: a console one would get a console host of its own,
// which Wine leaves behind when the program ends before it has started.
#include <windows.h>

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
    Sleep(60000);
    return 0;
}
