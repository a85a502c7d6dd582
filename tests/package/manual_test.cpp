// The manual pages must format cleanly: groff with every warning switched
// on reports nothing.
#include <gtest/gtest.h>

#include "package/package.h"

namespace {

class ManualPages : public ::testing::TestWithParam<const char*> {};

TEST_P(ManualPages, FormatWithoutWarnings) {
    std::string groff = pkg::findProgram("groff");
    if (groff.empty())
        GTEST_SKIP() << "groff is not installed";
    std::string page = pkg::sourceFile(GetParam());
    ASSERT_TRUE(std::filesystem::exists(page)) << page;
    testsupport::RunResult r =
        testsupport::run({groff, "-man", "-Tutf8", "-ww", "-z", page}, 30000);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out + r.err, "");
}

INSTANTIATE_TEST_SUITE_P(Pages, ManualPages,
                         ::testing::Values("man/tindrel.8", "man/tindrel.conf.5"),
                         [](const ::testing::TestParamInfo<const char*>& param) {
                             return param.index == 0 ? std::string("Tindrel8")
                                                     : std::string("TindrelConf5");
                         });

} // namespace
