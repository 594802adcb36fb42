// The folder picker: the shell's "browse for folder" box, with OLE set up around it.
#include <ole2.h>
#include <shlobj.h>
#include <string.h>
#include <wchar.h>

#include <string>

#include "ui/gui.h"

int browse_for_folder(HWND owner, std::string *out) {
    out->clear();
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
        // Asked for in UTF-16 with room for the longest path the system has; the 8-bit call
        // would stop at MAX_PATH. Handed on only where the code page holds it exactly.
        std::wstring path(32768, L'\0');
        if (SHGetPathFromIDListEx(chosen, &path[0], DWORD(path.size()), GPFIDL_DEFAULT)) {
            path.resize(wcslen(path.c_str()));
            int n = WideCharToMultiByte(CP_ACP, 0, path.c_str(), int(path.size()), nullptr, 0,
                                        nullptr, nullptr);
            if (n > 0) {
                std::string narrow(size_t(n), '\0');
                WideCharToMultiByte(CP_ACP, 0, path.c_str(), int(path.size()), &narrow[0], n,
                                    nullptr, nullptr);
                std::wstring back(path.size() + 1, L'\0');
                int m = MultiByteToWideChar(CP_ACP, 0, narrow.data(), n, &back[0],
                                            int(back.size()));
                if (m >= 0) back.resize(size_t(m));
                if (back == path) {
                    *out = std::move(narrow);
                    result = 1;
                }
            }
        }
        CoTaskMemFree(chosen);
    }
    if (SUCCEEDED(ole)) OleUninitialize();
    return result;
}
