// Computing a file's MD5, SHA-1 or SHA-256 digest the way the hash dialog's
// worker does: 512-byte reads (SHA-256: kSha256ReadSize), a progress notice whenever the whole percentage changes, and
// a cancel flag polled after every block. Also the comparison of a computed
// digest with a typed one. Portable: the file is reached through HashFileSource,
// which the Windows dialog implements with its own file calls.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

enum HashKind : int {
    HASH_SHA1 = 1,
    HASH_MD5 = 2,
    HASH_SHA256 = 3,
};

// "SHA1", "MD5" or "SHA256": the dialog's caption and the name of its digest label.
const char* hashKindName(HashKind kind);

// Size of one read of the worker for MD5 and SHA-1.
inline constexpr size_t kHashReadSize = 512;
// SHA-256 reads larger blocks: 512-byte reads would cost more than the digest.
inline constexpr size_t kSha256ReadSize = 256 * 1024;
// Size of one read of the worker for kind.
size_t hashReadSize(HashKind kind);

// The file being hashed, opened for reading only.
class HashFileSource {
  public:
    virtual ~HashFileSource() = default;
    // Opens an existing file for reading, letting others read it too.
    virtual bool open(const std::string& path) = 0;
    // The file's size in bytes.
    virtual bool size(uint64_t& bytes) = 0;
    // Reads up to size bytes; got = 0 at the end of the file. False on a failed read.
    virtual bool read(void* buffer, size_t size, size_t& got) = 0;
    // Closes the file; harmless when it is not open.
    virtual void close() = 0;
};

// A source over the standard library's file streams (the console front end and tests).
std::unique_ptr<HashFileSource> makeStreamHashFileSource();

struct HashOutcome {
    bool computed = false;   // the digest was computed
    bool cancelled = false;  // the cancel flag stopped the reading
    std::string errorText;   // why the computation failed (English), empty otherwise
    std::string digestText;  // lower-case hexadecimal, 32 (MD5), 40 (SHA-1) or 64 (SHA-256) characters
};

// Receives the new whole percentage (1 to 100) each time it changes.
using HashProgress = std::function<void(int percent)>;

// Hashes the file at path. Error texts: "cannot create SHA1 instance",
// "cannot open file", "cannot obtain file size", "cannot read from file",
// "SHA1Input error", "SHA1Result Error , could not compute message digest.".
// A set cancel flag stops the reading after the current block; the outcome is
// then cancelled and carries no digest. The file is closed on every path.
HashOutcome hashFile(HashKind kind, const std::string& path, HashFileSource& source,
                     const std::atomic<int32_t>& cancel, const HashProgress& progress);

// Lower-case hexadecimal text of a digest, two characters per byte.
std::string digestToHex(const uint8_t* digest, size_t size);

// The comparison of the dialog: both texts are trimmed of white space at both
// ends and compared without regard to the case of ASCII letters; a multi-byte
// character of the process's code page (foundation/code_page.h) must match byte for
// byte. An empty computed digest never matches.
bool digestMatches(const std::string& computed, const std::string& typed);
