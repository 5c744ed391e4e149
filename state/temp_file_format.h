// Layout constants of the temporary download file: a fixed state block at the
// start (the resume state text, then one NUL byte), the data after it.
// Portable: no OS header.
#pragma once

#include <cstddef>
#include <cstdint>

// Size of the state block; byte n of the download is at file offset
// STATE_BLOCK_SIZE + n.
inline constexpr size_t STATE_BLOCK_SIZE = 512000;

// First line of every state text. A first line that is a leading part of it
// ("Dorimel:5" included) is accepted when loading.
inline constexpr char STATE_MARKER[] = "Dorimel:500";

// Appended to the target file name to name the temporary file.
inline constexpr char TEMP_FILE_SUFFIX[] = ".dorimelt";

// Largest download size whose data offsets still fit a signed 64-bit file
// position: larger sizes in a loaded state are refused.
inline constexpr uint64_t MAX_DOWNLOAD_SIZE = (uint64_t(1) << 62);

// Pacing of the state saves done by the data writer.
inline constexpr uint64_t STATE_SAVE_MIN_BYTES = 102400;
inline constexpr uint32_t STATE_SAVE_MIN_MS = 5000;
