// Each arrangement is what its row in tools/arrangements promises, as the
// wrapper passes it on: its CPU, and WoW64 exactly for a 32-bit program in
// a win64 prefix. Without this, a prefix made for the wrong architecture, or
// a row run with the wrong loader or build, would pass every other test.
#include "platform/platform.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

namespace {

std::string Variable(const char *name)
{
    char value[64] = "";
    GetEnvironmentVariableA(name, value, sizeof value);
    return value;
}

TEST(Arrangement, MatchesThisProcess)
{
    const std::string name = Variable("BRISVANE_ARRANGEMENT"), cpu = Variable("BRISVANE_CPU"),
                      arch = Variable("WINEARCH");
    ASSERT_FALSE(name.empty()) << "run the tests through build/wine-run-*";
    ASSERT_TRUE(cpu == "i686" || cpu == "x86_64") << name << ": unknown CPU " << cpu;
    ASSERT_TRUE(arch == "win32" || arch == "win64") << name << ": unknown prefix architecture " << arch;
    BOOL wow64 = FALSE;
    ASSERT_TRUE(IsWow64Process(GetCurrentProcess(), &wow64));
    EXPECT_EQ(cpu == "x86_64" ? 64u : 32u, sizeof(void *) * 8) << name;
    EXPECT_EQ(cpu == "i686" && arch == "win64", wow64 != FALSE) << name;
}

// Run on purpose only, by tests/wine_run.sh: a program that dies before
// its output leaves its buffer, as a crash in a test would.
TEST(Arrangement, DISABLED_CrashesBeforePrinting)
{
    std::printf("left in its buffer when the output is a pipe\n");
    *static_cast<volatile int *>(nullptr) = 1;
}

// Run on purpose only, by tests/wine_run.sh: still running at its limit.
TEST(Arrangement, DISABLED_OutlivesItsLimit)
{
    Sleep(30000);
}

} // namespace
