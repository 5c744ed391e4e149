// ToolbarControl: a toolbar window (ToolbarWindow32) that the program creates
// itself inside a parent, which destroys it. Windows side.
#pragma once

#include "app/win32/window.h"

class ToolbarControl : public Window {
  public:
    // Creates the toolbar with exactly that style (include WS_CHILD), position and
    // size, marks it not owned (the parent destroys it) and sends the size of
    // the button structure. False when the window cannot be created.
    bool create(DWORD style, const RECT& rect, HWND parent, int controlId);
};
