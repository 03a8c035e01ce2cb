// The file check's scan: each image a controller could not take is refused with the line
// an editor shows it on, and every well-formed image passes with what it holds.
#include "firmware/image_scan.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "tests/support/temp_file.h"

#if !defined(_WIN32)
#include <sys/stat.h>
#endif

namespace {

const std::string DATA = "%0E61C410000102\n";  // 2 bytes at 0x1000
const std::string END = "%0A81741000\n";       // start address 0x1000
const std::string GOOD = DATA + END;
// 97 and 98 characters after the '%': 45 bytes at 5, with one and two address digits.
const std::string RECORD_97 = "%6161015" + [] {
    std::string data;
    for (int i = 0; i < 45; ++i) {
        data += "A7";
    }
    return data;
}() + "\n";
const std::string RECORD_98 = "%62613215" + RECORD_97.substr(8);

// Where the image comes from: the row's content, or a file of another kind.
enum class Source { CONTENT, FIFO, DEVICE, DIRECTORY, MISSING, OVERSIZED };

struct ScanCase {
    const char* name;
    std::string content;
    int verdict;
    std::string problem;  // or the summary "records/symbols/bytes/low-high/start"
    Source source = Source::CONTENT;
};

std::string summary(const ImageScan& scan) {
    char text[128];
    std::snprintf(text, sizeof text, "%d/%d/%lld/%llX-%llX/%llX", scan.dataRecords,
                  scan.symbolRecords, static_cast<long long>(scan.dataBytes),
                  static_cast<unsigned long long>(scan.lowestAddress),
                  static_cast<unsigned long long>(scan.highestAddress),
                  static_cast<unsigned long long>(scan.startAddress));
    return text;
}

// The path a row is scanned at; the content case writes it into file.
std::string pathFor(const ScanCase& c, const TempFile& file) {
    switch (c.source) {
        case Source::FIFO:
#if !defined(_WIN32)
            std::remove(file.path.c_str());
            EXPECT_EQ(mkfifo(file.path.c_str(), 0600), 0);
#endif
            return file.path;
        case Source::DEVICE:
            return "/dev/zero";
        case Source::DIRECTORY:
            return testing::TempDir();
        case Source::MISSING:
            return file.path + ".missing";
        case Source::OVERSIZED:
            std::filesystem::resize_file(file.path, IMAGE_MAX_BYTES + 1);
            return file.path;
        default:
            return file.path;
    }
}

class ImageScanTest : public testing::TestWithParam<ScanCase> {};

TEST_P(ImageScanTest, GivesTheVerdictAndWhereTheProblemIs) {
    const ScanCase& c = GetParam();
#if defined(_WIN32)
    if (c.source == Source::FIFO || c.source == Source::DEVICE) {
        GTEST_SKIP() << "no such file on Windows";
    }
#endif
    TempFile file(c.content);
    const std::string path = pathFor(c, file);
    ImageScan scan{};
    ImageBytes read{};
    EXPECT_EQ(readAndScanImage(path.c_str(), &scan, &read), c.verdict) << scan.problem;
    if (c.verdict == IMAGE_SCAN_PASSED) {
        EXPECT_EQ(summary(scan), c.problem);
    } else if (c.verdict != IMAGE_SCAN_NOT_OPENED) {
        EXPECT_EQ(std::string(scan.problem), c.problem);
    }
}

const std::string NOT_SENT = ": the rest of the line is never sent";

INSTANTIATE_TEST_SUITE_P(
    Images, ImageScanTest,
    testing::Values(
        ScanCase{"Good", GOOD, IMAGE_SCAN_PASSED, "1/0/2/1000-1001/1000"},
        ScanCase{"CrLfTwin", "%0E61C410000102\r\n%0A81741000\r\n", IMAGE_SCAN_PASSED,
                 "1/0/2/1000-1001/1000"},
        ScanCase{"CtrlZAfterTheEnd", GOOD + "\x1a%junk\n", IMAGE_SCAN_PASSED,
                 "1/0/2/1000-1001/1000"},
        ScanCase{"BlankLinesAndTrailingBlanks", "\n \t\r\n" + DATA + "%0A81741000 \t\n\n",
                 IMAGE_SCAN_PASSED, "1/0/2/1000-1001/1000"},
        ScanCase{"LastLineWithoutLf", DATA + "%0A81741000", IMAGE_SCAN_PASSED,
                 "1/0/2/1000-1001/1000"},
        ScanCase{"Record97", RECORD_97 + END, IMAGE_SCAN_PASSED, "1/0/45/5-31/1000"},
        ScanCase{"SymbolRecord", "%0A3C84code\n" + GOOD, IMAGE_SCAN_PASSED, "1/1/2/1000-1001/1000"},
        ScanCase{"LowerCaseDigits", "%1a69641000deadbeef01020304\n%0a83541000\n", IMAGE_SCAN_PASSED,
                 "1/0/8/1000-1007/1000"},
        ScanCase{"OnlyTheTermination", "\n" + END, IMAGE_SCAN_REFUSED,
                 "line 2: the image holds no data before its termination record: nothing to "
                 "install"},
        ScanCase{"OverlappingRecords", DATA + "%0E621410010304\n" + END, IMAGE_SCAN_REFUSED,
                 "line 2: bytes 0x00001001 to 0x00001001 were given before, on line 1"},
        // The later record starts lower and ends on the earlier one's first byte.
        ScanCase{"ReversedOverlap", DATA + "%0E64840FFF0102\n" + END, IMAGE_SCAN_REFUSED,
                 "line 2: bytes 0x00001000 to 0x00001000 were given before, on line 1"},
        ScanCase{"AddressAbove32Bits", "%1361891000010000102\n" + END, IMAGE_SCAN_REFUSED,
                 "line 1: the record's address 0x100001000 lies above 0xFFFFFFFF: no controller "
                 "can place it"},
        ScanCase{"WrapsPast32Bits", "%1268C8FFFFFFFF0102\n" + END, IMAGE_SCAN_REFUSED,
                 "line 1: the record's bytes run from 0xFFFFFFFF to 0x100000000, past "
                 "0xFFFFFFFF: no controller can place them"},
        ScanCase{"StartAddressOf8Digits", DATA + "%0E8968FFFFFFFF\n", IMAGE_SCAN_PASSED,
                 "1/0/2/1000-1001/FFFFFFFF"},
        ScanCase{"StartAddressAbove32Bits", DATA + "%0F84D9123456789\n", IMAGE_SCAN_REFUSED,
                 "line 2: the record's address 0x123456789 lies above 0xFFFFFFFF: no controller "
                 "can place it"},
        ScanCase{"EmptyRecordAbove32Bits", DATA + "%0F61F9100000000\n" + END, IMAGE_SCAN_REFUSED,
                 "line 2: the record's address 0x100000000 lies above 0xFFFFFFFF: no controller "
                 "can place it"},
        ScanCase{"EndsOnTheLast32BitAddress", "%1268B8FFFFFFFE0102\n" + END, IMAGE_SCAN_PASSED,
                 "1/0/2/FFFFFFFE-FFFFFFFF/1000"},
        ScanCase{"ZeroLengthDataOnly", "%0A61541000\n" + END, IMAGE_SCAN_REFUSED,
                 "line 2: the image holds no data before its termination record: nothing to "
                 "install"},
        ScanCase{"AdjacentRecords", DATA + "%0E622410020304\n" + END, IMAGE_SCAN_PASSED,
                 "2/0/4/1000-1003/1000"},
        ScanCase{"Empty", "", IMAGE_SCAN_REFUSED, "the file holds no record"},
        ScanCase{"OnlyBlankLines", "\n\r\n  \n", IMAGE_SCAN_REFUSED, "the file holds no record"},
        ScanCase{"CtrlZFirst", "\x1a" + GOOD, IMAGE_SCAN_REFUSED, "the file holds no record"},
        ScanCase{"NoTermination", "\n" + DATA + "%0E622410020304\n\n", IMAGE_SCAN_REFUSED,
                 "line 3: the image ends after this record, with no termination record"},
        ScanCase{"Record98", RECORD_98 + END, IMAGE_SCAN_REFUSED,
                 "line 1: 98 characters after the '%', more than the 97 that are sent whole"},
        ScanCase{"LongLineOnLine2", DATA + "%" + std::string(150, '0') + "\n" + END,
                 IMAGE_SCAN_REFUSED,
                 "line 2: 150 characters after the '%', more than the 97 that are sent whole"},
        ScanCase{"CommentLine", "# image 2.1\n" + GOOD, IMAGE_SCAN_REFUSED,
                 "line 1: the line starts with '#', not with '%'"},
        ScanCase{"IntelHex", ":10010000214601360121470136007EFE09D2190140\n", IMAGE_SCAN_REFUSED,
                 "line 1: the line starts with ':', not with '%'"},
        ScanCase{"Binary",
                 std::string("\x7f"
                             "ELF\x02\x01\x01\0\0",
                             9),
                 IMAGE_SCAN_REFUSED, "line 1: the line starts with byte 0x7F, not with '%'"},
        ScanCase{"NotAHexDigit", "%0E61C41000G102\n" + END, IMAGE_SCAN_REFUSED,
                 "line 1: 'G' at column 12 is not a hex digit"},
        ScanCase{"StopsAtASpace", "\r\n" + DATA + "%0E61C41000 0102\n" + END, IMAGE_SCAN_REFUSED,
                 "line 3: the record stops at column 12, at a space" + NOT_SENT},
        ScanCase{"StopsAtATab", "%0E61C4\t10000102\n" + END, IMAGE_SCAN_REFUSED,
                 "line 1: the record stops at column 8, at a tab" + NOT_SENT},
        ScanCase{"StopsAtAHighByte",
                 "%0E61C41000\xb5"
                 "0102\n" +
                     END,
                 IMAGE_SCAN_REFUSED,
                 "line 1: the record stops at column 12, at byte 0xB5" + NOT_SENT},
        ScanCase{"ObjcopySymbolRecord", DATA + "%1630F5.data141000413E8\n" + END,
                 IMAGE_SCAN_REFUSED,
                 "line 2: a symbol record that cannot be sent: a download stops sending the line "
                 "at column 8, at '.'. Controllers skip symbol records; remove them: grep "
                 "'^%..[68]' IN > OUT"},
        ScanCase{"CutShort", "%0E61C4100001\n" + END, IMAGE_SCAN_REFUSED,
                 "line 1: the length field says 0x0E (14) characters, the record has 12"},
        ScanCase{"TooShort", "%0660C0\n" + END, IMAGE_SCAN_REFUSED,
                 "line 1: the record has 6 characters, fewer than the 7 of the shortest record"},
        ScanCase{"ChecksumOff", "%0E61D410000102\n" + END, IMAGE_SCAN_REFUSED,
                 "line 1: checksum is 0x1D, the record's digits sum to 0x1C"},
        ScanCase{"UnknownType", "%0E51B410000102\n" + END, IMAGE_SCAN_REFUSED,
                 "line 1: unknown record type 5"},
        ScanCase{"OddDataDigits", "%0D61941000010\n" + END, IMAGE_SCAN_REFUSED,
                 "line 1: the data field has an odd number of digits (3)"},
        ScanCase{"TerminationWithData", "%0C81A4100001\n", IMAGE_SCAN_REFUSED,
                 "line 1: the termination record carries data"},
        ScanCase{"RecordAfterTheEnd", END + "\n" + DATA, IMAGE_SCAN_REFUSED,
                 "line 3: a record after the termination record"},
        ScanCase{"Fifo", "", IMAGE_SCAN_NOT_A_FILE, "the file is a FIFO, not a regular file",
                 Source::FIFO},
        ScanCase{"DevZero", "", IMAGE_SCAN_NOT_A_FILE,
                 "the file is a character device, not a regular file", Source::DEVICE},
        ScanCase{"Directory", "", IMAGE_SCAN_NOT_OPENED, "", Source::DIRECTORY},
        ScanCase{"Missing", "", IMAGE_SCAN_NOT_OPENED, "", Source::MISSING},
        ScanCase{"Oversized", "", IMAGE_SCAN_TOO_LARGE,
                 "the file is larger than any image can be (16777217 bytes, at most 16777216)",
                 Source::OVERSIZED}),
    [](const testing::TestParamInfo<ScanCase>& info) { return info.param.name; });

}  // namespace
