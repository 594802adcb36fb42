// The main window's system menu: the window cannot be maximised or resized, and About and
// Help are reachable from the menu.
#include <windows.h>

#include "resources/resource.h"
#include "ui/gui.h"

void extend_system_menu(HMENU menu) {
    if (!menu) return;
    EnableMenuItem(menu, SC_MAXIMIZE, MF_BYCOMMAND | MF_GRAYED);
    EnableMenuItem(menu, SC_SIZE, MF_BYCOMMAND | MF_GRAYED);
    AppendMenuA(menu, MF_SEPARATOR, 0, nullptr);
    AppendMenuA(menu, MF_STRING, IDM_ABOUT, "&About...");
    AppendMenuA(menu, MF_STRING, IDM_HELP, "&Help...");
}
