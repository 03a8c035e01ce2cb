// The adapter library's test double itself: what it exports, and how its script reads.
#include "tests/windows/double_script.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <set>
#include <string>

#include "tests/windows/adapter_double_fixture.h"

namespace {

struct ExportTable {
    std::set<DWORD> ordinals;
    DWORD names;
};

// Reads the export directory of a loaded module from its headers.
ExportTable exportsOf(HMODULE module) {
    const auto* base = reinterpret_cast<const uint8_t*>(module);
    const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
    const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
    const IMAGE_DATA_DIRECTORY& entry =
        nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_EXPORT];
    const auto* directory =
        reinterpret_cast<const IMAGE_EXPORT_DIRECTORY*>(base + entry.VirtualAddress);
    const auto* functions = reinterpret_cast<const DWORD*>(base + directory->AddressOfFunctions);
    ExportTable table{{}, directory->NumberOfNames};
    for (DWORD i = 0; i < directory->NumberOfFunctions; ++i) {
        if (functions[i] != 0) {
            table.ordinals.insert(directory->Base + i);
        }
    }
    return table;
}

ExportTable exportsOfFile(const std::string& path) {
    HMODULE module = LoadLibraryExA(path.c_str(), nullptr, DONT_RESOLVE_DLL_REFERENCES);
    EXPECT_NE(module, nullptr) << path;
    if (!module) {
        return {};
    }
    ExportTable table = exportsOf(module);
    FreeLibrary(module);
    return table;
}

TEST(AdapterDoubleExports, TheCompleteDoubleExportsTheFiveOrdinalsWithoutNames) {
    const ExportTable table = exportsOfFile(windowsTestPath("PCAN_USB.dll"));
    EXPECT_EQ(table.ordinals, (std::set<DWORD>{2, 3, 7, 10, 11}));
    EXPECT_EQ(table.names, 0u);
}

class LackingDoubleExports : public testing::TestWithParam<DWORD> {};

TEST_P(LackingDoubleExports, EachLackingDoubleMissesJustItsOrdinal) {
    std::set<DWORD> expected{2, 3, 7, 10, 11};
    expected.erase(GetParam());
    const ExportTable table =
        exportsOfFile(windowsTestPath("missing-" + std::to_string(GetParam()) + "/PCAN_USB.dll"));
    EXPECT_EQ(table.ordinals, expected);
    EXPECT_EQ(table.names, 0u);
}

INSTANTIATE_TEST_SUITE_P(EachOrdinal, LackingDoubleExports, testing::Values(2, 3, 7, 10, 11));

TEST(AdapterDoubleScript, ReadsEveryKindOfItem) {
    DoubleScript script;
    std::string error;
    ASSERT_EQ(parseDoubleScript("init=5,0;reset=0x20;filter=-1;write=7;empty=3;rx=20B#0103;"
                                "rx=000#00000042/80;readerror=0x4000;echo;log=C:\\x.log",
                                &script, &error),
              0)
        << error;
    EXPECT_EQ(script.initResults, (std::vector<uint32_t>{5, 0}));
    EXPECT_EQ(script.resetResults, (std::vector<uint32_t>{0x20}));
    EXPECT_EQ(script.filterResults, (std::vector<uint32_t>{0xFFFFFFFF}));
    EXPECT_EQ(script.writeResults, (std::vector<uint32_t>{7}));
    EXPECT_TRUE(script.echo);
    EXPECT_EQ(script.logPath, "C:\\x.log");
    ASSERT_EQ(script.reads.size(), 4u);
    EXPECT_EQ(script.reads[0].kind, DoubleRead::EMPTY);
    EXPECT_EQ(script.reads[0].emptyCount, 3u);
    EXPECT_EQ(recordText(script.reads[1].record), "20B#0103");
    EXPECT_EQ(recordText(script.reads[2].record), "000#00000042/80");
    EXPECT_EQ(script.reads[3].kind, DoubleRead::ERROR_RESULT);
    EXPECT_EQ(script.reads[3].errorCode, 0x4000u);
}

TEST(AdapterDoubleScript, LaysRecordsOutByteByByte) {
    uint8_t record[DOUBLE_RECORD_SIZE];
    ASSERT_EQ(parseRecord("1234567#A1B2/80", record), 0);
    const uint8_t expected[DOUBLE_RECORD_SIZE] = {0x67, 0x45, 0x23, 0x01, 0x80, 2, 0xA1, 0xB2};
    EXPECT_EQ(std::string(reinterpret_cast<char*>(record), DOUBLE_RECORD_SIZE),
              std::string(reinterpret_cast<const char*>(expected), DOUBLE_RECORD_SIZE));
}

class BadScriptItem : public testing::TestWithParam<const char*> {};

TEST_P(BadScriptItem, IsNamedInTheError) {
    DoubleScript script;
    std::string error;
    EXPECT_EQ(parseDoubleScript(std::string("echo;") + GetParam(), &script, &error), 1);
    EXPECT_EQ(error, std::string("cannot understand '") + GetParam() + "'");
}

INSTANTIATE_TEST_SUITE_P(Items, BadScriptItem,
                         testing::Values("init=", "init=1,x", "empty=two", "rx=20B", "rx=20B#012",
                                         "rx=20B#000102030405060708", "rx=XYZ#01", "rx=20B#01/ZZ",
                                         "log=", "bogus=1", "echo=1x", "readerror"));

}  // namespace
