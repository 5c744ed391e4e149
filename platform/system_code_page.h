// Platform seam: chooses the process's code page (foundation/code_page.h) from the
// system at start-up. Windows: code page 932 when GetACP() is 932, another
// double-byte ANSI code page through IsDBCSLeadByte, else single-byte.
// POSIX: UTF-8 (the console front end's texts are UTF-8).
#pragma once

void platformSetSystemCodePage();
