// POSIX side of the code-page seam: the console front end's texts are UTF-8.
#include "foundation/code_page.h"
#include "platform/system_code_page.h"

void platformSetSystemCodePage() { setCodePage(CODE_PAGE_UTF8); }
