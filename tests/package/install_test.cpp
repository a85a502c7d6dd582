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

// Where the files land for a prefix: /usr (with DESTDIR) puts the
// configuration in /etc and the units in /lib; any other prefix keeps
// everything under it.
TEST_F(Install, FilesLandWhereThePrefixSays) {
    struct Case {
        std::string prefix, destdir, inside; // inside: the prefix within the tree
        std::string top;                     // what is checked
    };
    const Case cases[] = {{"/usr", dir.file("root"), "usr/", dir.file("root")},
                          {dir.file("opt-tree"), "", "", dir.file("opt-tree")}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.prefix);
        testsupport::RunResult r = install(c.prefix, c.destdir);
        ASSERT_EQ(r.status, 0) << r.out << r.err;
        std::set<std::string> expected = {
            "etc/tindrel.conf", "etc/logrotate.d/tindrel", "var/lib/tindrel/tindrel.ps",
            "var/lib/tindrel/tindrel.txt", "var/lib/tindrel/tindrel.db"};
        for (const char* unit :
             {"tindrel.service", "tindrel@.service", "tindrel.socket", "tindrel@.socket"})
            expected.insert(std::string("lib/systemd/system/") + unit);
        for (const char* file :
             {"sbin/tindrel", "share/man/man8/tindrel.8", "share/man/man5/tindrel.conf.5",
              "share/doc/tindrel/README.md", "lib/sysusers.d/tindrel.conf",
              "lib/tmpfiles.d/tindrel.conf", "share/tindrel/tindrel.ps",
              "share/tindrel/tindrel.txt", "share/tindrel/tindrel.db"})
            expected.insert(c.inside + file);
        EXPECT_EQ(filesUnder(c.top), expected) << r.out;

        const std::string root = c.top + "/";
        EXPECT_TRUE(pkg::isExecutableFile(root + c.inside + "sbin/tindrel"));
        for (const char* name : {"tindrel.ps", "tindrel.txt", "tindrel.db"}) {
            expectSameContent(root + "var/lib/tindrel/" + name, std::string("share/") + name);
            expectSameContent(root + c.inside + "share/tindrel/" + name,
                              std::string("share/") + name);
        }
        expectSameContent(root + "etc/tindrel.conf", "etc/tindrel.conf");
        expectSameContent(root + c.inside + "share/doc/tindrel/README.md", "README.md");
        expectSameContent(root + "lib/systemd/system/tindrel.service", "systemd/tindrel.service");
        expectSameContent(root + c.inside + "lib/sysusers.d/tindrel.conf",
                          "systemd/tindrel.sysusers");

        // The installed program reads the installed configuration as the shipped settings.
        testsupport::RunResult dump = testsupport::run(
            {root + c.inside + "sbin/tindrel", "-C", root + "etc/tindrel.conf", "-c"});
        EXPECT_EQ(pkg::dumpKeyLines(dump.out), pkg::shippedKeyLines());
        // Nothing was written outside the tree.
        for (const std::string& line : pkg::splitLines(r.out)) {
            if (pkg::startsWith(line, "-- Installing: ") ||
                pkg::startsWith(line, "-- Up-to-date: ")) {
                EXPECT_TRUE(pkg::startsWith(line.substr(15), root)) << line;
            }
        }
    }
}

} // namespace
