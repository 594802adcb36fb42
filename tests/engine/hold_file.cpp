// hold_file <path> <milliseconds> <marker>: opens the file at path as a plain reader does
// (sharing reads and writes, not deletion), creates marker once it holds the file, and lets go
// after the given time. Another program's brief hold on a file, for the lock tests.
#include <windows.h>

#include <stdlib.h>

int main(int argc, char **argv) {
    if (argc != 4) return 2;
    HANDLE h = CreateFileA(argv[1], GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                           OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE) return 1;
    CloseHandle(CreateFileA(argv[3], GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
    Sleep(DWORD(atoi(argv[2])));
    CloseHandle(h);
    return 0;
}
