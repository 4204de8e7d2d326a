// Each arrangement is what its row in tools/arrangements promises, as
// cmake/wine-run passes it on: its CPU, and WoW64 exactly for a 32-bit
// program in a win64 prefix. Without this, a prefix of the wrong architecture,
// or a row run with the wrong loader or build, would pass every other test.
#include "platform/platform.h"

#include <gtest/gtest.h>

#include <string>

TEST(Arrangement, MatchesThisProcess)
{
    auto variable = [](const char *name) { return std::string(std::getenv(name) ? std::getenv(name) : ""); };
    const std::string name = variable("BRISVANE_ARRANGEMENT"), cpu = variable("BRISVANE_CPU"), arch = variable("WINEARCH");
    ASSERT_FALSE(name.empty()) << "run the tests with tools/test";
    ASSERT_TRUE(cpu == "i686" || cpu == "x86_64") << name << ": unknown CPU " << cpu;
    ASSERT_TRUE(arch == "win32" || arch == "win64") << name << ": unknown prefix architecture " << arch;
    BOOL wow64 = FALSE;
    ASSERT_TRUE(IsWow64Process(GetCurrentProcess(), &wow64));
    EXPECT_EQ(cpu == "x86_64" ? 64u : 32u, sizeof(void *) * 8) << name;
    EXPECT_EQ(cpu == "i686" && arch == "win64", wow64 != FALSE) << name;
}
