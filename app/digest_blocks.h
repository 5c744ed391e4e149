// The message framing shared by MD5, SHA-1 and SHA-256: input is gathered
// into 64-byte blocks (a partial block waits in the digest's buffer), and the
// end is padded with 0x80, zeros and the message length in bits in the last
// eight bytes of the final block. Portable.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

enum class LengthOrder { LittleEndian, BigEndian };

// Feeds size bytes; compress(blocks, count) is called for whole blocks, those
// of the input without copying them. byteCount is the message length so far.
template <typename Compress>
void feedBlocks(uint8_t (&buffer)[64], uint64_t& byteCount, const void* data, size_t size, Compress compress) {
    if (size == 0) return;
    const uint8_t* in = static_cast<const uint8_t*>(data);
    size_t used = size_t(byteCount % 64);
    byteCount += size;
    if (used != 0) {
        size_t take = 64 - used;
        if (size < take) {
            std::memcpy(buffer + used, in, size);
            return;
        }
        std::memcpy(buffer + used, in, take);
        compress(buffer, size_t(1));
        in += take;
        size -= take;
    }
    if (size >= 64) {
        compress(in, size / 64);
        in += size - size % 64;
        size %= 64;
    }
    if (size != 0) std::memcpy(buffer, in, size);
}

// Pads the message of byteCount bytes and compresses the last block(s).
template <typename Compress>
void padBlocks(uint8_t (&buffer)[64], uint64_t byteCount, LengthOrder order, Compress compress) {
    uint64_t bitCount = byteCount * 8;  // the length modulo 2^64
    size_t used = size_t(byteCount % 64);
    buffer[used++] = 0x80;
    if (used > 56) {
        std::memset(buffer + used, 0, 64 - used);
        compress(buffer, size_t(1));
        used = 0;
    }
    std::memset(buffer + used, 0, 56 - used);
    for (int i = 0; i < 8; ++i)
        buffer[56 + i] = uint8_t(bitCount >> (order == LengthOrder::BigEndian ? 56 - 8 * i : 8 * i));
    compress(buffer, size_t(1));
}
