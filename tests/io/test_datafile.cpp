// Raw event records, result records and decay-list lines, byte for byte.

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <vector>

#include "io/datafile.h"
#include "test_util.h"

// Samples are signed 16-bit little-endian, channel A then B in each pair,
// behind a header of data_offset bytes.
TEST(RawFile, ReadsRecordsBehindTheHeader)
{
    TempDir dir;
    std::vector<unsigned char> bytes(12 + 2 * kRecordBytes + 7, 0);
    unsigned char* rec0 = bytes.data() + 12;
    rec0[0] = 0x18; rec0[1] = 0xFC;  // sample 0 of A: -1000
    rec0[2] = 0xE8; rec0[3] = 0x03;  // sample 0 of B: 1000
    rec0[4 * 2499 + 2] = 0xFF; rec0[4 * 2499 + 3] = 0x7F;  // last B sample: 32767
    unsigned char* rec1 = rec0 + kRecordBytes;
    rec1[4] = 0x00; rec1[5] = 0x80;  // sample 1 of A: -32768
    write_text("raw.1", std::string(bytes.begin(), bytes.end()));

    FILE* fp = std::fopen("raw.1", "rb");
    ASSERT_NE(fp, nullptr);
    ASSERT_EQ(seek_first_record(fp, 12), 0);
    std::vector<int16_t> r(kRecordShorts);
    ASSERT_EQ(read_event_record(fp, r.data()), 1);
    EXPECT_EQ(record_sample(r.data(), 0, 0), -1000);
    EXPECT_EQ(record_sample(r.data(), 0, 1), 1000);
    EXPECT_EQ(record_sample(r.data(), 2499, 1), 32767);
    ASSERT_EQ(read_event_record(fp, r.data()), 1);
    EXPECT_EQ(record_sample(r.data(), 1, 0), -32768);
    // 7 trailing bytes are not a record
    EXPECT_EQ(read_event_record(fp, r.data()), 0);
    std::fclose(fp);

    // With no header the first record starts at byte 0.
    fp = std::fopen("raw.1", "rb");
    ASSERT_EQ(seek_first_record(fp, 0), 0);
    ASSERT_EQ(read_event_record(fp, r.data()), 1);
    EXPECT_EQ(record_sample(r.data(), 3, 0), static_cast<int16_t>(0xFC18));
    std::fclose(fp);
}

// A result record is the 9 doubles as they lie in memory; a decay line is
// fixed-point with 12 decimals.
TEST(ResultFiles, WriteExactBytesAndLines)
{
    TempDir dir;
    double block[9] = {1234.5, 15330.0, -0.0015, -28000.0, 1250.25, 2.5, 100.0, 0.0, 1500.0};
    FILE* fp = std::fopen("ab0.bin", "wb");
    ASSERT_EQ(write_result_record(fp, block), 0);
    ASSERT_EQ(write_result_record(fp, block), 0);
    std::fclose(fp);
    std::vector<unsigned char> bytes = read_bytes("ab0.bin");
    ASSERT_EQ(bytes.size(), 144u);
    // 1234.5 = 0x40934A0000000000, least significant byte first
    const unsigned char expected[8] = {0x00, 0x00, 0x00, 0x00, 0x00, 0x4A, 0x93, 0x40};
    EXPECT_EQ(std::memcmp(bytes.data(), expected, 8), 0);
    EXPECT_EQ(std::memcmp(bytes.data() + 72, expected, 8), 0);
    double back[9];
    std::memcpy(back, bytes.data(), 72);
    for (int i = 0; i < 9; ++i) EXPECT_EQ(back[i], block[i]);

    fp = std::fopen("decay0.txt", "w");
    ASSERT_EQ(write_decay_line(fp, -0.5), 0);
    ASSERT_EQ(write_decay_line(fp, -0.00150000000000049), 0);
    ASSERT_EQ(write_decay_line(fp, 2.0), 0);
    std::fclose(fp);
    EXPECT_EQ(read_text("decay0.txt"), "-0.500000000000\n-0.001500000000\n2.000000000000\n");
}

// A full disk must not pass silently.
TEST(ResultFiles, ReportWriteErrors)
{
    FILE* fp = std::fopen("/dev/full", "w");
    if (!fp) GTEST_SKIP() << "/dev/full not available";
    std::setvbuf(fp, nullptr, _IONBF, 0);
    double block[9] = {1.0};
    EXPECT_EQ(write_result_record(fp, block), 1);
    EXPECT_EQ(write_decay_line(fp, -0.5), 1);
    std::fclose(fp);
}
