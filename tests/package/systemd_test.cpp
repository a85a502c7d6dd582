// The systemd units and the sysusers.d and tmpfiles.d snippets, checked by
// systemd's own tools: the units must verify without a complaint, and the
// snippets must create the run user and the working directory that the
// daemon's defaults name.
#include <gtest/gtest.h>

#include <fstream>
#include <regex>
#include <sstream>

#include "package/package.h"

namespace {

std::string defaultOf(const std::string& key) {
    testsupport::RunResult dump = pkg::defaultDump();
    for (const std::string& line : pkg::dumpKeyLines(dump.out)) {
        if (pkg::startsWith(line, key + " = "))
            return line.substr(key.size() + 3);
    }
    return "";
}

void copyFile(const std::string& from, const std::string& to) {
    std::filesystem::create_directories(std::filesystem::path(to).parent_path());
    std::filesystem::copy_file(from, to, std::filesystem::copy_options::overwrite_existing);
}

// Values of every "key=value" line of a unit file for the key.
std::vector<std::string> unitValues(const std::string& unit_text, const std::string& key) {
    std::vector<std::string> values;
    for (const std::string& line : pkg::splitLines(unit_text)) {
        if (pkg::startsWith(line, key + "="))
            values.push_back(line.substr(key.size() + 1));
    }
    return values;
}

struct UnitCase {
    const char* file;      // in systemd/
    const char* verify_as; // unit name given to the copy
    const char* exec_args; // what ExecStart passes to the daemon
    const char* socket;    // its socket unit in systemd/, verified beside it
    const char* socket_as;
};

void PrintTo(const UnitCase& unit, std::ostream* os) {
    *os << unit.file;
}

class SystemdUnits : public ::testing::TestWithParam<UnitCase> {};

// systemd-analyze reports problems on its output but still ends with status
// 0, so any output fails. The daemon in ExecStart is the one just built, and
// the manual pages named in Documentation= are the ones in the source tree.
TEST_P(SystemdUnits, VerifyWithoutComplaint) {
    std::string analyze = pkg::findProgram("systemd-analyze");
    if (analyze.empty())
        GTEST_SKIP() << "systemd-analyze is not installed";
    const UnitCase& unit = GetParam();
    testsupport::TempDir dir;
    std::string text = testsupport::readFile(pkg::sourceFile(std::string("systemd/") + unit.file));
    ASSERT_FALSE(text.empty());

    std::vector<std::string> exec = unitValues(text, "ExecStart");
    ASSERT_EQ(exec.size(), 1u);
    EXPECT_EQ(exec[0], std::string("/usr/sbin/tindrel ") + unit.exec_args);
    std::string built =
        std::regex_replace(text, std::regex("^ExecStart=/usr/sbin/tindrel ", std::regex::multiline),
                           std::string("ExecStart=") + TINDREL_BINARY + " ");
    ASSERT_NE(built, text);
    std::string copy = dir.file(unit.verify_as);
    testsupport::writeFile(copy, built);

    copyFile(pkg::sourceFile("man/tindrel.8"), dir.file("man/man8/tindrel.8"));
    copyFile(pkg::sourceFile("man/tindrel.conf.5"), dir.file("man/man5/tindrel.conf.5"));
    std::vector<std::string> args = {"/usr/bin/env", "MANPATH=" + dir.file("man"), analyze,
                                     "verify"};
    if (pkg::findProgram("man").empty())
        args.push_back("--man=no");
    args.push_back(copy);
    copyFile(pkg::sourceFile(std::string("systemd/") + unit.socket), dir.file(unit.socket_as));
    args.push_back(dir.file(unit.socket_as));
    testsupport::RunResult r = testsupport::run(args, 60000);
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(r.out + r.err, "");
}

// The sandbox lets the daemon write its default working directory and, when
// it exists, the folder of the shipped configuration's metrics file.
TEST_P(SystemdUnits, WritableAreTheWorkingDirectoryAndTheMetricsFolder) {
    std::string text =
        testsupport::readFile(pkg::sourceFile(std::string("systemd/") + GetParam().file));
    std::string metrics;
    for (const std::string& line : pkg::shippedKeyLines())
        if (pkg::startsWith(line, "metrics = "))
            metrics = line.substr(10);
    ASSERT_TRUE(metrics.starts_with("/")) << metrics;
    const std::vector<std::string> expected = {
        defaultOf("working-dir"), "-" + std::filesystem::path(metrics).parent_path().string()};
    EXPECT_EQ(unitValues(text, "ReadWritePaths"), expected);
}

INSTANTIATE_TEST_SUITE_P(Units, SystemdUnits,
                         ::testing::Values(UnitCase{"tindrel.service", "tindrel.service",
                                                    "-C /etc/tindrel.conf -d", "tindrel.socket",
                                                    "tindrel.socket"},
                                           UnitCase{"tindrel@.service", "tindrel@lab.service",
                                                    "-C /etc/tindrel/%i.conf -d", "tindrel@.socket",
                                                    "tindrel@lab.socket"}),
                         [](const ::testing::TestParamInfo<UnitCase>& param) {
                             return param.index == 0 ? std::string("Single")
                                                     : std::string("PerPrinter");
                         });

// A system root in a temporary directory, for systemd-sysusers and
// systemd-tmpfiles to work on instead of the machine's.
class SystemSnippets : public ::testing::Test {
protected:
    void SetUp() override {
        sysusers = pkg::findProgram("systemd-sysusers");
        tmpfiles = pkg::findProgram("systemd-tmpfiles");
        if (sysusers.empty() || tmpfiles.empty())
            GTEST_SKIP() << "systemd-sysusers or systemd-tmpfiles is not installed";
        std::filesystem::create_directories(root.file("etc"));
        testsupport::writeFile(root.file("etc/passwd"), "root:x:0:0:root:/root:/bin/sh\n");
        testsupport::writeFile(root.file("etc/group"), "root:x:0:\nlp:x:7:\n");
        copyFile(pkg::sourceFile("systemd/tindrel.sysusers"),
                 root.file("usr/lib/sysusers.d/tindrel.conf"));
        copyFile(pkg::sourceFile("systemd/tindrel.tmpfiles"),
                 root.file("usr/lib/tmpfiles.d/tindrel.conf"));
        run_user = defaultOf("user");
        working_dir = defaultOf("working-dir");
        ASSERT_FALSE(run_user.empty());
        ASSERT_FALSE(working_dir.empty());
    }

