// ComboBoxExControl: an extended combo box (class ComboBoxEx32) attached from a
// dialog item and driven by its messages. Windows side.
#pragma once

#include "app/win32/window.h"

class ComboBoxExControl : public Window {
  public:
    // Number of items in the list (CB_ERR, that is -1, on failure).
    int count() const;
    // Inserts a text-only item at index (-1: at the end). Returns its index or -1.
    int insertItem(int index, const char* text);
    // Inserts only when no item has exactly this text (case-insensitive).
    // Returns the index of the new or the existing item, -1 on failure.
    int insertIfAbsent(int index, const char* text);
    // Copies item index's text into buffer (always terminated). False on failure.
    bool getItem(int index, char* buffer, int size) const;
    // Text of the control's edit child; empty when it has none.
    Text getEditText() const;
    // Sets the text of the edit child; nothing when it has none.
    void setEditText(const char* text) const;
    // Selects item index (-1 clears the selection).
    void select(int index) const;
};
