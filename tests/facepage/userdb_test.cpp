#include "capture.h"

#include <array>

using testsupport::writeFile;

namespace {

class UserDatabase : public facepagetest::SenderTest {
protected:
    int load(const std::string& text) {
        writeFile(conf.local, text);
        return ReadDb();
    }
    void expectRecord(size_t pos, const char* address, const char* office, const char* phone) {
        ASSERT_LT(pos, userDb.size());
        EXPECT_EQ(userDb[pos].index, static_cast<int32_t>(pos + 1));
        EXPECT_EQ(userDb[pos].ip_address, address);
        EXPECT_EQ(userDb[pos].office, office);
        EXPECT_EQ(userDb[pos].phone, phone);
    }
};

// Records are read three tokens at a time across lines, each token cut at
// its width; a pass that meets the end keeps the tokens it did not reach.
TEST_F(UserDatabase, RecordsHoldTheTokensInOrder) {
    using Record = std::array<const char*, 3>;
    const std::pair<const char*, std::vector<Record>> cases[] = {
        {"10.0.0.5 A12 552\n10.0.0.9 B3 553\n",
         {{"10.0.0.5", "A12", "552"}, {"10.0.0.9", "B3", "553"}}},
        {"10.0.0.5\n  A12\n552 10.0.0.9\tB3\n\n553",
         {{"10.0.0.5", "A12", "552"}, {"10.0.0.9", "B3", "553"}}},
        {"10.0.0.5 A12 552\n10.0.0.9 B3\n",
         {{"10.0.0.5", "A12", "552"}, {"10.0.0.9", "B3", "552"}}},
        {"", {{"", "", ""}}},
        {" \n\t\n  ", {{"", "", ""}}},
        {"255.255.255.255.abcd 0123456789 0123456789\n",
         {{"255.255.255.255.abcd", "0123456789", "0123456789"}}},
        {"10.0.0.5 OFFICE-NAME-LONG 552\n",
         {{"10.0.0.5", "OFFICE-NAM", "E-LONG"}, {"552", "OFFICE-NAM", "E-LONG"}}},
    };
    for (const auto& [text, records] : cases) {
        SCOPED_TRACE(text);
        ASSERT_EQ(load(text), 0);
        ASSERT_EQ(userDb.size(), records.size());
        for (size_t i = 0; i < records.size(); ++i)
            expectRecord(i, records[i][0], records[i][1], records[i][2]);
    }
}

// A token cut at its width, or a token count that is not a multiple of
// three, puts later entries out of step: one line each on standard error,
// naming the file (and the line of the cut). The file is read as before.
TEST_F(UserDatabase, ShiftingEntriesAreWarnedAbout) {
    const std::pair<const char*, std::vector<std::string>> cases[] = {
        {"10.0.0.5 A12 552\n10.0.0.9 B3 553\n", {}},
        {"10.0.0.5 A12 552\n10.0.0.9 OFFICE-B-12 553\n",
         {" line 2: a token longer than 10 characters is cut", " holds 7 tokens, not a multiple"}},
        {"10.0.0.5 A12\n", {" holds 2 tokens, not a multiple"}},
    };
    for (const auto& [text, warnings] : cases) {
        SCOPED_TRACE(text);
        ::testing::internal::CaptureStderr();
        ASSERT_EQ(load(text), 0);
        const auto lines = testsupport::splitLines(::testing::internal::GetCapturedStderr());
        ASSERT_EQ(lines.size(), warnings.size());
        for (size_t i = 0; i < lines.size(); ++i) {
            EXPECT_TRUE(lines[i].starts_with("ReadDb: " + conf.local + warnings[i])) << lines[i];
            EXPECT_NE(lines[i].find("shift"), std::string::npos) << lines[i];
        }
    }
}

// An address is found as an address, in any of its IPv6 forms, the first
// record of it winning; IPv4 is written only one way.
TEST_F(UserDatabase, LookupFindsTheFirstRecordOfTheAddress) {
    ASSERT_EQ(load("10.0.0.5 A12 552\n10.0.0.9 B3 553\n10.0.0.5 C 554\n10.0.0.06 D 555\n"
                   "2001:0db8:0000:0000:0000:0000:0000:0001 E 556\nfe80:0::7%1 F 557\n"),
              0);
    // A link-local address matches with its interface, by name or number.
    for (auto [address, position] : {std::pair{"10.0.0.9", 1},
                                     {"fe80::7%lo", 5},
                                     {"fe80::7", -1},
                                     {"2001:db8::1", 4},
                                     {"2001:db8::2", -1},
                                     {"10.0.0.5", 0},
                                     {"10.0.0.7", -1},
                                     {"10.0.0.6", -1},
                                     {"10.0.0.0", -1}})
        EXPECT_EQ(lookupIp(address), position) << address;
}

TEST_F(UserDatabase, ReloadReplacesTheTable) {
    load("10.0.0.5 A12 552\n10.0.0.9 B3 553\n");
    load("10.0.0.7 C1 554\n");
    ASSERT_EQ(userDb.size(), 1u);
    EXPECT_EQ(lookupIp("10.0.0.9"), -1);
}

TEST_F(UserDatabase, HundredThousandRecordsAreAllLoaded) {
    std::string text;
    for (int i = 0; i + 1 < 100000; ++i)
        text += "10." + std::to_string(i >> 16) + "." + std::to_string((i >> 8) & 0xFF) + "." +
                std::to_string(i & 0xFF) + " R" + std::to_string(i) + " 555\n";
    ASSERT_EQ(load(text + "127.0.0.1 LASTOFF 5550199\n"), 0);
    ASSERT_EQ(userDb.size(), 100000u);
    EXPECT_EQ(lookupIp("10.0.0.0"), 0);
    EXPECT_EQ(lookupIp("127.0.0.1"), 99999);
    expectRecord(99999, "127.0.0.1", "LASTOFF", "5550199");
}

TEST_F(UserDatabase, BinaryGarbageLoadsTokensCutToTheirWidths) {
    ASSERT_EQ(load(testsupport::randomBytes(256 << 10, 3)), 0);
    ASSERT_FALSE(userDb.empty());
    for (size_t i = 0; i < userDb.size(); ++i) {
        EXPECT_EQ(userDb[i].index, static_cast<int32_t>(i + 1));
        EXPECT_LE(userDb[i].ip_address.size(), kDbAddressWidth);
        EXPECT_LE(userDb[i].office.size(), kDbOfficeWidth);
        EXPECT_LE(userDb[i].phone.size(), kDbPhoneWidth);
    }
    EXPECT_EQ(lookupIp("127.0.0.1"), -1);
}

// A file that cannot be opened, or opens but cannot be read (which drops
// the table loaded before), is reported.
TEST_F(UserDatabase, UnusablePathIsReported) {
    for (auto [path, message] : {std::pair{dir.file("absent.db"), "fopen: User DataBase not found"},
                                 {dir.path(), "read: User DataBase unreadable"}}) {
        if (path == dir.path()) {
            ASSERT_EQ(load("10.0.0.5 A12 552\n"), 0);
        }
        conf.local = path;
        ::testing::internal::CaptureStderr();
        EXPECT_EQ(ReadDb(), 1);
        std::string err = ::testing::internal::GetCapturedStderr();
        EXPECT_TRUE(err.starts_with("ReadDb : " + std::string(message) + ": ")) << err;
        EXPECT_EQ(lookupIp("10.0.0.5"), -1);
        conf.local = dir.file("tindrel.db");
    }
}

TEST_F(UserDatabase, EmptyPathLoadsNothing) {
    conf.local.clear();
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(ReadDb(), 1);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
}

TEST_F(UserDatabase, VerboseNamesTheFile) {
    verbose = 1;
    writeFile(conf.local, "10.0.0.5 A12 552\n");
    ::testing::internal::CaptureStdout();
    ReadDb();
    EXPECT_EQ(::testing::internal::GetCapturedStdout(),
              "ReadDb : conf.local=[" + conf.local + "]\n");
}

TEST(ShippedUserDatabase, ListsTheLocalHost) {
    conf = Conf{};
    verbose = 0;
    conf.local = std::string(TINDREL_SOURCE_DIR) + "/share/tindrel.db";
    ASSERT_EQ(ReadDb(), 0);
    EXPECT_GE(lookupIp("127.0.0.1"), 0);
    for (const auto& r : userDb)
        EXPECT_FALSE(r.office.empty() || r.phone.empty()) << r.ip_address;
    userDb.clear();
    conf = Conf{};
}

} // namespace
