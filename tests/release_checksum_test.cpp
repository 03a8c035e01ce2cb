// The release's checksum: IMAGE.sha256 beside the image and DOVEL_IMAGE_SHA256, each
// compared with the image's hash, and the console's words for every refusal.
#include "firmware/release_checksum.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "tests/support/temp_file.h"

#if !defined(_WIN32)
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

// The image's hash (that of "abc"), the same in upper case, and another.
const std::string HASH = "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad";
const std::string UPPER = "BA7816BF8F01CFEA414140DE5DAE2223B00361A396177A9CB410FF61F20015AD";
const std::string OTHER = "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1";
const std::string IS = "the image's sha256 is " + HASH + ", ";
const std::string NO_LINE =
    "@.sha256 holds no line in a form release tools write: 64 hex digits alone; 64 hex digits, "
    "two spaces, the file name; or SHA256 (the file name) = 64 hex digits";

// What lies at IMAGE.sha256: the row's content, nothing, or what cannot be read.
enum class Beside { CONTENT, NOTHING, DIRECTORY, FIFO, BROKEN_LINK };

struct ChecksumCase {
    const char* name;
    std::string content;  // '@' stands for the image's file name, here and in said
    const char* variable;
    int verdict;
    std::string said;  // the problem, or when passed what the hash was compared with
    Beside beside = Beside::CONTENT;
};

std::string named(std::string text, const std::string& name) {
    for (size_t at = text.find('@'); at != std::string::npos; at = text.find('@', at)) {
        text.replace(at, 1, name);
        at += name.size();
    }
    return text;
}

class ReleaseChecksumTest : public testing::TestWithParam<ChecksumCase> {};

TEST_P(ReleaseChecksumTest, ComparesEveryGivenHashWithTheImages) {
    const ChecksumCase& c = GetParam();
    const std::string image = uniqueTempPath("release");
    const std::string name = image.substr(image.find_last_of("/\\") + 1);
    const std::string beside = image + RELEASE_CHECKSUM_FILE_SUFFIX;
    if (c.beside == Beside::FIFO) {
#if defined(_WIN32)
        GTEST_SKIP() << "no FIFO on Windows";
#else
        ASSERT_EQ(mkfifo(beside.c_str(), 0600), 0);
#endif
    } else if (c.beside == Beside::BROKEN_LINK) {
#if defined(_WIN32)
        GTEST_SKIP() << "links need privileges on Windows";
#else
        ASSERT_EQ(symlink((image + ".gone").c_str(), beside.c_str()), 0);
#endif
    } else if (c.beside == Beside::DIRECTORY) {
        std::filesystem::create_directory(beside);
    } else if (c.beside == Beside::CONTENT) {
        TempFile written(named(c.content, name));
        std::filesystem::rename(written.path, beside);
    }
    ReleaseChecksum check{};
    EXPECT_EQ(checkReleaseChecksum(image.c_str(), HASH.c_str(), c.variable, &check), c.verdict);
    EXPECT_EQ(c.verdict == RELEASE_CHECKSUM_PASSED ? check.checkedAgainst : check.problem,
              named(c.said, name));
    std::filesystem::remove(beside);
}

constexpr int PASSED = RELEASE_CHECKSUM_PASSED;
constexpr int REFUSED = RELEASE_CHECKSUM_REFUSED;

