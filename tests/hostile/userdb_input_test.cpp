// Hostile user databases: a very large one, binary garbage, a directory.
#include "hostile.h"

#include "facepage/facepage.h"
#include "startup/startup.h"

#include <gtest/gtest.h>

#include <string>

namespace {

constexpr size_t kRecords = 100000;

// kRecords records with distinct addresses; the last is the loopback client.
std::string largeDatabase() {
    std::string text;
    for (size_t i = 0; i + 1 < kRecords; ++i) {
        text += "10." + std::to_string(i >> 16) + "." + std::to_string((i >> 8) & 0xFF) + "." +
                std::to_string(i & 0xFF) + " R" + std::to_string(i) + " 555" + std::to_string(i) +
                "\n";
    }
    text += "127.0.0.1 LASTOFF 5550199\n";
    return text;
}

class HostileUserDatabase : public ::testing::Test {
protected:
    void SetUp() override {
        verbose = 0;
        conf.local = dir.file("tindrel.db");
    }
    void TearDown() override {
        userDb.clear();
        conf.local.clear();
    }

    e2e::TempDir dir;
};

TEST_F(HostileUserDatabase, HundredThousandRecordsAreAllLoaded) {
    dir.write("tindrel.db", largeDatabase());
    ASSERT_EQ(ReadDb(), 0);
    ASSERT_EQ(userDb.size(), kRecords);
    EXPECT_EQ(userDb.back().index, static_cast<int32_t>(kRecords));
    EXPECT_EQ(lookupIp("10.0.0.0"), 0);
    EXPECT_EQ(lookupIp("127.0.0.1"), static_cast<int>(kRecords - 1));
    EXPECT_EQ(userDb.back().office, "LASTOFF");
    EXPECT_EQ(userDb.back().phone, "5550199");
}

TEST_F(HostileUserDatabase, BinaryGarbageLoadsTokensCutToTheirWidths) {
    dir.write("tindrel.db", e2e::randomBytes(256 << 10, 3));
    ASSERT_EQ(ReadDb(), 0);
    ASSERT_FALSE(userDb.empty());
    for (size_t i = 0; i < userDb.size(); ++i) {
        EXPECT_EQ(userDb[i].index, static_cast<int32_t>(i + 1));
        EXPECT_LE(userDb[i].ip_address.size(), kDbAddressWidth);
        EXPECT_LE(userDb[i].office.size(), kDbOfficeWidth);
        EXPECT_LE(userDb[i].phone.size(), kDbPhoneWidth);
    }
    EXPECT_EQ(lookupIp("127.0.0.1"), -1);
}

TEST_F(HostileUserDatabase, DirectoryIsRefusedAndLeavesNoRecord) {
    dir.write("tindrel.db", "127.0.0.1 A12 5550\n");
    ASSERT_EQ(ReadDb(), 0);
    conf.local = dir.path();
    EXPECT_EQ(ReadDb(), 1);
    EXPECT_EQ(lookupIp("127.0.0.1"), -1);
}

class HostileUserDatabaseStart : public hostile::SpoolStart {};

TEST_F(HostileUserDatabaseStart, LastOfHundredThousandRecordsReachesTheFacePage) {
    dir.write("tindrel.db", largeDatabase());
    start();
    ASSERT_FALSE(HasFatalFailure());
    sendJob("JOB");
    ASSERT_TRUE(waitLog(e2e::sentBytes(3)));
    std::string spooled = device();
    EXPECT_NE(spooled.find("(OFFICE : LASTOFF) N\n(PHONE : 5550199) N\n"), std::string::npos)
        << spooled;
}

TEST_F(HostileUserDatabaseStart, GarbageDatabaseGivesAPageWithoutOffice) {
    dir.write("tindrel.db", e2e::randomBytes(256 << 10, 5));
    start();
    ASSERT_FALSE(HasFatalFailure());
    sendJob("JOB");
    ASSERT_TRUE(waitLog(e2e::sentBytes(3)));
    std::string spooled = device();
    EXPECT_NE(spooled.find("(IP ADDRESS : 127.0.0.1) N\n"), std::string::npos) << spooled;
    EXPECT_EQ(spooled.find("(OFFICE :"), std::string::npos);
    EXPECT_TRUE(spooled.ends_with("JOB"));
}

} // namespace
