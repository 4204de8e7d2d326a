// The safety proof: the real program, one confirmed run over a realistic
// leftover footprint among look-alikes. Everything in HKCU and in
// HKLM\Software\Microsoft is compared before and after; the difference must
// be exactly the seven trees and the four environment values.
#include "tools/driver/run.h"
#include "tests/support/registry.h"

#include <gtest/gtest.h>

#include <cstdio>

namespace {

TEST(SafetyProof, ConfirmedRunRemovesExactlyTheTargets)
{
    footprint::RemoveAll();
    int keys = footprint::SeedFootprint(60);
    footprint::SeedBystanders();
    footprint::SeedEnvironmentValues();
    std::set<std::string> before = fixture::Everything();

    drive::RunResult run = drive::ConfirmedRun();
    ASSERT_TRUE(run.ok) << run.error;
    EXPECT_EQ(0u, run.exitCode);
    ASSERT_EQ(7u, run.lines.size());

    std::set<std::string> after = fixture::Everything();
    fixture::Difference d = fixture::Compare(before, after);
    EXPECT_TRUE(d.added.empty()) << d.added.size() << " entries appeared, first: " << d.added.front();
    EXPECT_TRUE(d.wronglyRemoved.empty()) << d.wronglyRemoved.size()
                                          << " bystanders removed, first: " << d.wronglyRemoved.front();
    EXPECT_EQ(d.expectedRemoved, d.removed);
    EXPECT_GE(d.expectedRemoved.size(), size_t(keys) + 4);
    std::printf("safety proof: %d footprint keys seeded; %u registry entries kept, %u removed "
                "(%u expected), %u added\n",
                keys, unsigned(after.size()), unsigned(d.removed.size()), unsigned(d.expectedRemoved.size()),
                unsigned(d.added.size()));
    footprint::RemoveAll();
}

} // namespace
