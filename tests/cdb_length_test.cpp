#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "capture.h"
#include "cdb_length.h"

namespace {

const char* const reportHeading = "=== PLEASE REPORT FOLLOWING ERROR ===\n";

TEST(CdbLengthTable, FollowsTheGroupCode) {
    struct Row {
        int first;
        int last;
        uint8_t entry;
    } rows[] = {
        {0x00, 0x1F, 6},   {0x20, 0x5F, 10}, {0x60, 0x7E, CDB_LENGTH_ANY},
        {0x7F, 0x7F, CDB_LENGTH_IN_BYTE_7},   {0x80, 0x9F, 16},
        {0xA0, 0xBF, 12},  {0xC0, 0xFF, CDB_LENGTH_ANY},
    };
    for (const Row& row : rows)
        for (int code = row.first; code <= row.last; ++code)
            EXPECT_EQ(cdbLengthTable[code], row.entry) << std::hex << code;
    EXPECT_EQ(CDB_LENGTH_IN_BYTE_7, 'b');
    EXPECT_EQ(CDB_LENGTH_ANY, 'c');
}

struct CheckCase {
    const char* name;
    std::vector<uint8_t> cdb;
    int32_t callerLength;
    int32_t effective;
    std::string report;  // what follows the heading line; empty for no report
};

TEST(CdbLengthCheck, CorrectsAndReportsWrongLengths) {
    std::vector<uint8_t> variable(264, 0);
    variable[0] = 0x7F;
    variable[7] = 24;
    const CheckCase cases[] = {
        {"inquiry as demanded", {0x12, 0, 0, 0, 0x24, 0, 0xAA, 0xBB}, 6, 6, ""},
        {"inquiry too long", {0x12, 0, 0, 0, 0x24, 0, 0xAA, 0xBB, 0, 0, 0, 0}, 12, 6,
         "CDB length should be 6 instead of 12:\n12 00 00 00 24 00 \n"},
        {"read(10) too short", {0x28, 1, 2, 3, 4, 5, 6, 7, 8, 9}, 6, 10,
         "CDB length should be 10 instead of 6:\n28 01 02 03 04 05 06 07 08 09 \n"},
        {"vendor write", {0xEA, 0, 0, 0, 0, 0, 0, 0x80, 0x30, 0, 0, 0}, 12, 12, ""},
        {"vendor close", {0xF5}, 12, 12, ""},
        {"open group 3", {0x60}, 99, 99, ""},
        {"open group 3 end", {0x7E}, 1, 1, ""},
        {"open group 6", {0xC0}, 3, 3, ""},
        {"negative length", {0x12, 0, 0, 0, 0, 0}, -1, 6,
         "CDB length should be 6 instead of 4294967295:\n12 00 00 00 00 00 \n"},
        {"sixteen-byte group", std::vector<uint8_t>(16, 0x88), 16, 16, ""},
        {"twelve-byte group", std::vector<uint8_t>(12, 0xA8), 10, 12,
         "CDB length should be 12 instead of 10:\nA8 A8 A8 A8 A8 A8 A8 A8 A8 A8 A8 A8 \n"},
        {"variable as demanded", variable, 32, 32, ""},
    };
    for (const CheckCase& c : cases) {
        CapturedStream diagnostics;
        EXPECT_EQ(cdbCheckLength(c.cdb.data(), c.callerLength, diagnostics.stream()), c.effective)
            << c.name;
        EXPECT_EQ(diagnostics.text(), c.report.empty() ? "" : reportHeading + c.report) << c.name;
    }
}

TEST(CdbLengthCheck, VariableLengthCdbTakesItsLengthFromByte7) {
    struct Case {
        uint8_t byte7;
        int32_t demanded;
    } cases[] = {{0, 8}, {1, 12}, {4, 12}, {5, 16}, {24, 32}, {255, 264}};
    for (const Case& c : cases) {
        std::vector<uint8_t> cdb(264, 0);
        cdb[0] = 0x7F;
        cdb[7] = c.byte7;
        CapturedStream quiet;
        EXPECT_EQ(cdbCheckLength(cdb.data(), c.demanded, quiet.stream()), c.demanded);
        EXPECT_EQ(quiet.text(), "");
    }
}

TEST(CdbLengthCheck, ShortVariableCdbPrintsEveryDemandedByte) {
    std::vector<uint8_t> cdb(32, 0x11);
    cdb[0] = 0x7F;
    cdb[7] = 24;
    CapturedStream diagnostics;
    EXPECT_EQ(cdbCheckLength(cdb.data(), 24, diagnostics.stream()), 32);
    std::string bytes = "7F 11 11 11 11 11 11 18 ";
    for (int i = 8; i < 32; ++i) bytes += "11 ";
    EXPECT_EQ(diagnostics.text(),
              std::string(reportHeading) + "CDB length should be 32 instead of 24:\n" + bytes + "\n");
}

}  // namespace
