// Resource IDs of the new-download dialog (template 104). Shared by
// resources/new_download_dialog.rc and app/win32/ (C preprocessor only).
#pragma once

#define IDD_NEW_DOWNLOAD 104

#define IDC_ND_URL 1000
#define IDC_ND_REFERER 1001
#define IDC_ND_PROXY 1003
#define IDC_ND_BROWSE 1009
#define IDC_ND_NO_CACHE 1030
#define IDC_ND_SPLIT 1031
#define IDC_ND_SAVE_DEFAULT 1032
#define IDC_ND_SPEED_LIMIT 1033
#define IDC_ND_SPEED_VALUE 1034
#define IDC_ND_NO_REDIRECT 1035
#define IDC_ND_RETRY_ON_ERROR 1036
#define IDC_ND_RESTART_IF_NO_RESUME 1037
#define IDC_ND_FOLDER 1038
#define IDC_ND_DESKTOP 1039
#define IDC_ND_CLOSE_AT_END 1048
// OK and Cancel are IDOK (1) and IDCANCEL (2).
