#include "settings/settings.h"
#include "support/support.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

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
    // The derived settings, one "name=value" line each.
    std::string derive(const std::string& text, const std::string& provisional_dir) {
        resetKeyTable();
        conf = Conf{};
        testsupport::writeFile(conf_path, text);
        EXPECT_EQ(readConf(true), 0);
        conf.working_dir = provisional_dir;
        deriveSettings();
        auto ip = [](const tindrel::NetAddress& a) { return tindrel::addressText(a); };
        return "working_dir=" + conf.working_dir + "\ntemplate_name=" + conf.template_name +
               "\ntemplate_type=" + conf.template_type + "\nlogfile_path=" + conf.logfile_path +
               "\nlocal=" + conf.local + "\nproxy_port=" + std::to_string(ntohs(conf.proxy_port)) +
               "\nproxy_ip=" + ip(conf.proxy_ip) +
               "\nprinter_port=" + std::to_string(ntohs(conf.printer_port)) +
               "\nprinter_ip=" + ip(conf.printer_ip) + "\nprinter_host=" + conf.printer_host +
               "\nprinter_dev=" + conf.printer_dev +
               "\nidle_time=" + std::to_string(conf.idle_time) +
               "\nretry_printer=" + std::to_string(conf.retry_printer) +
               "\nuse_printer=" + std::to_string(conf.use_printer) +
               "\nuse_syslog=" + std::to_string(conf.use_syslog) +
               "\naccounting_path=" + conf.accounting_path + "\nmetrics_path=" + conf.metrics_path +
               "\n";
    }
    testsupport::TempDir dir;
};

TEST_F(RuntimeSettings, EmptyFileGivesTheDefaults) {
    EXPECT_EQ(derive("", "/home/tindrelusr"),
              "working_dir=/var/lib/tindrel\ntemplate_name=/var/lib/tindrel/tindrel.ps\n"
              "template_type=ps\nlogfile_path=/var/lib/tindrel/tindrel.log\n"
              "local=/var/lib/tindrel/tindrel.db\nproxy_port=9100\nproxy_ip=0.0.0.0\n"
              "printer_port=9100\nprinter_ip=127.0.0.1\nprinter_host=\nprinter_dev=/dev/lp0\n"
              "idle_time=90\nretry_printer=3\nuse_printer=1\nuse_syslog=0\naccounting_path=\n"
              "metrics_path=\n");
}

// One setting derived from a file, with "./" or "" as provisional directory.
TEST_F(RuntimeSettings, EachSettingComesFromTheFileOrItsRule) {
    const std::string wd = "/" + std::string(58, 'd');
    const std::string name(59, 'n');
    struct Case {
        std::string text;
        const char* provisional;
        std::string line;
    };
    const Case cases[] = {
        // Absolute names stay, relative names go into the working directory.
        {"working-dir = /srv/p\ntemplate-name = /etc/banner.ps\n", "./",
         "template_name=/etc/banner.ps"},
        {"working-dir = /srv/p\nip-location = users.db\n", "./", "local=/srv/p/users.db"},
        {"logfile = /var/log/tindrel.log\n", "./", "logfile_path=/var/log/tindrel.log"},
        {"working-dir = " + wd + "\ntemplate-name = " + name + "\n", "./",
         "template_name=" + wd + "/" + name},
        // An empty working directory keeps the provisional one, if any.
        {"working-dir =\n", "./", "working_dir=./\n"},
        {"working-dir =\n", "./", "logfile_path=.//tindrel.log"},
        {"working-dir =\n", "", "working_dir=/var/lib/tindrel\n"},
        // A starred logfile selects the system logger; "*" alone names no file.
        {"working-dir = /w\nlogfile = *jobs.log\n", "./", "logfile_path=/w/jobs.log\n"},
        {"working-dir = /w\nlogfile = *jobs.log\n", "./", "use_syslog=1"},
        {"working-dir = /w\nlogfile = *\n", "./", "logfile_path=/w/\n"},
        {"working-dir = /w\nlogfile = *\n", "./", "use_syslog=1"},
        {"working-dir = /w\nlogfile = plain.log\n", "./", "use_syslog=0"},
        // Accounting records like the log; no value writes none.
        {"working-dir = /w\naccounting = jobs.jsonl\n", "./", "accounting_path=/w/jobs.jsonl\n"},
        {"accounting = /srv/jobs.jsonl\n", "./", "accounting_path=/srv/jobs.jsonl\n"},
        {"accounting = a.jsonl\naccounting =\n", "./", "accounting_path=\n"},
        {"working-dir = /w\nmetrics = m/t.prom\n", "./", "metrics_path=/w/m/t.prom\n"},
        {"metrics = /srv/t.prom\nmetrics =\n", "./", "metrics_path=\n"},
        // No printer address or port selects the device spool.
        {"printer-port = 0\n", "./", "use_printer=0"},
        {"printer-ip = 0.0.0.0\nprinter-dev = /tmp/lp\n", "./", "use_printer=0"},
        {"printer-ip = 0.0.0.0\nprinter-dev = /tmp/lp\n", "./", "printer_dev=/tmp/lp\n"},
        // Numbers are read leniently, and clamp instead of wrapping.
        {"proxy-port = 70000\n", "./", "proxy_port=4464\n"},
        {"retry-printer = abc\n", "./", "retry_printer=0\n"},
        {"idletime = 12x\n", "./", "idle_time=12\n"},
        // Literals of either family; anything else is the printer's name.
        {"printer-ip = not-an-ip \n", "./",
         "printer_ip=\nprinter_host=not-an-ip\nprinter_dev=/dev/lp0\n"
         "idle_time=90\nretry_printer=3\nuse_printer=1"},
        {"printer-ip = 2001:0db8:0:0::7\n", "./", "printer_ip=2001:db8::7\nprinter_host=\n"},
        {"printer-ip = ::\nprinter-dev = /tmp/lp\n", "./", "use_printer=0"},
        {"proxy-ip = ::ffff:127.0.0.1\n", "./", "proxy_ip=127.0.0.1\n"},
        {"idletime = 99999999999\n", "./", "idle_time=2147483647\n"},
        {"retry-printer = -99999999999\n", "./", "retry_printer=-2147483648\n"},
        {"proxy-port = 9100\nproxy-port\n", "./", "proxy_port=0\n"},
        // A valueless line after a value gives no empty names.
        {"working-dir = /srv/print\nworking-dir =\n", "./", "working_dir=./\n"},
        {"logfile = jobs.log\nlogfile =\n", "./", "logfile_path=/var/lib/tindrel/tindrel.log\n"},
        {"template-type = txt\ntemplate-type =\n", "./", "template_type=ps\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        std::string got = derive(c.text, c.provisional);
        EXPECT_NE(got.find(c.line), std::string::npos) << got;
    }
}

} // namespace
