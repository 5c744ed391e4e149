// The hash worker's reading loop and the digest comparison (portable).
#include "app/hash_file.h"

#include <fstream>
#include <vector>

#include "foundation/code_page.h"
#include "app/md5.h"
#include "app/sha1.h"
#include "app/sha256.h"

namespace {

// The digests behind one face, with SHA-1's status codes kept.
class Digest {
  public:
    explicit Digest(HashKind kind) : kind_(kind) {}

    bool reset() {
        if (kind_ == HASH_SHA256) {
            sha256_.reset();
            return true;
        }
        return kind_ == HASH_MD5 ? (md5_.reset(), true) : sha1_.reset() == SHA1_SUCCESS;
    }
    bool input(const void* data, size_t size) {
        if (kind_ == HASH_SHA256) {
            sha256_.update(data, size);
            return true;
        }
        if (kind_ == HASH_MD5) {
            md5_.update(data, size);
            return true;
        }
        return sha1_.input(data, size) == SHA1_SUCCESS;
    }
    bool result(std::string& hex) {
        if (kind_ == HASH_SHA256) {
            uint8_t digest[Sha256::kDigestSize];
            sha256_.finish(digest);
            hex = digestToHex(digest, sizeof digest);
            return true;
        }
        if (kind_ == HASH_MD5) {
            uint8_t digest[Md5::kDigestSize];
            md5_.finish(digest);
            hex = digestToHex(digest, sizeof digest);
            return true;
        }
        uint8_t digest[Sha1::kDigestSize];
        if (sha1_.result(digest) != SHA1_SUCCESS) return false;
        hex = digestToHex(digest, sizeof digest);
        return true;
    }

  private:
    HashKind kind_;
    Md5 md5_;
    Sha1 sha1_;
    Sha256 sha256_;
};

class StreamHashFileSource : public HashFileSource {
  public:
    bool open(const std::string& path) override {
        close();
        stream_.open(path, std::ios::in | std::ios::binary);
        return stream_.is_open();
    }
    bool size(uint64_t& bytes) override {
        stream_.seekg(0, std::ios::end);
        std::streamoff end = stream_.tellg();
        stream_.seekg(0, std::ios::beg);
        if (!stream_ || end < 0) return false;
        bytes = uint64_t(end);
        return true;
    }
    bool read(void* buffer, size_t size, size_t& got) override {
        stream_.read(static_cast<char*>(buffer), std::streamsize(size));
        got = size_t(stream_.gcount());
        if (stream_.bad()) return false;
        if (stream_.fail()) stream_.clear(stream_.rdstate() & ~std::ios::failbit);
        return true;
    }
    void close() override {
        if (stream_.is_open()) stream_.close();
        stream_.clear();
    }

  private:
    std::ifstream stream_;
};

bool isBlank(unsigned char c) {
    return c == ' ' || (c >= '\t' && c <= '\r');
}

std::string trimmed(const std::string& text) {
    size_t begin = 0, end = text.size();
    while (begin < end && isBlank(text[begin])) ++begin;
    // No byte of a multi-byte character (Shift-JIS trail bytes start at 0x40,
    // UTF-8 ones at 0x80) is white space, so the scan from the end cannot cut
    // a character in half.
    while (end > begin && isBlank(text[end - 1])) --end;
    return text.substr(begin, end - begin);
}

unsigned char asciiLower(unsigned char c) {
    return (c >= 'A' && c <= 'Z') ? c + ('a' - 'A') : c;
}

}  // namespace

const char* hashKindName(HashKind kind) {
    return kind == HASH_SHA256 ? "SHA256" : kind == HASH_MD5 ? "MD5" : "SHA1";
}

size_t hashReadSize(HashKind kind) {
    return kind == HASH_SHA256 ? kSha256ReadSize : kHashReadSize;
}

std::unique_ptr<HashFileSource> makeStreamHashFileSource() {
    return std::make_unique<StreamHashFileSource>();
}

std::string digestToHex(const uint8_t* digest, size_t size) {
    static const char kHex[] = "0123456789abcdef";
    std::string hex;
    hex.reserve(size * 2);
    for (size_t i = 0; i < size; ++i) {
        hex += kHex[digest[i] >> 4];
        hex += kHex[digest[i] & 15];
    }
    return hex;
}

HashOutcome hashFile(HashKind kind, const std::string& path, HashFileSource& source,
                     const std::atomic<int32_t>& cancel, const HashProgress& progress) {
    HashOutcome outcome;
    Digest digest(kind);
    if (!digest.reset()) {
        outcome.errorText = "cannot create SHA1 instance";
        return outcome;
    }
    if (!source.open(path)) {
        outcome.errorText = "cannot open file";
        return outcome;
    }
    uint64_t fileSize = 0;
    if (!source.size(fileSize)) {
        outcome.errorText = "cannot obtain file size";
        source.close();
        return outcome;
    }

    std::vector<char> block(hashReadSize(kind));
    uint64_t total = 0;
    int lastPercent = 0;
    for (;;) {
        size_t got = 0;
        if (!source.read(block.data(), block.size(), got)) {
            outcome.errorText = "cannot read from file";
            source.close();
            return outcome;
        }
        if (got != 0 && !digest.input(block.data(), got)) {
            outcome.errorText = "SHA1Input error";
            source.close();
            return outcome;
        }
        total += got;
        if (fileSize != 0) {
            // A file that grows while it is read must not report more than 100.
            uint64_t percent = total >= fileSize ? 100 : total * 100 / fileSize;
            if (int(percent) != lastPercent) {
                lastPercent = int(percent);
                if (progress) progress(lastPercent);
            }
        }
        if (cancel.load(std::memory_order_relaxed) != 0) {
            outcome.cancelled = true;
            source.close();
            return outcome;
        }
        if (got == 0) break;
    }

    if (!digest.result(outcome.digestText)) {
        outcome.errorText = "SHA1Result Error , could not compute message digest.";
        source.close();
        return outcome;
    }
    outcome.computed = true;
    source.close();
    return outcome;
}

bool digestMatches(const std::string& computed, const std::string& typed) {
    std::string a = trimmed(computed), b = trimmed(typed);
    if (a.empty() || a.size() != b.size()) return false;
    const char* end = a.data() + a.size();
    for (size_t i = 0; i < a.size();) {
        size_t length = charLength(a.data() + i, end);
        if (length > 1) {
            // A multi-byte character matches only byte for byte: its trail
            // bytes may look like ASCII letters but are not to be folded.
            if (a.compare(i, length, b, i, length) != 0) return false;
        } else if (asciiLower(a[i]) != asciiLower(b[i])) {
            return false;
        }
        i += length;
    }
    return true;
}
