// The safety proof: the real program, one confirmed run over a realistic
// leftover footprint among look-alikes, with what a naive walk trips on.
// Everything in HKCU and in HKLM\Software\Microsoft (in both views where
// there are two) is compared before and after; the difference must be
// exactly the seven trees, in the program's own view, and the four
// environment values.
#include "harness/program.h"
#include "harness/snapshot.h"

#include <gtest/gtest.h>

#include <cstdio>

namespace {

TEST(SafetyProof, ConfirmedRunRemovesExactlyTheTargets)
{
    int keys = harness::SeedAll(60);
    std::set<std::string> before = harness::AllEntries();

    harness::RunResult run = harness::ConfirmedRun();
    ASSERT_TRUE(run.ok) << run.error;
    EXPECT_EQ(0u, run.exitCode);
    ASSERT_EQ(7u, run.lines.size());

    std::set<std::string> after = harness::AllEntries();
    harness::Difference d = harness::Compare(before, after);
    // Entries can be 30,000 characters long; the start says which they are.
    auto first = [](const std::vector<std::string> &v) { return v.front().substr(0, 300); };
    EXPECT_TRUE(d.added.empty()) << d.added.size() << " entries appeared, first: " << first(d.added);
    EXPECT_TRUE(d.wronglyRemoved.empty()) << d.wronglyRemoved.size()
                                          << " bystanders removed, first: " << first(d.wronglyRemoved);
    EXPECT_TRUE(d.left.empty()) << d.left.size() << " target entries left, first: " << first(d.left);
    EXPECT_GE(d.expectedRemoved.size(), size_t(keys) + 4);
    std::printf("safety proof: %d footprint keys seeded; %u registry entries kept, %u removed "
                "(%u expected), %u added\n",
                keys, unsigned(after.size()), unsigned(d.removed.size()), unsigned(d.expectedRemoved.size()),
                unsigned(d.added.size()));
    harness::RemoveAll();
}

} // namespace
