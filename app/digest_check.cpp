// The console front end's digest options and the check of the finished file.
// Portable.
#include "app/digest_check.h"

#include <atomic>
#include <cstring>

#include "app/startup.h"

namespace {

// String-table entries of the console's digest texts.
enum : unsigned {
    kDigestMissing = 202,     // "%1 needs a digest"
    kDigestMalformed = 203,   // "%1 needs %2 hexadecimal digits: " + the value
    kDigestMatches = 204,     // "%1 %2 OK"
    kDigestDiffers = 205,     // "%1 mismatch: expected %2, got " + the digest
    kDigestFailed = 206,      // "%1 check failed: " + why
    kFileUnreadable = 207,    // why, when the file cannot be opened or read
};

// The hash dialog's reason (its own fixed English texts) in the console's
// language: the file's troubles are the user's business, the rest (the
// digest code failing) is shown as it is.
std::string failureText(const std::string& dialogText) {
    if (dialogText == "cannot open file" || dialogText == "cannot obtain file size" ||
        dialogText == "cannot read from file")
        return loadStringText(kFileUnreadable);
    return dialogText;
}

bool isHexDigits(const std::string& text, size_t count) {
    size_t begin = text.find_first_not_of(" \t");
    size_t end = text.find_last_not_of(" \t");
    if (begin == std::string::npos || end - begin + 1 != count) return false;
    for (size_t i = begin; i <= end; ++i) {
        char c = text[i];
        bool hex = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
        if (!hex) return false;
    }
    return true;
}

}  // namespace

bool takeDigestOptions(int& argc, char** argv, std::vector<DigestCheck>& checks,
                       std::string& error) {
    int kept = 1;
    for (int i = 1; i < argc; ++i) {
        const char* option = argv[i];
        bool md5 = std::strcmp(option, "--md5") == 0;
        bool sha1 = std::strcmp(option, "--sha1") == 0;
        bool sha256 = std::strcmp(option, "--sha256") == 0;
        if (!md5 && !sha1 && !sha256) {
            argv[kept++] = argv[i];
            // Any other option takes the next argument as its value, whatever
            // it looks like ("-rf --sha1" sends the referer "--sha1").
            if (option[0] == '-' && i + 1 < argc) argv[kept++] = argv[++i];
            continue;
        }
        if (i + 1 >= argc) {
            error = fillText(kDigestMissing, option);
            return false;
        }
        std::string value = argv[++i];
        size_t digits = md5 ? 32 : sha1 ? 40 : 64;
        if (!isHexDigits(value, digits)) {
            error = fillText(kDigestMalformed, option, std::to_string(digits)) + value;
            return false;
        }
        checks.push_back({md5 ? HASH_MD5 : sha1 ? HASH_SHA1 : HASH_SHA256, value});
    }
    argc = kept;
    argv[argc] = nullptr;
    return true;
}

bool verifyFinishedFile(const std::string& path, const std::vector<DigestCheck>& checks,
                        std::string& report) {
    bool allMatch = true;
    auto source = makeStreamHashFileSource();
    std::atomic<int32_t> cancel{0};
    for (const DigestCheck& check : checks) {
        std::string name = hashKindName(check.kind);
        HashOutcome outcome = hashFile(check.kind, path, *source, cancel, nullptr);
        if (!outcome.computed) {
            report += fillText(kDigestFailed, name) + failureText(outcome.errorText) + "\n";
            allMatch = false;
        } else if (digestMatches(outcome.digestText, check.expected)) {
            report += fillText(kDigestMatches, name, outcome.digestText) + "\n";
        } else {
            report += fillText(kDigestDiffers, name, check.expected) + outcome.digestText + "\n";
            allMatch = false;
        }
    }
    return allMatch;
}
