// "cmake --install" puts every file where the daemon and systemd look for
// it: inside the prefix the program, manual pages and snippets; outside it,
// by the prefix's rules, the configuration, the working directory and the
// units. DESTDIR moves the whole tree.
#include <gtest/gtest.h>

#include <set>

#include "package/package.h"

namespace {

std::set<std::string> filesUnder(const std::string& top) {
    std::set<std::string> files;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(top)) {
        if (!entry.is_directory())
            files.insert(std::filesystem::relative(entry.path(), top).string());
    }
    return files;
}

class Install : public ::testing::Test {
protected:
    void SetUp() override {
        cmake = pkg::findProgram("cmake");
        if (cmake.empty())
            GTEST_SKIP() << "cmake is not on PATH";
        ASSERT_TRUE(std::filesystem::exists(pkg::buildDir() + "/cmake_install.cmake"));
    }

    // DESTDIR comes from the argument only, never from the test's environment.
    testsupport::RunResult install(const std::string& prefix, const std::string& destdir) {
        std::vector<std::string> args = {"/usr/bin/env", "-u", "DESTDIR"};
        if (!destdir.empty())
            args.push_back("DESTDIR=" + destdir);
        args.insert(args.end(), {cmake, "--install", pkg::buildDir(), "--prefix", prefix});
        return testsupport::run(args, 120000);
    }

    void expectSameContent(const std::string& installed, const std::string& source) {
        EXPECT_EQ(testsupport::readFile(installed), testsupport::readFile(pkg::sourceFile(source)))
            << installed << " differs from " << source;
    }

    std::string cmake;
    testsupport::TempDir dir;
};

TEST_F(Install, PrefixUsrPutsConfigurationInEtcAndUnitsInLib) {
    std::string root = dir.file("root");
    testsupport::RunResult r = install("/usr", root);
    ASSERT_EQ(r.status, 0) << r.out << r.err;

    std::set<std::string> expected = {
        "usr/sbin/tindrel",
        "usr/share/man/man8/tindrel.8",
        "usr/share/man/man5/tindrel.conf.5",
        "usr/lib/sysusers.d/tindrel.conf",
        "usr/lib/tmpfiles.d/tindrel.conf",
        "etc/tindrel.conf",
        "var/lib/tindrel/tindrel.ps",
        "var/lib/tindrel/tindrel.txt",
        "var/lib/tindrel/tindrel.db",
        "lib/systemd/system/tindrel.service",
        "lib/systemd/system/tindrel@.service",
    };
    EXPECT_EQ(filesUnder(root), expected) << r.out;

    EXPECT_TRUE(pkg::isExecutableFile(root + "/usr/sbin/tindrel"));
    expectSameContent(root + "/etc/tindrel.conf", "etc/tindrel.conf");
    expectSameContent(root + "/var/lib/tindrel/tindrel.ps", "share/tindrel.ps");
    expectSameContent(root + "/var/lib/tindrel/tindrel.txt", "share/tindrel.txt");
    expectSameContent(root + "/var/lib/tindrel/tindrel.db", "share/tindrel.db");
    expectSameContent(root + "/lib/systemd/system/tindrel.service", "systemd/tindrel.service");
    expectSameContent(root + "/usr/lib/sysusers.d/tindrel.conf", "systemd/tindrel.sysusers");

    // The installed program reads the installed configuration as the defaults.
    testsupport::RunResult dump =
        testsupport::run({root + "/usr/sbin/tindrel", "-C", root + "/etc/tindrel.conf", "-c"});
    EXPECT_EQ(pkg::dumpKeyLines(dump.out), pkg::dumpKeyLines(pkg::defaultDump().out)) << dump.out;
}

TEST_F(Install, OtherPrefixKeepsEverythingUnderIt) {
    std::string prefix = dir.file("opt-tree");
    testsupport::RunResult r = install(prefix, "");
    ASSERT_EQ(r.status, 0) << r.out << r.err;

    std::set<std::string> expected = {
        "sbin/tindrel",
        "share/man/man8/tindrel.8",
        "share/man/man5/tindrel.conf.5",
        "lib/sysusers.d/tindrel.conf",
        "lib/tmpfiles.d/tindrel.conf",
        "etc/tindrel.conf",
        "var/lib/tindrel/tindrel.ps",
        "var/lib/tindrel/tindrel.txt",
        "var/lib/tindrel/tindrel.db",
        "lib/systemd/system/tindrel.service",
        "lib/systemd/system/tindrel@.service",
    };
    EXPECT_EQ(filesUnder(prefix), expected) << r.out;
    // Nothing was written elsewhere.
    for (const std::string& line : pkg::splitLines(r.out)) {
        if (pkg::startsWith(line, "-- Installing: ") || pkg::startsWith(line, "-- Up-to-date: ")) {
            EXPECT_TRUE(pkg::startsWith(line.substr(15), prefix + "/")) << line;
        }
    }
}

} // namespace
