// The settings program's list of applications allowed to load the browser
// module: from the dialog's lines to the "App_%d" names and the "AllowLoad"
// text, and back. Portable (no OS header), unit-tested natively.
#pragma once

#include <string>
#include <vector>

// Size of one "App_%d" block in the settings file: a zero-padded file name.
constexpr size_t APP_NAME_BLOCK_SIZE = 260;

struct AppList {
    std::vector<std::string> names;  // non-empty lines in order, each at most 259 bytes
    std::string allowLoad;           // every name followed by ";"
};

// Builds the list from the edit control's lines: empty lines are skipped (they
// use up no number), lines are not trimmed, and each keeps at most 259 bytes
// (a cut never splits a Shift-JIS pair).
AppList buildAppList(const std::vector<std::string>& lines);

// The "AllowLoad" value: "*" for all applications (mode 0), else the list.
std::string allowLoadValue(int applicationMode, const AppList& list);

// The edit control's text for names read back from the settings file: each
// name followed by "\r\n".
std::string appListText(const std::vector<std::string>& names);
