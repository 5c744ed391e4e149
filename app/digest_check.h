// Verification of a finished download against digests given on the console
// front end's command line: "--md5 HEX", "--sha1 HEX" and "--sha256 HEX", computed with the
// hash dialog's code (app/hash_file.h). Portable.
//
// The console's main takes the options out before the shared command-line
// grammar sees them, and checks the file once the run has put it in place:
//   std::vector<DigestCheck> checks; std::string error;
//   if (!takeDigestOptions(argc, argv, checks, error)) -> print error, exit 2
//   ... run ...
//   if (finished && !checks.empty())
//       exit(verifyFinishedFile(path, checks, report) ? 0 : EXIT_DIGEST_MISMATCH)
#pragma once

#include <string>
#include <vector>

#include "app/hash_file.h"

// Exit code of a console run whose finished file does not match a digest
// (or cannot be read for the check).
constexpr int EXIT_DIGEST_MISMATCH = 3;

struct DigestCheck {
    HashKind kind;
    std::string expected;  // as typed; compared like the hash dialog does
};

// Removes every "--md5 HEX", "--sha1 HEX" and "--sha256 HEX" pair from argv (argv[0] is the
// program and stays), shortening argc. The value of any other option (an
// argument starting with "-" takes the next one) is never read as an option.
// False, with an error text from the string table, when a value is missing or
// is not 32 (MD5), 40 (SHA-1) or 64 (SHA-256) hexadecimal digits after
// trimming.
bool takeDigestOptions(int& argc, char** argv, std::vector<DigestCheck>& checks,
                       std::string& error);

// Hashes the file at path for every check and appends one line per check to
// report, in the string table's language: "MD5 <digest> OK", "MD5 mismatch:
// expected <typed>, got <digest>" or "MD5 check failed: <why>". True when
// every check matched.
bool verifyFinishedFile(const std::string& path, const std::vector<DigestCheck>& checks,
                        std::string& report);