INSTANTIATE_TEST_SUITE_P(
    Releases, ReleaseChecksumTest,
    testing::Values(
        ChecksumCase{"Match", HASH + "  @\n", nullptr, PASSED, "@.sha256"},
        ChecksumCase{"MismatchShownInLowerCase", "248D6A61" + OTHER.substr(8) + "  @\n", nullptr,
                     REFUSED, IS + "@.sha256 says " + OTHER},
        ChecksumCase{"OtherFile", HASH + "  other.tek\n", nullptr, REFUSED,
                     "@.sha256 names another file (other.tek)"},
        ChecksumCase{"OtherFiles", HASH + "  a.tek\n" + HASH + " *b.tek\n", nullptr, REFUSED,
                     "@.sha256 names 2 other files, not @"},
        ChecksumCase{"PathBeforeTheName", HASH + "  release/2.1/@\n", nullptr, PASSED, "@.sha256"},
        ChecksumCase{"WindowsPath", HASH + "  C:\\release\\@\n", nullptr, PASSED, "@.sha256"},
        ChecksumCase{"EscapedName", "\\" + HASH + "  a\\\\b\\n\\\\@\n", nullptr, PASSED,
                     "@.sha256"},
        ChecksumCase{"AsteriskForm", HASH + " *@\n", nullptr, PASSED, "@.sha256"},
        ChecksumCase{"UpperCaseHex", UPPER + "  @\n", nullptr, PASSED, "@.sha256"},
        ChecksumCase{"CrLf", HASH + "  @\r\n", nullptr, PASSED, "@.sha256"},
        ChecksumCase{"TheLineOfTheImage", OTHER + "  a.tek\n\n" + HASH + "  @\n" + OTHER + "  b\n",
                     nullptr, PASSED, "@.sha256"},
        ChecksumCase{"ImageNamedTwiceWithTwoHashes", HASH + "  @\n" + OTHER + "  old/@\n", nullptr,
                     REFUSED, IS + "@.sha256 says " + OTHER},
        ChecksumCase{"Malformed",
                     HASH + " @\n" + HASH.substr(1) + "  @\n" + HASH + "\t@\nSHA256 (@) =" + HASH,
                     nullptr, REFUSED, NO_LINE},
        ChecksumCase{"BareHash", HASH + "\n", nullptr, PASSED, "@.sha256"},
        ChecksumCase{"BareHashCrLfNoLastLf", UPPER + "\r\n", nullptr, PASSED, "@.sha256"},
        ChecksumCase{"BareHashMismatch", OTHER + "\n", nullptr, REFUSED,
                     IS + "@.sha256 says " + OTHER},
        ChecksumCase{"BareHashOf63Digits", HASH.substr(1) + "\n", nullptr, REFUSED, NO_LINE},
        ChecksumCase{"BareHashOf65Digits", HASH + "0\n", nullptr, REFUSED, NO_LINE},
        ChecksumCase{"TaggedForm", "SHA256 (@) = " + HASH + "\r\n", nullptr, PASSED, "@.sha256"},
        ChecksumCase{"TaggedFormEscaped", "\\SHA256 (dir\\\\@) = " + HASH + "\n", nullptr, PASSED,
                     "@.sha256"},
        ChecksumCase{"TaggedFormOtherFile", "SHA256 (other.tek) = " + HASH + "\n", nullptr, REFUSED,
                     "@.sha256 names another file (other.tek)"},
        ChecksumCase{"TaggedFormMismatch", "SHA256 (@) = " + OTHER + "\n", nullptr, REFUSED,
                     IS + "@.sha256 says " + OTHER},
        ChecksumCase{"TaggedFormOf65Digits", "SHA256 (@) = 0" + HASH + "\n", nullptr, REFUSED,
                     NO_LINE},
        ChecksumCase{"TaggedFormOf63Digits", "SHA256 (@) = " + HASH.substr(1) + "\n", nullptr,
                     REFUSED, NO_LINE},
        ChecksumCase{"TaggedFormOfAnotherHash", "SHA1 (@) = " + HASH + "\n", nullptr, REFUSED,
                     NO_LINE},
        ChecksumCase{"Oversized", std::string(65537, '\n'), nullptr, REFUSED,
                     "@.sha256 is larger than a sha256 file can be (65537 bytes, at most 65536)"},
        ChecksumCase{"Directory", "", nullptr, REFUSED, "@.sha256 cannot be read: Is a directory",
                     Beside::DIRECTORY},
        ChecksumCase{"Fifo", "", nullptr, REFUSED, "@.sha256 is not a regular file", Beside::FIFO},
        // A checksum file that is there but cannot be read is refused, never taken as absent.
        ChecksumCase{"BrokenLink", "", nullptr, REFUSED,
                     "@.sha256 cannot be read: it is a link to a file that does not exist",
                     Beside::BROKEN_LINK},
        ChecksumCase{"BrokenLinkBesideTheVariable", "", HASH.c_str(), REFUSED,
                     "@.sha256 cannot be read: it is a link to a file that does not exist",
                     Beside::BROKEN_LINK},
        ChecksumCase{"VariableAlone", "", HASH.c_str(), PASSED, "DOVEL_IMAGE_SHA256",
                     Beside::NOTHING},
        ChecksumCase{"VariableMismatch", "", OTHER.c_str(), REFUSED,
                     IS + "DOVEL_IMAGE_SHA256 says " + OTHER, Beside::NOTHING},
        ChecksumCase{"VariableMalformed", "", "sha256:ba7816bf", REFUSED,
                     "DOVEL_IMAGE_SHA256 is not 64 hex digits", Beside::NOTHING},
        ChecksumCase{"VariableEmpty", "", "", PASSED, "", Beside::NOTHING},
        ChecksumCase{"FileAndVariable", HASH + "  @\n", HASH.c_str(), PASSED,
                     "@.sha256 and DOVEL_IMAGE_SHA256"},
        ChecksumCase{"FileMatchesVariableDoesNot", HASH + "  @\n", OTHER.c_str(), REFUSED,
                     IS + "DOVEL_IMAGE_SHA256 says " + OTHER},
        ChecksumCase{"VariableMatchesFileDoesNot", OTHER + "  @\n", HASH.c_str(), REFUSED,
                     IS + "@.sha256 says " + OTHER},
        ChecksumCase{"Neither", "", nullptr, PASSED, "", Beside::NOTHING}),
    [](const testing::TestParamInfo<ChecksumCase>& info) { return info.param.name; });

}  // namespace
