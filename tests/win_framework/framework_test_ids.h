// Resource IDs of the window framework's test program.
#pragma once

#define IDD_PROBE 201
#define IDD_COMBO 202
#define IDC_PROBE_EDIT 1001
#define IDC_PROBE_BUTTON 1002
#define IDC_COMBO 1003
