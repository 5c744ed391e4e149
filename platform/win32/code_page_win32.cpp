// Windows side of the code-page seam: the ANSI code page decides how the
// program's byte strings are stepped through.
#include <windows.h>

#include "foundation/code_page.h"
#include "platform/system_code_page.h"

namespace {

bool systemLeadByte(unsigned char byte) { return IsDBCSLeadByte(byte) != FALSE; }

}  // namespace

void platformSetSystemCodePage() {
    const UINT acp = GetACP();
    CPINFO info;
    if (acp == 932) {
        setCodePage(CODE_PAGE_932);
    } else if (acp == CP_UTF8) {
        setCodePage(CODE_PAGE_UTF8);
    } else if (GetCPInfo(CP_ACP, &info) && info.MaxCharSize > 1) {
        setCodePage(CODE_PAGE_DOUBLE_BYTE, systemLeadByte);
    } else {
        setCodePage(CODE_PAGE_SINGLE_BYTE);
    }
}
