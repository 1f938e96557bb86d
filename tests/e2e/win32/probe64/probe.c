/* A 64-bit program for the 32-bit agent to meet under WoW64: it lives only in
   the 64-bit system folder, so a 32-bit reader that leaves the file-system
   redirection on finds no such file. It waits the seconds it is given. */
#include <stdlib.h>
#include <windows.h>

int main(int argc, char** argv) {
    int seconds = argc > 1 ? atoi(argv[1]) : 60;
    if (seconds < 0 || seconds > 3600) seconds = 60;
    Sleep((DWORD)seconds * 1000u);
    return 0;
}
