// The image format shared by the example generator, the simulated monitors and the
// file check.
#include "firmware/tek_format.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "firmware/image_scan.h"
#include "tests/support/temp_file.h"

namespace {

std::string formatted(int type, uint64_t address, int digits, std::vector<uint8_t> data) {
    std::string line;
    EXPECT_EQ(
        tekFormatRecord(type, address, digits, data.data(), static_cast<int>(data.size()), &line),
        0);
    return line;
}

// The record as a monitor receives it: without '%' and line end.
int parse(const std::string& record, TekRecord* out) {
    return tekParseRecord(record.data(), static_cast<int>(record.size()), out);
}

TEST(TekFormat, FormatsRecordsWithLengthTypeChecksumAndAddress) {
    // 14 characters; digit sum 0+14+6+4+1+0+0+0+0+1+0+2 = 28 = 0x1C.
    EXPECT_EQ(formatted(TEK_TYPE_DATA, 0x1000, 4, {0x01, 0x02}), "%0E61C410000102\n");
    // 10 characters; digit sum 0+10+8+4+1 = 23 = 0x17.
    EXPECT_EQ(formatted(TEK_TYPE_TERMINATION, 0x1000, 4, {}), "%0A81741000\n");
    // 9 characters; digit sum 0+9+6+1+15+10+11 = 52 = 0x34; upper-case digits.
    EXPECT_EQ(formatted(TEK_TYPE_DATA, 0xF, 1, {0xAB}), "%096341FAB\n");
}

TEST(TekFormat, ParsesWhatItFormats) {
    struct RoundTrip {
        uint64_t address;
        int digits;
        int bytes;
    };
    // The longest record a length field allows, and a wide address.
    for (const RoundTrip& c : {RoundTrip{0xF, 1, TEK_MAX_DATA_BYTES}, RoundTrip{0x3FFFE, 5, 122},
                               RoundTrip{0x123456789ABCDEFull, 15, 1}}) {
        std::vector<uint8_t> data(static_cast<size_t>(c.bytes));
        for (size_t i = 0; i < data.size(); ++i) {
            data[i] = static_cast<uint8_t>(i * 37 + 5);
        }
        const std::string line = formatted(TEK_TYPE_DATA, c.address, c.digits, data);
        ASSERT_GE(line.size(), 2u);
        const std::string record = line.substr(1, line.size() - 2);
        TekRecord parsed{};
        ASSERT_EQ(parse(record, &parsed), 0) << record;
        EXPECT_EQ(parsed.type, TEK_TYPE_DATA);
        EXPECT_EQ(parsed.address, c.address);
        ASSERT_EQ(parsed.dataLength, c.bytes);
        EXPECT_EQ(std::vector<uint8_t>(parsed.data, parsed.data + parsed.dataLength), data);
    }
}

TEST(TekFormat, ParsesTerminationRecordWithStartAddress) {
    TekRecord parsed{};
    ASSERT_EQ(parse("0A81741000", &parsed), 0);
    EXPECT_EQ(parsed.type, TEK_TYPE_TERMINATION);
    EXPECT_EQ(parsed.address, 0x1000u);
    EXPECT_EQ(parsed.dataLength, 0);
}

// Either case of digit; the checksum sums each character's own value, so a lower-case
// letter counts 40 and up. A symbol record decodes to nothing for the flash.
TEST(TekFormat, ParsesLowerCaseDigitsAndSymbolRecords) {
    TekRecord parsed{};
    ASSERT_EQ(parse("1a69641000deadbeef01020304", &parsed), 0);
    EXPECT_EQ(parsed.type, TEK_TYPE_DATA);
    EXPECT_EQ(parsed.address, 0x1000u);
    EXPECT_EQ(std::vector<uint8_t>(parsed.data, parsed.data + parsed.dataLength),
              (std::vector<uint8_t>{0xDE, 0xAD, 0xBE, 0xEF, 1, 2, 3, 4}));
    ASSERT_EQ(parse("0A3C84code", &parsed), 0);
    EXPECT_EQ(parsed.type, TEK_TYPE_SYMBOL);
    EXPECT_EQ(parsed.dataLength, 0);
}

struct BadRecordCase {
    const char* name;
    const char* record;
};

const BadRecordCase BAD_RECORDS[] = {
    {"checksum off by one", "0E61D410000102"},
    {"data changed under the checksum", "0E61C410000103"},
    {"lower-case digit under an upper-case checksum", "0E61C410000a02"},
    {"symbol record with a mark it cannot hold", "0A3C84co:e"},
    {"length field longer than the record", "0F61C410000102"},
    {"length field shorter than the record", "0D61C410000102"},
    {"type 7", "0E71D410000102"},
    {"no address digits", "0A61300102"},
    {"odd number of data digits", "0D61941000010"},
    {"termination record with data", "0C823410000A"},
    {"shorter than any record", "06600"},
    {"a non-digit", "0E61C41000:102"},
};

TEST(TekFormat, RejectsMalformedRecords) {
    for (const BadRecordCase& c : BAD_RECORDS) {
        TekRecord parsed{};
        EXPECT_EQ(parse(c.record, &parsed), 1) << c.name;
    }
}

TEST(TekFormat, RefusesRecordsThatCannotBeWritten) {
    std::string line;
    const uint8_t data[TEK_MAX_DATA_BYTES + 1] = {};
    EXPECT_EQ(tekFormatRecord(TEK_TYPE_DATA, 0x10000, 4, data, 1, &line), 1);  // address too wide
    EXPECT_EQ(tekFormatRecord(TEK_TYPE_DATA, 0, 1, data, TEK_MAX_DATA_BYTES + 1, &line), 1);
    EXPECT_EQ(tekFormatRecord(7, 0, 1, data, 1, &line), 1);
    EXPECT_EQ(tekFormatRecord(TEK_TYPE_TERMINATION, 0, 1, data, 1, &line), 1);
}

TEST(TekFormat, LengthFieldAndDigits) {
    EXPECT_EQ(tekRecordLength("4A"), 0x4A);
    EXPECT_EQ(tekRecordLength("FF"), 0xFF);
    EXPECT_EQ(tekRecordLength("4a"), 0x4A);
    EXPECT_EQ(tekRecordLength("%4"), -1);
    EXPECT_EQ(tekAddressDigits(0), 1);
    EXPECT_EQ(tekAddressDigits(0xFFFF), 4);
    EXPECT_EQ(tekAddressDigits(0x10000), 5);
}

TEST(TekFormat, WrittenImageDecodesToItsData) {
    std::vector<uint8_t> data(100);
    for (size_t i = 0; i < data.size(); ++i) {
        data[i] = static_cast<uint8_t>(255 - i);
    }
    TempFile file("");
    ASSERT_EQ(tekWriteImage(file.path.c_str(), data.data(), 100, 0x2000, 32), 0);
    TekImage image{};
    ASSERT_EQ(tekDecodeImage(file.path.c_str(), &image), 0);
    EXPECT_EQ(image.dataRecords, 4);  // 32 + 32 + 32 + 4
    EXPECT_EQ(image.badRecords, 0);
    EXPECT_TRUE(image.terminated);
    EXPECT_EQ(image.startAddress, 0x2000u);
    ASSERT_EQ(image.bytes.size(), 100u);
    for (uint32_t i = 0; i < 100; ++i) {
        EXPECT_EQ(image.bytes.at(0x2000 + i), data[i]) << i;
    }
}

TEST(TekFormat, DecodeCountsBadLinesAndStopsAtTermination) {
    TempFile file(
        "%0E61C410000102\r\n"  // good, CR LF
        "%0E61D410000102\n"    // bad checksum
        "0E61C410000102\n"     // no mark
        "\n"                   // empty: skipped
        "%0A3C84code\n"        // symbol record: skipped
        "%0A81741000\n"        // termination
        "%0E61C420000102\n");  // after the end: not read
    TekImage image{};
    ASSERT_EQ(tekDecodeImage(file.path.c_str(), &image), 0);
    EXPECT_EQ(image.dataRecords, 1);
    EXPECT_EQ(image.badRecords, 2);
    EXPECT_TRUE(image.terminated);
    EXPECT_EQ(image.bytes, (std::map<uint32_t, uint8_t>{{0x1000, 0x01}, {0x1001, 0x02}}));
}

// The decoder the tests compare with and the file check take the same records at each
// 32-bit boundary: a record ending on 0xFFFFFFFF is whole, one byte or start past it is bad.
TEST(TekFormat, DecoderAndFileCheckAgreeAt32BitBoundaries) {
    const std::string end = "%0A81741000\n";
    const struct {
        std::string image;
        bool whole;
    } rows[] = {
        {"%1268B8FFFFFFFE0102\n" + end, true},           // ends on 0xFFFFFFFF
        {"%1268C8FFFFFFFF0102\n" + end, false},          // one byte past it
        {"%1361891000010000102\n" + end, false},         // starts past it
        {"%0E61C410000102\n%0E8968FFFFFFFF\n", true},    // start address 0xFFFFFFFF
        {"%0E61C410000102\n%0F8219100000000\n", false},  // start address one past it
        {"%0E61C410000102\n%0F84D9123456789\n", false},  // a 9-digit start address
    };
    for (const auto& row : rows) {
        TempFile file(row.image);
        TekImage image{};
        ASSERT_EQ(tekDecodeImage(file.path.c_str(), &image), 0);
        EXPECT_EQ(image.badRecords == 0 && image.terminated, row.whole) << row.image;
        ImageScan scan{};
        ImageBytes bytes{};
        EXPECT_EQ(readAndScanImage(file.path.c_str(), &scan, &bytes) == IMAGE_SCAN_PASSED,
                  row.whole)
            << row.image << scan.problem;
    }
}

TEST(TekFormat, DecodeOfMissingFileFails) {
    TekImage image{};
    EXPECT_EQ(tekDecodeImage("/nonexistent/dir/image.tek", &image), 1);
}

// The committed example: 16 KiB in lines of 32 bytes that the download sends whole.
TEST(TekFormat, ExampleImageHoldsSixteenKibibytes) {
    const std::string path = std::string(DOVEL_SOURCE_DIR) + "/examples/dovel2.tek";
    TekImage image{};
    ASSERT_EQ(tekDecodeImage(path.c_str(), &image), 0);
    EXPECT_EQ(image.bytes.size(), 16384u);
    EXPECT_EQ(image.dataRecords, 512);
    EXPECT_EQ(image.badRecords, 0);
    EXPECT_TRUE(image.terminated);
    EXPECT_EQ(image.bytes.begin()->first, image.startAddress);
    EXPECT_EQ(image.bytes.rbegin()->first, image.startAddress + 16383);

    std::FILE* file = std::fopen(path.c_str(), "rb");
    ASSERT_NE(file, nullptr);
    char line[256];
    int lines = 0;
    while (std::fgets(line, sizeof line, file)) {
        ++lines;
        EXPECT_LE(std::strlen(line), 97u) << "line " << lines;
        EXPECT_EQ(line[0], TEK_RECORD_MARK);
    }
    std::fclose(file);
    EXPECT_EQ(lines, 513);
}

}  // namespace
