// The Debian package that "cpack -G DEB" makes from the install rules: its
// control data, its conffiles, its maintainer scripts and its file layout
// for the prefix /usr.
#include <gtest/gtest.h>

#include <memory>
#include <set>

#include "package/package.h"

namespace {

// Paths of the entries that "dpkg-deb -c" lists, without their leading ".".
std::set<std::string> listedFiles(const std::string& listing) {
    std::set<std::string> files;
    for (const std::string& line : pkg::splitLines(listing)) {
        if (line.empty() || line[0] == 'd')
            continue;
        size_t at = line.find(" ./");
        if (at == std::string::npos)
            continue;
        std::string path = line.substr(at + 2);
        if (size_t arrow = path.find(" -> "); arrow != std::string::npos)
            path.resize(arrow);
        files.insert(path);
    }
    return files;
}

class DebianPackage : public ::testing::Test {
protected:
    // Building the package takes a few seconds: once for all tests.
    static void SetUpTestSuite() {
        std::string cpack = pkg::findProgram("cpack");
        dpkg_deb = pkg::findProgram("dpkg-deb");
        if (cpack.empty() || dpkg_deb.empty()) {
            skip_reason = "cpack or dpkg-deb is not installed";
            return;
        }
        work = std::make_unique<testsupport::TempDir>();
        testsupport::RunResult r =
            testsupport::run({cpack, "--config", pkg::buildDir() + "/CPackConfig.cmake", "-G",
                              "DEB", "-B", work->file("out")},
                             300000);
        build_log = r.out + r.err;
        for (const auto& entry : std::filesystem::directory_iterator(work->file("out"))) {
            if (entry.path().extension() == ".deb")
                deb = entry.path().string();
        }
        if (deb.empty())
            return;
        testsupport::run({dpkg_deb, "-e", deb, work->file("control")});
        testsupport::run({dpkg_deb, "-x", deb, work->file("tree")});
        files = listedFiles(testsupport::run({dpkg_deb, "-c", deb}).out);
    }

    static void TearDownTestSuite() { work.reset(); }

    void SetUp() override {
        if (!skip_reason.empty())
            GTEST_SKIP() << skip_reason;
        ASSERT_FALSE(deb.empty()) << "cpack made no package:\n" << build_log;
    }

    static std::string field(const std::string& name) {
        std::string value = testsupport::run({dpkg_deb, "-f", deb, name}).out;
        while (!value.empty() && value.back() == '\n')
            value.pop_back();
        return value;
    }

    static inline std::string skip_reason;
    static inline std::string dpkg_deb;
    static inline std::unique_ptr<testsupport::TempDir> work;
    static inline std::string build_log;
    static inline std::string deb;
    static inline std::set<std::string> files;
};

TEST_F(DebianPackage, ControlNamesTheDependencies) {
    EXPECT_EQ(field("Package"), "tindrel");
    EXPECT_TRUE(pkg::startsWith(field("Version"), "1.0.2-")) << field("Version");
    std::string dpkg = pkg::findProgram("dpkg");
    if (!dpkg.empty()) {
        std::string arch = testsupport::run({dpkg, "--print-architecture"}).out;
        EXPECT_EQ(field("Architecture") + "\n", arch);
    }
    std::string depends = field("Depends");
    // adduser for the run user; the C and C++ runtimes and libsystemd the
    // program links.
    for (const char* needed : {"adduser", "libc6", "libstdc++6", "libsystemd0"})
        EXPECT_NE(depends.find(needed), std::string::npos) << needed << " missing in: " << depends;
}

TEST_F(DebianPackage, FilesLandWhereTheDaemonAndSystemdLook) {
    std::set<std::string> expected = {
        "/usr/sbin/tindrel",
        "/usr/share/man/man8/tindrel.8.gz",
        "/usr/share/man/man5/tindrel.conf.5.gz",
        "/usr/share/doc/tindrel/copyright",
        "/usr/share/doc/tindrel/changelog.Debian.gz",
        "/usr/share/doc/tindrel/README.md.gz",
        "/usr/lib/sysusers.d/tindrel.conf",
        "/usr/lib/tmpfiles.d/tindrel.conf",
        "/etc/tindrel.conf",
        "/etc/logrotate.d/tindrel",
        // Copied into the working directory on the first installation only,
        // so that an administrator's edits survive upgrades.
        "/usr/share/tindrel/tindrel.ps",
        "/usr/share/tindrel/tindrel.txt",
        "/usr/share/tindrel/tindrel.db",
        "/lib/systemd/system/tindrel.service",
        "/lib/systemd/system/tindrel@.service",
        "/lib/systemd/system/tindrel.socket",
        "/lib/systemd/system/tindrel@.socket",
    };
    EXPECT_EQ(files, expected) << build_log;

    // The units start the program that the package installs.
    for (const char* unit :
         {"/lib/systemd/system/tindrel.service", "/lib/systemd/system/tindrel@.service"}) {
        std::string text = testsupport::readFile(work->file("tree") + unit);
        size_t at = text.find("\nExecStart=");
        ASSERT_NE(at, std::string::npos) << unit;
        std::string program = text.substr(at + 11, text.find(' ', at) - at - 11);
        EXPECT_EQ(files.count(program), 1u) << unit << " starts " << program;
    }
}

TEST_F(DebianPackage, EveryFileInEtcIsAConffile) {
    std::vector<std::string> conffiles =
        pkg::splitLines(testsupport::readFile(work->file("control/conffiles")));
    ASSERT_FALSE(conffiles.empty());
    std::set<std::string> listed(conffiles.begin(), conffiles.end());
    for (const std::string& file : files) {
        if (pkg::startsWith(file, "/etc/")) {
            EXPECT_EQ(listed.count(file), 1u) << file << " is not a conffile";
        }
    }
    for (const std::string& conffile : conffiles)
        EXPECT_EQ(files.count(conffile), 1u) << conffile << " is not in the package";
    EXPECT_EQ(listed.count("/etc/tindrel.conf"), 1u);
}

TEST_F(DebianPackage, MaintainerScriptsAreExecutableShellScripts) {
    for (const char* script : {"postinst", "prerm", "postrm"}) {
        std::string path = work->file(std::string("control/") + script);
        struct stat st {};
        ASSERT_EQ(stat(path.c_str(), &st), 0) << script;
        EXPECT_EQ(st.st_mode & 0777, 0755u) << script;
        testsupport::RunResult r = testsupport::run({"/bin/sh", "-n", path});
        EXPECT_EQ(r.status, 0) << script << ": " << r.err;
    }
}

// The stripped program in the package runs and reads the packaged configuration as the defaults.
TEST_F(DebianPackage, PackagedDaemonReadsThePackagedConfiguration) {
    std::string tree = work->file("tree");
    testsupport::RunResult dump =
        testsupport::run({tree + "/usr/sbin/tindrel", "-C", tree + "/etc/tindrel.conf", "-c"});
    ASSERT_FALSE(dump.timed_out);
    EXPECT_EQ(pkg::dumpKeyLines(dump.out), pkg::shippedKeyLines()) << dump.out << dump.err;
}

} // namespace
