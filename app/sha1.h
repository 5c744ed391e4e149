// SHA-1 message digest (FIPS 180-1), used to verify a finished download.
// The interface reports errors the way RFC 3174's reference interface does:
// reset, input and result each return a status code.
// Portable: no OS header; shared by the Windows program and the console front end.
#pragma once

#include <cstddef>
#include <cstdint>

enum Sha1Status : int {
    SHA1_SUCCESS = 0,
    SHA1_NULL = 1,            // a null pointer was passed
    SHA1_INPUT_TOO_LONG = 2,  // the message reached 2^64 bits
    SHA1_STATE_ERROR = 3,     // input was fed after the result was taken
};

class Sha1 {
  public:
    static constexpr size_t kDigestSize = 20;

    Sha1() { reset(); }

    // Starts a new message.
    Sha1Status reset();
    // Feeds size bytes. After result() this fails with SHA1_STATE_ERROR until
    // reset(); once an input has failed every later call reports that failure.
    Sha1Status input(const void* data, size_t size);
    // Pads the message (first call only) and writes the 20-byte digest; may be
    // called again for the same digest.
    Sha1Status result(uint8_t digest[kDigestSize]);

  private:
    void transform(const uint8_t block[64]);
    void pad();

    uint32_t state_[5];
    uint64_t byteCount_;
    uint8_t buffer_[64];
    bool computed_;
    Sha1Status corrupted_;  // SHA1_SUCCESS while the message is sound
};
