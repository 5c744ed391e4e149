// Resource and command IDs of the download window: its dialog template, the
// controls, the toolbar inside control 1027, its menus, icons and bitmaps.
// Shared by resources/download_window.rc and app/win32/ (C preprocessor only).
#pragma once

#define IDD_DOWNLOAD_WINDOW 101

// Icons: window icon per job stage.
#define IDI_STAGE_ENDED 102
#define IDI_STAGE_RUNNING 115
#define IDI_STAGE_STOPPED 117

// Bitmaps: the toolbar's four 16 x 15 images, the logs' eight 16 x 15 images.
#define IDB_TOOLBAR 114
#define IDB_LOG_KINDS 106

// Menus (each holds one popup, shown with TrackPopupMenu).
#define IDR_MENU_LOG 106      // "ONLISTVIEW": context menu of the logs
#define IDR_MENU_OPTION 119   // "OPTION": toolbar button 403
#define IDR_MENU_HASH_PRE 123 // "MD": before the file was moved into place
#define IDR_MENU_HASH_POST 124 // "MD": after the file was moved into place

// Controls of template 101.
#define IDC_CLOSE_AT_END 1019
#define IDC_RETRIES 1026
#define IDC_TOOLBAR_HOST 1027
#define IDC_ELAPSED 1028
#define IDC_PROGRESS 1029
#define IDC_REMAINING 1030
#define IDC_SPEED 1031
#define IDC_URL 1033
#define IDC_TARGET_PATH 1034
#define IDC_LOG_TABS 1004
#define IDC_HASH_MENU 1041
#define IDC_OPEN_FILE 3
#define IDC_OPEN_FOLDER 4
// The close/cancel button is IDCANCEL (2).

// Labels (static texts without a role of their own).
#define IDC_LABEL_URL 1050
#define IDC_LABEL_TARGET 1051
#define IDC_LABEL_ELAPSED 1052
#define IDC_LABEL_REMAINING 1053
#define IDC_LABEL_SPEED 1054
#define IDC_LABEL_RETRIES 1055

// The toolbar (child of control 1027) and its commands.
#define IDC_TOOLBAR 111
#define CMD_RESUME 400
#define CMD_STOP 401
#define CMD_SCROLL_LOCK 402
#define CMD_SETTINGS 403

// Logs: list views 100 and 101 inside the tab control.
#define IDC_LOG_FIRST 100

// Commands of the menus.
#define CMD_LOG_COPY 40004
#define CMD_LOG_COPY_ALL 40005
#define CMD_LOG_DELETE_ALL 40006
#define CMD_OPT_RESTART_IF_NO_RESUME 50008
#define CMD_OPT_RESETUP 50009
#define CMD_OPT_SPEED_LIMIT 50011
#define CMD_OPT_NO_REDIRECT 50012
#define CMD_OPT_RETRY_ON_ERROR 50013
#define CMD_HASH_SHA1_COMPUTE 50014
#define CMD_HASH_MD5_COMPUTE 50015
#define CMD_HASH_MD5_ENTER 50016
#define CMD_HASH_SHA1_ENTER 50017
#define CMD_HASH_SHA256_COMPUTE 50018
#define CMD_HASH_SHA256_ENTER 50019

// System menu entries appended by the window.
#define SYSCMD_ABOUT 16
#define SYSCMD_HOME_PAGE 32
