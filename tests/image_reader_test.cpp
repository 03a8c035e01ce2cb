#include "firmware/image_reader.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/support/temp_file.h"

namespace {

std::vector<std::string> readAllLines(const std::string& content) {
    TempFile file(content);
    ImageReader reader{};
    EXPECT_EQ(openImage(&reader, file.path.c_str()), 0);
    std::vector<std::string> lines;
    char buffer[IMAGE_LINE_BUFFER_SIZE];
    while (readImageLine(&reader, buffer, IMAGE_LINE_READ_COUNT)) {
        lines.emplace_back(buffer);
    }
    closeImage(&reader);
    return lines;
}

struct LinesCase {
    const char* name;
    std::string content;
    std::vector<std::string> expected;
};

class ImageLinesTest : public testing::TestWithParam<LinesCase> {};

TEST_P(ImageLinesTest, SplitsAsATextFileReadWithACountOf99) {
    EXPECT_EQ(readAllLines(GetParam().content), GetParam().expected);
}

const std::string L97(97, 'A');
const std::string L98(98, 'B');
const std::string L150(150, 'C');

INSTANTIATE_TEST_SUITE_P(
    Files, ImageLinesTest,
    testing::Values(
        LinesCase{"Empty", "", {}}, LinesCase{"TwoLines", "%AB\n%CD\n", {"%AB\n", "%CD\n"}},
        LinesCase{"LastLineWithoutLf", "%AB\n%CD", {"%AB\n", "%CD"}},
        LinesCase{"CrLfIsOneLf", "%AB\r\n%CD\r\n", {"%AB\n", "%CD\n"}},
        LinesCase{"LoneCrStays", "%A\rB\n", {"%A\rB\n"}},
        LinesCase{"CrAtTheEndStays", "%A\r", {"%A\r"}},
        LinesCase{"CtrlZEndsTheFile",
                  "%AB\n%C\x1a"
                  "D\n%EF\n",
                  {"%AB\n", "%C"}},
        LinesCase{"CtrlZFirst", "\x1a%AB\n", {}}, LinesCase{"OnlyLf", "\n\n", {"\n", "\n"}},
        LinesCase{"Line97IsOneLine", L97 + "\n", {L97 + "\n"}},
        LinesCase{"Line97CrLfIsOneLine", L97 + "\r\n", {L97 + "\n"}},
        LinesCase{"Line98IsTwoLines", L98 + "\n", {L98, "\n"}},
        LinesCase{
            "Line150IsTwoLines", L150 + "\n", {std::string(98, 'C'), std::string(52, 'C') + "\n"}},
        LinesCase{
            "Line150CrLf", L150 + "\r\n", {std::string(98, 'C'), std::string(52, 'C') + "\n"}}),
    [](const testing::TestParamInfo<LinesCase>& info) { return info.param.name; });

TEST(ImageReader, EmbeddedNulIsReadAsACharacterAndEndsWhatIsSent) {
    const std::vector<std::string> lines = readAllLines(std::string("%A\0B\n", 5));
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(sendableCharacterCount(lines[0].c_str()), 1);
}

TEST(ImageReader, RefusesWhatIsNoReadableFile) {
    ImageReader reader{};
    EXPECT_EQ(openImage(&reader, ""), 1);
    EXPECT_EQ(openImage(&reader, "/nonexistent/dovel2.tek"), 1);
    EXPECT_EQ(openImage(&reader, testing::TempDir().c_str()), 1);  // a directory
    EXPECT_EQ(reader.file, nullptr);
}

struct SendableCase {
    const char* line;
    int expected;
};

class SendableTest : public testing::TestWithParam<SendableCase> {};

TEST_P(SendableTest, CountsFromPositionOneUpToTheFirstCharacterBelowZero) {
    EXPECT_EQ(sendableCharacterCount(GetParam().line), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(Lines, SendableTest,
                         testing::Values(SendableCase{"%AB\n", 2}, SendableCase{"%-AB\n", 0},
                                         SendableCase{"%12 34\n", 2},
                                         SendableCase{"%\x80"
                                                      "AB\n",
                                                      0},
                                         SendableCase{"%ab:c~\x7f\n", 6}, SendableCase{"%AB", 2},
                                         SendableCase{"\n", 0}, SendableCase{"A", 0},
                                         SendableCase{"0123\t9\n", 3},
                                         SendableCase{"%A\xff"
                                                      "B",
                                                      1}));

}  // namespace
