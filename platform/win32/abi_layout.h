// The sizes and offsets of Windows structures as the system lays them out in
// 32-bit and in 64-bit programs, for the compile-time checks beside the code
// that hands a structure to Windows by its size (TB_BUTTONSTRUCTSIZE, cbSize
// fields), fills one the system reads at fixed offsets, reads one the system
// filled, or copies one into another process. The same sources build both;
// the 32-bit programs cannot be run on the build machines, so a header or
// packing mistake in that build would otherwise go unseen.
//   static_assert(sizeof(TBBUTTON) == abiSize(20, 32), "TBBUTTON");
#pragma once

#include <cstddef>

#ifdef _WIN64
constexpr bool kWin64Build = true;
#else
constexpr bool kWin64Build = false;
#endif

// The figure for this build: win32 in a 32-bit program, win64 in a 64-bit one.
constexpr std::size_t abiSize(std::size_t win32, std::size_t win64) { return kWin64Build ? win64 : win32; }

// Window data, LPARAM, WPARAM and LRESULT carry pointers: all of pointer size.
static_assert(sizeof(void*) == abiSize(4, 8), "a 32-bit or a 64-bit Windows program");
