#include "startup/startup.h"
#include "support/support.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

using testsupport::TempDir;
using testsupport::writeFile;

namespace {

// Derives the settings from a file as a start with the given provisional
// working directory would, without switching the identity of the test.
class RuntimeSettings : public ::testing::Test {
protected:
    void SetUp() override {
        resetKeyTable();
        conf = Conf{};
        verbose = 0;
        conf_path = dir.file("tindrel.conf");
    }
    void TearDown() override {
        resetKeyTable();
        conf = Conf{};
    }
    void derive(const std::string& text, const std::string& provisional_dir) {
        writeFile(conf_path, text);
        ASSERT_EQ(readConf(true), 0);
        conf.working_dir = provisional_dir;
        deriveSettings();
    }
    TempDir dir;
};

TEST_F(RuntimeSettings, EmptyFileGivesTheDefaults) {
    derive("", "/home/tindrelusr");
    EXPECT_EQ(conf.working_dir, "/var/lib/tindrel");
    EXPECT_EQ(conf.template_name, "/var/lib/tindrel/tindrel.ps");
    EXPECT_EQ(conf.template_type, "ps");
    EXPECT_EQ(conf.logfile_path, "/var/lib/tindrel/tindrel.log");
    EXPECT_EQ(conf.local, "/var/lib/tindrel/tindrel.db");
    EXPECT_EQ(conf.proxy_port, htons(9100));
    EXPECT_EQ(conf.proxy_ip, inet_addr("0.0.0.0"));
    EXPECT_EQ(conf.printer_port, htons(9100));
    EXPECT_EQ(conf.printer_ip, inet_addr("127.0.0.1"));
    EXPECT_EQ(conf.printer_dev, "/dev/lp0");
    EXPECT_EQ(conf.idle_time, 90);
    EXPECT_EQ(conf.retry_printer, 3);
    EXPECT_EQ(conf.use_printer, 1);
    EXPECT_EQ(conf.use_syslog, 0);
}

TEST_F(RuntimeSettings, AbsoluteNamesStayRelativeNamesGoInTheWorkingDir) {
    derive("working-dir = /srv/p\ntemplate-name = /etc/banner.ps\nip-location = users.db\n"
           "logfile = /var/log/tindrel.log\n",
           "./");
    EXPECT_EQ(conf.template_name, "/etc/banner.ps");
    EXPECT_EQ(conf.local, "/srv/p/users.db");
    EXPECT_EQ(conf.logfile_path, "/var/log/tindrel.log");
}

TEST_F(RuntimeSettings, EmptyWorkingDirKeepsTheProvisionalOne) {
    derive("working-dir =\n", "./");
    EXPECT_EQ(conf.working_dir, "./");
    EXPECT_EQ(conf.logfile_path, ".//tindrel.log");

    derive("working-dir =\n", "");
    EXPECT_EQ(conf.working_dir, "/var/lib/tindrel");
}

TEST_F(RuntimeSettings, StarredLogfileSelectsTheSystemLogger) {
    derive("working-dir = /w\nlogfile = *jobs.log\n", "./");
    EXPECT_EQ(conf.use_syslog, 1);
    EXPECT_EQ(conf.logfile_path, "/w/jobs.log");

    // "*" alone names no file: the path ends in the directory separator.
    derive("working-dir = /w\nlogfile = *\n", "./");
    EXPECT_EQ(conf.use_syslog, 1);
    EXPECT_EQ(conf.logfile_path, "/w/");

    derive("working-dir = /w\nlogfile = plain.log\n", "./");
    EXPECT_EQ(conf.use_syslog, 0);
}

TEST_F(RuntimeSettings, NoPrinterAddressOrPortSelectsTheDeviceSpool) {
    derive("printer-port = 0\n", "./");
    EXPECT_EQ(conf.use_printer, 0);
    EXPECT_EQ(conf.printer_dev, "/dev/lp0");

    derive("printer-ip = 0.0.0.0\nprinter-dev = /tmp/lp\n", "./");
    EXPECT_EQ(conf.use_printer, 0);
    EXPECT_EQ(conf.printer_dev, "/tmp/lp");
}

TEST_F(RuntimeSettings, NumbersAreReadLeniently) {
    derive("proxy-port = 70000\nretry-printer = abc\nidletime = 12x\nprinter-ip = not-an-ip\n",
           "./");
    EXPECT_EQ(ntohs(conf.proxy_port), 70000 & 0xFFFF);
    EXPECT_EQ(conf.retry_printer, 0);
    EXPECT_EQ(conf.idle_time, 12);
    EXPECT_EQ(conf.printer_ip, 0xFFFFFFFFu);
    EXPECT_EQ(conf.use_printer, 1);
}

TEST_F(RuntimeSettings, HugeNumbersClampInsteadOfWrapping) {
    derive("idletime = 99999999999\nretry-printer = -99999999999\n", "./");
    EXPECT_EQ(conf.idle_time, INT32_MAX);
    EXPECT_EQ(conf.retry_printer, INT32_MIN);
}

TEST_F(RuntimeSettings, ValuelessPortLineReadsAsZero) {
    derive("proxy-port = 9100\nproxy-port\n", "./");
    EXPECT_EQ(conf.proxy_port, 0);
}

TEST_F(RuntimeSettings, ValuelessLineAfterAValueGivesNoEmptyNames) {
    // The earlier length stays with an empty value; names must not become
    // empty (a directory as log, files at the root of the file system).
    derive("working-dir = /srv/print\nworking-dir =\nlogfile = jobs.log\nlogfile =\n"
           "template-type = txt\ntemplate-type =\n",
           "./");
    EXPECT_EQ(conf.working_dir, "./");
    EXPECT_EQ(conf.logfile_path, ".//tindrel.log");
    EXPECT_EQ(conf.template_type, "ps");
}

TEST_F(RuntimeSettings, LongComposedPathsAreKeptWhole) {
    std::string wd = "/" + std::string(58, 'd');
    std::string name(59, 'n');
    derive("working-dir = " + wd + "\ntemplate-name = " + name + "\n", "./");
    EXPECT_EQ(conf.template_name, wd + "/" + name);
}

} // namespace
