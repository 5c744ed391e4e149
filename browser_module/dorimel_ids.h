// Fixed COM identifiers shared by DorimelDLM.dll (the browser module) and
// DorimelServer.exe (the settings program and automation launcher). Windows side.
#pragma once

#include <windows.h>

// The browser module's class: download manager and Browser Helper Object.
// {DC68ED65-D980-406A-8EF4-267CE329DCFC}
static const CLSID CLSID_DorimelDownloadHook = {
    0xdc68ed65, 0xd980, 0x406a, {0x8e, 0xf4, 0x26, 0x7c, 0xe3, 0x29, 0xdc, 0xfc}};

// The automation launcher "DorimelServer.Launcher".
// {92EB855D-5C86-4990-A07F-54AF58718DA3}
static const CLSID CLSID_DorimelLauncher = {
    0x92eb855d, 0x5c86, 0x4990, {0xa0, 0x7f, 0x54, 0xaf, 0x58, 0x71, 0x8d, 0xa3}};

// The launcher's dispatch interface (one member, yaru, dispatch ID 1).
// {D81662FE-C8BE-448A-94DB-2FA062CB5CB3}
static const IID IID_IDorimelLauncher = {
    0xd81662fe, 0xc8be, 0x448a, {0x94, 0xdb, 0x2f, 0xa0, 0x62, 0xcb, 0x5c, 0xb3}};

// Registry text forms of the identifiers above (what StringFromIID gives).
#define DORIMEL_DOWNLOAD_HOOK_CLSID_TEXT "{DC68ED65-D980-406A-8EF4-267CE329DCFC}"
#define DORIMEL_LAUNCHER_CLSID_TEXT "{92EB855D-5C86-4990-A07F-54AF58718DA3}"
