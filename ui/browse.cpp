// The folder picker: the shell's "browse for folder" box, with OLE set up around it.
#include <ole2.h>
#include <shlobj.h>
#include <string.h>

#include "ui/gui.h"

int browse_for_folder(HWND owner, char *out, int room) {
    if (room <= 0) return 0;
    out[0] = '\0';
    // The picker's edit box and file entries need OLE on this thread; a failed start is
    // released like a successful one, as the call's contract asks.
    HRESULT ole = OleInitialize(nullptr);

    char title[] = "Please choose a folder, please. :-)";
    BROWSEINFOA info;
    memset(&info, 0, sizeof info);
    info.hwndOwner = owner;
    info.pidlRoot = nullptr;        // the whole namespace
    info.pszDisplayName = nullptr;  // no display name wanted
    info.lpszTitle = title;
    info.ulFlags = BIF_RETURNONLYFSDIRS | BIF_EDITBOX | BIF_BROWSEINCLUDEFILES;  // 0x4011
    info.lpfn = nullptr;

    int result = 0;
    LPITEMIDLIST chosen = SHBrowseForFolderA(&info);
    if (chosen) {
        // SHGetPathFromIDListA writes up to MAX_PATH bytes; only a path that fits out is
        // handed on.
        char path[MAX_PATH + 1];
        path[0] = '\0';
        if (SHGetPathFromIDListA(chosen, path) && strlen(path) < size_t(room)) {
            strcpy(out, path);
            result = 1;
        }
        CoTaskMemFree(chosen);
    }
    if (SUCCEEDED(ole)) OleUninitialize();
    return result;
}
