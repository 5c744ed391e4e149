// SHA-256 message digest (FIPS 180-4), used to verify a finished download.
// Portable: no OS header; shared by the Windows program and the console front
// end. On x86 processors with the SHA extensions the blocks are compressed
// with those instructions (found at run time); the portable code gives the
// same digests everywhere else.
#pragma once

#include <cstddef>
#include <cstdint>

class Sha256 {
  public:
    static constexpr size_t kDigestSize = 32;

    Sha256() { reset(); }

    // Starts a new message.
    void reset();
    // Feeds size bytes of the message.
    void update(const void* data, size_t size);
    // Pads the message, writes the 32-byte digest and leaves the object to be reset.
    void finish(uint8_t digest[kDigestSize]);

    // Whether the processor's SHA instructions are used; forcePortable(true)
    // makes every object use the portable code (for tests and benchmarks).
    static bool usesShaInstructions();
    static void forcePortable(bool portable);

  private:
    void blocks(const uint8_t* data, size_t count);

    uint32_t state_[8];
    uint64_t byteCount_;  // message length so far; the padding stores it in bits
    uint8_t buffer_[64];  // a partial block waiting for more bytes
};
