// MD5 message digest (RFC 1321), used to verify a finished download.
// Portable: no OS header; shared by the Windows program and the console front end.
#pragma once

#include <cstddef>
#include <cstdint>

class Md5 {
  public:
    static constexpr size_t kDigestSize = 16;

    Md5() { reset(); }

    // Starts a new message.
    void reset();
    // Feeds size bytes of the message.
    void update(const void* data, size_t size);
    // Pads the message, writes the 16-byte digest and leaves the object to be reset.
    void finish(uint8_t digest[kDigestSize]);

  private:
    void transform(const uint8_t block[64]);

    uint32_t state_[4];
    uint64_t byteCount_;  // message length so far; the padding stores it in bits
    uint8_t buffer_[64];  // a partial block waiting for more bytes
};
