// The system menu's extra items, checked in-process (menu handles belong to their process,
// so the GUI driver cannot read them): on a menu laid out like a standard system menu, and on
// the real system menu of a window styled like the main dialog.
#include <windows.h>

#include <gtest/gtest.h>
#include <string>

#include "resources/resource.h"
#include "ui/gui.h"

namespace {

std::string item_text(HMENU menu, int position) {
    char buf[128] = "";
    GetMenuStringA(menu, UINT(position), buf, sizeof buf, MF_BYPOSITION);
    return buf;
}

bool grayed(HMENU menu, UINT command) {
    UINT state = GetMenuState(menu, command, MF_BYCOMMAND);
    return state != UINT(-1) && (state & MF_GRAYED) != 0;
}

// The three items the program appends, at the end of the menu.
void expect_appended_items(HMENU menu, int count_before) {
    int count = GetMenuItemCount(menu);
    ASSERT_EQ(count, count_before + 3);
    EXPECT_TRUE(GetMenuState(menu, UINT(count - 3), MF_BYPOSITION) & MF_SEPARATOR);
    EXPECT_EQ(GetMenuItemID(menu, count - 2), UINT(IDM_ABOUT));
    EXPECT_EQ(item_text(menu, count - 2), "&About...");
    EXPECT_EQ(GetMenuItemID(menu, count - 1), UINT(IDM_HELP));
    EXPECT_EQ(item_text(menu, count - 1), "&Help...");
    EXPECT_FALSE(grayed(menu, IDM_ABOUT));
    EXPECT_FALSE(grayed(menu, IDM_HELP));
}

TEST(SystemMenu, GraysMaximizeAndSizeAndAppendsAboutAndHelp) {
    HMENU menu = CreatePopupMenu();
    ASSERT_NE(menu, nullptr);
    AppendMenuA(menu, MF_STRING, SC_RESTORE, "&Restore");
    AppendMenuA(menu, MF_STRING, SC_MOVE, "&Move");
    AppendMenuA(menu, MF_STRING, SC_SIZE, "&Size");
    AppendMenuA(menu, MF_STRING, SC_MINIMIZE, "Mi&nimize");
    AppendMenuA(menu, MF_STRING, SC_MAXIMIZE, "Ma&ximize");
    AppendMenuA(menu, MF_SEPARATOR, 0, nullptr);
    AppendMenuA(menu, MF_STRING, SC_CLOSE, "&Close\tAlt+F4");

    extend_system_menu(menu);

    EXPECT_TRUE(grayed(menu, SC_MAXIMIZE));
    EXPECT_TRUE(grayed(menu, SC_SIZE));
    EXPECT_FALSE(grayed(menu, SC_MOVE));
    EXPECT_FALSE(grayed(menu, SC_CLOSE));
    EXPECT_FALSE(grayed(menu, SC_MINIMIZE));
    expect_appended_items(menu, 7);
    DestroyMenu(menu);
}

TEST(SystemMenu, MenuWithoutMaximizeOrSizeStillGetsTheItems) {
    HMENU menu = CreatePopupMenu();
    AppendMenuA(menu, MF_STRING, SC_MOVE, "&Move");
    AppendMenuA(menu, MF_STRING, SC_CLOSE, "&Close");
    extend_system_menu(menu);
    EXPECT_FALSE(grayed(menu, SC_MOVE));
    expect_appended_items(menu, 2);
    DestroyMenu(menu);
}

TEST(SystemMenu, NoMenuIsLeftAlone) { extend_system_menu(nullptr); }

TEST(SystemMenu, RealSystemMenuOfADialogStyledWindow) {
    WNDCLASSA wc = {};
    wc.lpfnWndProc = DefWindowProcA;
    wc.hInstance = GetModuleHandleA(nullptr);
    wc.lpszClassName = "SarveltMenuTest";
    ASSERT_NE(RegisterClassA(&wc), 0);
    HWND window = CreateWindowExA(WS_EX_DLGMODALFRAME, "SarveltMenuTest", "menu test",
                                  WS_POPUP | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME, 0, 0, 200,
                                  100, nullptr, nullptr, wc.hInstance, nullptr);
    ASSERT_NE(window, nullptr) << "no window: this test needs a display";
    HMENU menu = GetSystemMenu(window, FALSE);
    ASSERT_NE(menu, nullptr);
    int before = GetMenuItemCount(menu);
    extend_system_menu(menu);
    // Maximize and Size, where the menu has them, are grayed.
    if (GetMenuState(menu, SC_MAXIMIZE, MF_BYCOMMAND) != UINT(-1)) {
        EXPECT_TRUE(grayed(menu, SC_MAXIMIZE));
    }
    if (GetMenuState(menu, SC_SIZE, MF_BYCOMMAND) != UINT(-1)) {
        EXPECT_TRUE(grayed(menu, SC_SIZE));
    }
    EXPECT_NE(GetMenuState(menu, SC_CLOSE, MF_BYCOMMAND), UINT(-1));
    expect_appended_items(menu, before);
    // The same menu is what the window shows from now on.
    EXPECT_EQ(GetSystemMenu(window, FALSE), menu);
    DestroyWindow(window);
}

}  // namespace
