// The test command's count (scripts/ctest-summary.sh) tells skipped tests
// from passed ones and gives each skip's reason, on a real ctest run of tests
// that pass, fail and skip the way GoogleTest reports them.
#include <gtest/gtest.h>

#include <algorithm>

#include "package/package.h"

namespace {

TEST(TestSummary, SkippedTestsAreCountedApartWithTheirReasons) {
    std::string ctest = pkg::findProgram("ctest");
    if (ctest.empty())
        GTEST_SKIP() << "ctest is not installed";
    testsupport::TempDir dir;
    // A test that prints what GoogleTest prints for GTEST_SKIP() << reason.
    auto skipping = [](const char* name, const char* reason) {
        return std::string("add_test(") + name + " sh -c \"echo 'x_test.cpp:9: Skipped'; echo '" +
               reason + "'; echo; echo '[  SKIPPED ] " + name + "'\")\n" + "set_tests_properties(" +
               name + " PROPERTIES SKIP_REGULAR_EXPRESSION \"\\\\[  SKIPPED \\\\]\")\n";
    };
    dir.write("CTestTestfile.cmake", "add_test(Passes true)\nadd_test(Fails false)\n" +
                                         skipping("NeedsRoot", "needs root") +
                                         skipping("NoNamespaces", "unshare refused: no"));
    testsupport::RunResult run =
        testsupport::run({ctest, "--test-dir", dir.path(), "-j", "2"}, 60000);
    dir.write("ctest.out", run.out + run.err);

    testsupport::RunResult summary = testsupport::run(
        {"sh", pkg::sourceFile("scripts/ctest-summary.sh"), dir.file("ctest.out"), dir.path()});
    EXPECT_EQ(summary.status, 0) << summary.err;
    std::vector<std::string> lines = pkg::splitLines(summary.out);
    std::sort(lines.begin(), lines.end());
    const std::string in = "skipped in " + dir.path() + ": ";
    EXPECT_EQ(lines, (std::vector<std::string>{"1 1 2", in + "NeedsRoot: needs root",
                                               in + "NoNamespaces: unshare refused: no"}))
        << run.out;
    // No ctest summary at all: status 1.
    EXPECT_EQ(testsupport::run(
                  {"sh", pkg::sourceFile("scripts/ctest-summary.sh"), "/dev/null", dir.path()})
                  .status,
              1);
}

} // namespace
