// Stand-in for "KAVO_data\KAVO_interface.exe": writes its full command line
// and current folder to "KAVO_interface_started.txt" in the folder it was
// started in, then ends.
#include <windows.h>

#include <cstdio>

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
    char cwd[MAX_PATH] = "";
    GetCurrentDirectoryA(MAX_PATH, cwd);
    FILE* f = fopen("KAVO_interface_started.txt", "wb");
    if (!f) return 1;
    fprintf(f, "cmdline: %s\ncwd: %s\n", GetCommandLineA(), cwd);
    fclose(f);
    return 0;
}