    // The fields of the line of `name` in the root's passwd or group file.
    std::vector<std::string> entry(const char* file, const std::string& name) {
        for (const std::string& line : pkg::splitLines(testsupport::readFile(root.file(file)))) {
            std::vector<std::string> fields;
            std::stringstream in(line);
            std::string field;
            while (std::getline(in, field, ':'))
                fields.push_back(field);
            if (line.back() == ':')
                fields.emplace_back();
            if (!fields.empty() && fields[0] == name)
                return fields;
        }
        return {};
    }

    testsupport::TempDir root;
    std::string sysusers, tmpfiles, run_user, working_dir;
};

TEST_F(SystemSnippets, SysusersCreatesTheRunUserInTheGroupLp) {
    testsupport::RunResult r = testsupport::run({sysusers, "--root=" + root.path()}, 30000);
    ASSERT_EQ(r.status, 0) << r.out << r.err;

    std::vector<std::string> user = entry("etc/passwd", run_user);
    ASSERT_EQ(user.size(), 7u) << testsupport::readFile(root.file("etc/passwd"));
    int uid = std::stoi(user[2]);
    EXPECT_GT(uid, 0);
    EXPECT_LT(uid, 1000) << "not a system user";
    EXPECT_NE(user[3], "0");
    EXPECT_EQ(user[5], working_dir);
    EXPECT_EQ(user[6], "/usr/sbin/nologin");

    std::vector<std::string> lp = entry("etc/group", "lp");
    ASSERT_EQ(lp.size(), 4u);
    EXPECT_EQ(lp[3], run_user);
}

TEST_F(SystemSnippets, TmpfilesHandsTheWorkingDirectoryToTheRunUser) {
    if (geteuid() != 0)
        GTEST_SKIP() << "giving the directory away needs root";
    ASSERT_EQ(testsupport::run({sysusers, "--root=" + root.path()}, 30000).status, 0);
    testsupport::RunResult r =
        testsupport::run({tmpfiles, "--root=" + root.path(), "--create"}, 30000);
    ASSERT_EQ(r.status, 0) << r.out << r.err;

    struct stat st {};
    ASSERT_EQ(stat(root.file(working_dir.substr(1)).c_str(), &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    EXPECT_EQ(st.st_mode & 07777, 0750u);
    std::vector<std::string> user = entry("etc/passwd", run_user);
    ASSERT_EQ(user.size(), 7u);
    EXPECT_EQ(st.st_uid, static_cast<uid_t>(std::stoul(user[2])));
    EXPECT_EQ(st.st_gid, static_cast<gid_t>(std::stoul(user[3])));
}

} // namespace
