// Every control, command, menu item and resource id of Sarvelt, each defined once.
// Included by the resource script and by the C++ code.
#ifndef SARVELT_RESOURCE_H
#define SARVELT_RESOURCE_H

// winuser.h names two standard cursors IDC_SIZE and IDC_HELP; here those names are the
// Size field and the HELP button, so the cursor macros are dropped (the program loads only
// the arrow cursor). Win32 files include windows.h before this header.
#undef IDC_SIZE
#undef IDC_HELP

#define IDD_MAIN 155

// Controls of the main dialog (their ids are also the commands they send).
#define IDC_PATH 133
#define IDC_BROWSE 153
#define IDC_SIZE 132
#define IDC_TYPE 131
#define IDC_SEARCH 136
#define IDC_REPLACE 139
#define IDC_DELAY 138
#define IDC_RUN 128
#define IDC_CANCEL_RESET 150
#define IDC_PAUSE 151
#define IDC_LICENSE 137
#define IDC_QUIT 8
#define IDC_STATUS 135
#define IDC_HELP 134
#define IDC_PROGRESS 152
#define IDC_NAME_LEN 157
#define IDC_AGE_DAYS 158
#define IDC_PREVIEW 160
#define IDC_UNDO 161

// Commands the program sends or posts to itself; 2 is the Esc key (IDCANCEL).
#define CMD_ESCAPE 2
#define CMD_INIT 200
#define CMD_READ_FIELDS 201
#define CMD_DEFAULTS 202
#define CMD_WAITING 400
#define CMD_NOTHING 401

// Items added to the system menu.
#define IDM_ABOUT 1
#define IDM_HELP 134

// Labels of the main dialog carry no id of their own.
#define IDC_LABEL -1

// The program's icon is a named resource; the resource script names it IDI_ICON, the code
// loads it by this string.
#ifndef RC_INVOKED
#define ICON_RESOURCE_NAME "IDI_ICON"
#endif

// The application manifest's resource id (CREATEPROCESS_MANIFEST_RESOURCE_ID).
#define MANIFEST_RESOURCE_ID 1

#endif
