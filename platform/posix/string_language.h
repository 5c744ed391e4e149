// The language of the native string table. Native only.
#pragma once

// Texts from the English column (true) or the Japanese one (false, the
// default). Entries without an English text stay Japanese.
void useEnglishStrings(bool english);
