// The console's --md5/--sha1/--sha256 options and the check of a finished file.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "app/digest_check.h"
#include "platform/posix/string_language.h"

namespace {
struct Argv {
    std::vector<std::string> storage;
    std::vector<char*> pointers;
    int argc = 0;
    explicit Argv(std::vector<std::string> args) : storage(std::move(args)) {
        for (auto& s : storage) pointers.push_back(&s[0]);
        pointers.push_back(nullptr);
        argc = int(storage.size());
    }
    std::vector<std::string> remaining() const {
        return std::vector<std::string>(pointers.begin(), pointers.begin() + argc);
    }
};
const std::string kAbcMd5 = "900150983cd24fb0d6963f7d28e17f72";
const std::string kAbcSha1 = "a9993e364706816aba3e25717850c26c9cd0d89d";
const std::string kAbcSha256 = "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad";
}  // namespace

TEST(DigestOptions, AreTakenOutAndTheRestKeepsItsOrder) {
    // The value of another option stays its value, whatever it looks like.
    Argv a({"dorimel", "-sp", "1", "--md5", kAbcMd5, "-rf", "--sha1", "http://127.0.0.1/x", "--sha1", kAbcSha1,
            "--sha256", kAbcSha256});
    std::vector<DigestCheck> checks;
    std::string error;
    ASSERT_TRUE(takeDigestOptions(a.argc, a.pointers.data(), checks, error)) << error;
    EXPECT_EQ(a.remaining(),
              (std::vector<std::string>{"dorimel", "-sp", "1", "-rf", "--sha1", "http://127.0.0.1/x"}));
    EXPECT_EQ(a.pointers[a.argc], nullptr);
    ASSERT_EQ(checks.size(), 3u);
    EXPECT_EQ(checks[0].kind, HASH_MD5);
    EXPECT_EQ(checks[1].kind, HASH_SHA1);
    EXPECT_EQ(checks[2].kind, HASH_SHA256);
}

TEST(DigestOptions, MissingOrMalformedValuesAreErrors) {
    for (std::vector<std::string> args : {std::vector<std::string>{"dorimel", "--md5"},
                                          {"dorimel", "--md5", kAbcSha1},
                                          {"dorimel", "--sha1", kAbcMd5},
                                          {"dorimel", "--sha256", kAbcSha1},
                                          {"dorimel", "--md5", std::string(31, 'a') + "g"}}) {
        Argv a(args);
        std::vector<DigestCheck> checks;
        std::string error;
        EXPECT_FALSE(takeDigestOptions(a.argc, a.pointers.data(), checks, error)) << args.back();
        EXPECT_NE(error.find(args[1]), std::string::npos) << error;
    }
}

TEST(DigestVerification, ReportsMatchMismatchAndUnreadableFile) {
    useEnglishStrings(true);  // the console under an English locale
    std::string path = ::testing::TempDir() + "digest_check_test.bin";
    {
        std::ofstream out(path, std::ios::binary);
        out << "abc";
    }
    std::string report;
    EXPECT_TRUE(verifyFinishedFile(
        path, {{HASH_MD5, " 900150983CD24FB0D6963F7D28E17F72 "}, {HASH_SHA1, kAbcSha1}}, report));
    EXPECT_EQ(report, "MD5 " + kAbcMd5 + " OK\nSHA1 " + kAbcSha1 + " OK\n");

    report.clear();
    EXPECT_FALSE(verifyFinishedFile(path, {{HASH_SHA1, std::string(40, '0')}}, report));
    EXPECT_EQ(report,
              "SHA1 mismatch: expected " + std::string(40, '0') + ", got " + kAbcSha1 + "\n");

    std::remove(path.c_str());
    report.clear();
    EXPECT_FALSE(verifyFinishedFile(path, {{HASH_MD5, kAbcMd5}}, report));
    EXPECT_EQ(report, "MD5 check failed: cannot read the file\n");

    useEnglishStrings(false);
    report.clear();
    EXPECT_FALSE(verifyFinishedFile(path, {{HASH_MD5, kAbcMd5}}, report));
    EXPECT_EQ(report, "MD5 を確かめられません: ファイルを読めません\n");
}
