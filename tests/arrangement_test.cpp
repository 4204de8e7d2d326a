// Each arrangement is what its name promises: a 64-bit twin, the 32-bit tool
// under WoW64, or the 32-bit tool on 32-bit Windows. Without this, a prefix
// made for the wrong architecture would pass every other test unnoticed.
#include "platform/platform.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(Arrangement, MatchesThisProcess)
{
    char name[16] = "";
    ASSERT_NE(0u, GetEnvironmentVariableA("BRISVANE_ARRANGEMENT", name, sizeof name))
        << "run the tests through build/wine-run-*";
    static const struct {
        const char *name;
        size_t pointerBits;
        bool wow64;
    } rows[] = {{"x64", 64, false}, {"wow64", 32, true}, {"win32", 32, false}};
    for (const auto &row : rows) {
        if (std::string(name) != row.name)
            continue;
        BOOL wow64 = FALSE;
        ASSERT_TRUE(IsWow64Process(GetCurrentProcess(), &wow64));
        EXPECT_EQ(row.pointerBits, sizeof(void *) * 8);
        EXPECT_EQ(row.wow64, wow64 != FALSE);
        return;
    }
    FAIL() << "unknown arrangement " << name;
}

} // namespace
