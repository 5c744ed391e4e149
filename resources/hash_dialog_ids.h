// Resource IDs of the hash dialog (template 124). Shared by
// resources/hash_dialog.rc and app/win32/ (C preprocessor only).
#pragma once

#define IDD_HASH 124

#define IDC_HASH_FILE 1002
#define IDC_HASH_DIGEST 1042
#define IDC_HASH_NAME 1043
#define IDC_HASH_PERCENT 1044
#define IDC_HASH_ENTERED 1045
#define IDC_HASH_RESULT 1047
// The cancel / close button is IDCANCEL (2).
