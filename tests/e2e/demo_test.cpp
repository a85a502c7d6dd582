// scripts/demo.sh, started by root from a clone in a folder that its run
// user cannot enter (a home of mode 0700), serves a job all the same.
#include <gtest/gtest.h>

#include <filesystem>
#include <regex>
#include <sys/stat.h>

#include "support/support.h"

namespace testsupport {
namespace {

TEST(Demo, RootStartFromAClosedFolderServesAJob) {
    if (!runningAsRoot())
        GTEST_SKIP() << "the demonstration changes its run user only when started by root";
    // The script and the shipped files it takes, in a folder closed to others.
    TempDir home;
    ASSERT_EQ(chmod(home.path().c_str(), 0700), 0);
    namespace fs = std::filesystem;
    for (const char* name :
         {"scripts/demo.sh", "share/tindrel.ps", "share/tindrel.txt", "share/tindrel.db"}) {
        fs::create_directories(fs::path(home.file(name)).parent_path());
        fs::copy_file(std::string(TINDREL_SOURCE_DIR) + "/" + name, home.file(name));
    }
    const uint16_t port = freePort();
    Process demo({"sh", home.file("scripts/demo.sh")},
                 {.env = {std::string("TINDREL_DEMO_BINARY=") + TINDREL_BINARY,
                          "TINDREL_DEMO_PORT=" + std::to_string(port)}});
    ASSERT_TRUE(demo.waitListening(port)) << demo.out() << demo.err();

    const std::string said = demo.out();
    std::smatch named;
    ASSERT_TRUE(
        std::regex_search(said, named, std::regex("run files in +(/tmp/tindrel-demo-\\w+)\n")))
        << said;
    const std::string run = named[1];
    struct Cleanup {
        std::string path;
        ~Cleanup() { fs::remove_all(path); }
    } cleanup{run};
    // Root keeps the folder: the run user can put no link into it.
    struct stat st {};
    ASSERT_EQ(stat(run.c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, 0u);
    EXPECT_EQ(st.st_mode & 0777, 0755u);

    const std::string job = "%!PS\n%%For: demo-user\n(demo job) show showpage\n";
    Client client(port);
    ASSERT_TRUE(client.send(job));
    client.shutdownWrite();
    ASSERT_TRUE(client.readToEnd());
    EXPECT_FALSE(client.wasReset());
    EXPECT_TRUE(waitUntil([&] { return readFile(run + "/printer.out").ends_with(job); }, 10))
        << readFile(run + "/printer.out");
    EXPECT_TRUE(waitUntil(
        [&] {
            return readFile(run + "/accounting.jsonl").find("\"demo-user\"") != std::string::npos;
        },
        10));
    EXPECT_NE(said.find("@tsv' " + run + "/accounting.jsonl"), std::string::npos) << said;
    EXPECT_EQ(demo.err(), ""); // every file the daemon writes is its own
}

} // namespace
} // namespace testsupport
