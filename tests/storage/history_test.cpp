// The clock's history file: rows written and read back, damaged rows and
// impossible figures refused, the span's start, both files after a
// rotation.
#include <gtest/gtest.h>

#include <iterator>
#include <string>

#include "storage/history.h"
#include "tests/support/temp_dir.h"
#include "tests/support/time_values.h"

namespace tavrel {
namespace {

using test::fileTimeOf;

class HistoryFile : public ::testing::Test {
protected:
    void SetUp() override { test::resetProcessState(dir.path(), dir.path()); }
    test::TempDir dir;
};

HistoryEntry sample(platform::FileTime when) {
    HistoryEntry e;
    e.when = when;
    e.action = "Correct";
    e.server = "time, \"the\" server";
    e.address = "2001:db8::1";
    e.protocol = "SNTP";
    e.offsetSeconds = -0.1234567;
    e.roundTripMs = 42;
    e.outcome = "Corrected";
    e.changeSeconds = -3600.5;
    return e;
}

TEST_F(HistoryFile, RowsRoundTripWithCommasQuotesAndEmptyFigures) {
    const HistoryEntry written = sample(fileTimeOf(2026, 12, 8, 10, 0, 0, 123));
    HistoryEntry read;
    ASSERT_TRUE(parseHistoryRow(historyRow(written), read)) << historyRow(written);
    EXPECT_EQ(read.when, written.when);
    EXPECT_EQ(read.action, written.action);
    EXPECT_EQ(read.server, written.server);
    EXPECT_EQ(read.address, written.address);
    EXPECT_EQ(read.protocol, written.protocol);
    ASSERT_TRUE(read.offsetSeconds.has_value());
    EXPECT_DOUBLE_EQ(*read.offsetSeconds, -0.1234567);
    EXPECT_EQ(read.roundTripMs, 42u);
    EXPECT_EQ(read.outcome, "Corrected");
    ASSERT_TRUE(read.changeSeconds.has_value());
    EXPECT_DOUBLE_EQ(*read.changeSeconds, -3600.5);

    HistoryEntry failed = written;
    failed.offsetSeconds.reset();
    failed.roundTripMs.reset();
    failed.changeSeconds.reset();
    failed.outcome = "No response";
    ASSERT_TRUE(parseHistoryRow(historyRow(failed), read));
    EXPECT_FALSE(read.offsetSeconds.has_value());
    EXPECT_FALSE(read.roundTripMs.has_value());
    EXPECT_FALSE(read.changeSeconds.has_value());

    // A quote without a comma is quoted too: left bare, a field that begins
    // with one would read back as a quoted field without its quotes.
    for (const char* name : {"\"quoted\"", "a\"b", "\""}) {
        HistoryEntry odd = written;
        odd.server = name;
        ASSERT_TRUE(parseHistoryRow(historyRow(odd), read)) << historyRow(odd);
        EXPECT_EQ(read.server, name) << historyRow(odd);
    }
}

TEST_F(HistoryFile, OldRowsAreReadAndDamagedOnesRefused) {
    HistoryEntry read;
    // Written before the change column existed.
    ASSERT_TRUE(parseHistoryRow("2026-12-07T21:30:05.123Z,Check,a,1.2.3.4,SNTP,0.5,12,Checked", read));
    EXPECT_FALSE(read.changeSeconds.has_value());
    EXPECT_EQ(read.outcome, "Checked");
    EXPECT_FALSE(parseHistoryRow("2026-12-07T21:30:05.123Z,Check,a,1.2.3.4,SNTP,0.5,Checked", read));
    EXPECT_FALSE(parseHistoryRow("2026-12-07T21:30:05.123Z,Check,a,1.2.3.4,SNTP,0.5,12,Checked,1,extra", read));
    EXPECT_FALSE(parseHistoryRow(kHistoryHeader, read));
    EXPECT_FALSE(parseHistoryRow("2026-12-07T21:30:05.123Z,Check,a,1.2.3.4,SNTP,half,12,Checked,", read));
    EXPECT_FALSE(parseHistoryRow("yesterday,Check,a,1.2.3.4,SNTP,0.5,12,Checked,", read));
}

// A row whose figures no exchange could have measured is damaged: it would
// flatten the chart to one wild value.
TEST_F(HistoryFile, RowsWithImpossibleFiguresAreRefused) {
    auto row = [](const std::string& offset, const std::string& roundTrip, const std::string& change = "") {
        return "2026-12-07T21:30:05.123Z,Correct,a,1.2.3.4,SNTP," + offset + "," + roundTrip + ",Corrected," + change;
    };
    HistoryEntry read;
    for (const char* offset : {"inf", "-inf", "nan", "1e300", "-1e300", "1e400", "7e9",
                               "123456789012345678901234567890", "0x10", "0.5e", " 0.5"}) {
        EXPECT_FALSE(parseHistoryRow(row(offset, "12"), read)) << offset;
        EXPECT_FALSE(parseHistoryRow(row("0.5", "12", offset), read)) << "change " << offset;
    }
    for (const char* roundTrip : {"-5", "+5", "-0", "4294967291", "4294967296", "18446744073709551616",
                                  "99999999999999999999999", "12.5", "1e3", " 12"}) {
        EXPECT_FALSE(parseHistoryRow(row("0.5", roundTrip), read)) << roundTrip;
    }
    // Cut short: within the time, or within a figure.
    EXPECT_FALSE(parseHistoryRow("2026-12-07T21:30:05.1,Check,a,1.2.3.4,SNTP,0.5,12,Checked,", read));
    EXPECT_FALSE(parseHistoryRow("2026-12-07T21:30:05.123Zjunk,Check,a,1.2.3.4,SNTP,0.5,12,Checked,", read));
    EXPECT_FALSE(parseHistoryRow("2026-12-07T21:30:05.123Z,Check,a,1.2.3.4,SNTP,0.5,12,Checked,-", read));
    EXPECT_FALSE(parseHistoryRow("2026-12-07T21:30:05.123Z,Check,\"a, b", read));
    EXPECT_FALSE(parseHistoryRow("2026-12-07T21:30:05.123Z,Check,a,1.2.3.4,SNTP,0.5,12,\"Chec", read));
    EXPECT_FALSE(parseHistoryRow("2026-12-07T21:30:05.123Z,Check,a,1.2.3.4,SNTP,0.", read));

    // The far ends of what a clock can be off by are still read: a clock
    // that fell back to 1970, a reply that took the longest wait allowed.
    ASSERT_TRUE(parseHistoryRow(row("1764977405.1230000", "99000", "-1764977405.1230000"), read));
    EXPECT_DOUBLE_EQ(*read.offsetSeconds, 1764977405.123);
    EXPECT_EQ(read.roundTripMs, 99000u);
    EXPECT_DOUBLE_EQ(*read.changeSeconds, -1764977405.123);
    ASSERT_TRUE(parseHistoryRow(row("-0.0000001", "0"), read));
    EXPECT_EQ(read.roundTripMs, 0u);
}

// A server's name is text from outside: in the file its control
// characters are escaped and a formula is text to a spreadsheet; read
// back, the name is as it was (escaped where it had to be), and figures
// stay numbers.
TEST_F(HistoryFile, NamesAreWrittenAsTextAndReadBackAsTheyWere) {
    const std::string formula = "=cmd|' /C calc'!A0";
    const std::string names[] = {"evil\x1B]0;title\x07.test", "\x1B[2Jwiped.test", "bare\rreturn.test", formula,
                                 "+1, a \"sum\"", "'quoted"};
    HistoryEntry e = sample(fileTimeOf(2026, 12, 8, 10, 0, 0, 123));
    e.offsetSeconds = -0.25;
    e.changeSeconds = 3600.2;
    for (const std::string& name : names) {
        e.server = name;
        appendHistory(e);
    }

    const std::string file = test::readFile(dir.file(kHistoryFileName));
    for (size_t i = 0; i < file.size(); ++i) {
        const auto byte = static_cast<unsigned char>(file[i]);
        const bool lineEnd = (byte == '\r' && i + 1 < file.size() && file[i + 1] == '\n') ||
                             (byte == '\n' && i > 0 && file[i - 1] == '\r');
        EXPECT_TRUE(byte >= 0x20 || lineEnd) << "byte " << int{byte} << " at " << i;
    }
    EXPECT_NE(file.find(",Correct,'=cmd|' /C calc'!A0,2001:db8::1,SNTP,-0.2500000,42,Corrected,3600.2000000\r\n"),
              std::string::npos)
        << file;
    EXPECT_NE(file.find(",Correct,\"'+1, a \"\"sum\"\"\",2001:db8::1,"), std::string::npos) << file;

    const std::vector<HistoryEntry> rows = readHistory();
    ASSERT_EQ(rows.size(), std::size(names));
    EXPECT_EQ(rows[0].server, "evil\\x1B]0;title\\x07.test");
    EXPECT_EQ(rows[1].server, "\\x1B[2Jwiped.test");
    EXPECT_EQ(rows[2].server, "bare\\x0Dreturn.test");
    EXPECT_EQ(rows[3].server, formula);
    EXPECT_EQ(rows[4].server, names[4]);
    EXPECT_EQ(rows[5].server, "'quoted");
    for (const HistoryEntry& row : rows) {
        EXPECT_EQ(row.address, "2001:db8::1");
        EXPECT_EQ(row.outcome, "Corrected");
        EXPECT_DOUBLE_EQ(row.offsetSeconds.value_or(0), -0.25);
        EXPECT_DOUBLE_EQ(row.changeSeconds.value_or(0), 3600.2);
    }

    // Rows written before names were marked read as they always did.
    HistoryEntry read;
    ASSERT_TRUE(parseHistoryRow("2026-12-07T21:30:05.123Z,Check,=cmd|' /C calc'!A0,1.2.3.4,SNTP,0.5,12,Checked,", read));
    EXPECT_EQ(read.server, formula);
    ASSERT_TRUE(parseHistoryRow("2026-12-07T21:30:05.123Z,Check,'quoted,'1.2.3.4,SNTP,-0.5,12,Checked,", read));
    EXPECT_EQ(read.server, "'quoted");
    EXPECT_EQ(read.address, "'1.2.3.4");
    EXPECT_DOUBLE_EQ(read.offsetSeconds.value_or(0), -0.5);
}

TEST_F(HistoryFile, TheSpanStartsAtItsFirstInstantAndCoversBothFiles) {
    const platform::FileTime start = fileTimeOf(2026, 12, 1);
    appendHistory(sample(start - platform::kFileTimeUnitsPerMs));
    appendHistory(sample(start));
    // Past its size the file moves to History.old.csv and the next row
    // starts a new one; both are read, the damaged line between skipped
    // and counted (not the headers nor the blank line).
    const std::string grown =
        test::readFile(dir.file(kHistoryFileName)) + std::string(kHistoryRotateAbove, 'x') + "\r\n\r\n";
    test::writeFile(dir.file(kHistoryFileName), grown);
    appendHistory(sample(start + 20 * platform::kFileTimeUnitsPerSecond));
    EXPECT_EQ(test::readFile(dir.file(kOldHistoryFileName)), grown);
    size_t skipped = 0;
    const std::vector<HistoryEntry> rows = readHistory(start, skipped);
    EXPECT_EQ(skipped, 1u);
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[0].when, start);
    EXPECT_EQ(rows[1].when, start + 20 * platform::kFileTimeUnitsPerSecond);
}

}  // namespace
}  // namespace tavrel
