// The safety proof: one confirmed run of the real program over the
// footprint among look-alikes and what a naive walk trips on. All of HKCU
// and HKLM\Software\Microsoft, in both views, before and after: exactly the
// seven trees, in the program's own view, and the four values are gone.
#include "harness/program.h"
#include "harness/snapshot.h"

#include <gtest/gtest.h>

#include <cstdio>

TEST(SafetyProof, ConfirmedRunRemovesExactlyTheTargets)
{
    int keys = harness::SeedAll(60);
    std::set<std::string> before = harness::AllEntries();
    harness::RunResult run = harness::ConfirmedRun();
    ASSERT_TRUE(run.ok) << run.error;
    EXPECT_EQ(0u, run.exitCode);
    ASSERT_EQ(7u, run.lines.size());
    harness::Difference d = harness::Compare(before, harness::AllEntries());
    // An entry can be 30,000 characters long; its start says which it is.
    for (auto [entries, what] : {std::pair{&d.added, "appeared"}, {&d.wronglyRemoved, "bystanders removed"},
                                 {&d.left, "target entries left"}})
        EXPECT_TRUE(entries->empty()) << entries->size() << " " << what << ", first: " << entries->front().substr(0, 300);
    EXPECT_GE(d.expected, size_t(keys) + 4);
    std::printf("safety proof: %d footprint keys seeded; %u registry entries removed (%u expected), %u added\n", keys,
                unsigned(d.removed.size()), unsigned(d.expected), unsigned(d.added.size()));
    harness::RemoveAll();
}
