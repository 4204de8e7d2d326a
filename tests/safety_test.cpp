// The safety proof: the real program, one confirmed run over a realistic
// leftover footprint among look-alikes. Everything in HKCU and in
// HKLM\Software\Microsoft is compared before and after; the difference must
// be exactly the seven trees and the four environment values.
#include "cleanup/targets.h"
#include "tests/support/drive.h"
#include "tests/support/registry.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>

namespace {

std::string Lower(std::string s)
{
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return char(tolower(c)); });
    return s;
}

bool IsTarget(const std::string &entry)
{
    std::string e = Lower(entry);
    for (const KeyTarget &t : kKeyTargets) {
        std::string tree = Lower(fixture::RootName(RootKey(t.root)) + "\\" + t.subkey);
        if (e == tree || e.compare(0, tree.size() + 1, tree + "\\") == 0)
            return true;
    }
    for (const char *value : kEnvironmentValues)
        if (e.rfind(Lower(std::string("HKCU\\Environment\\\\:") + value + "="), 0) == 0)
            return true;
    return false;
}

std::set<std::string> Everything()
{
    std::set<std::string> all = fixture::Snapshot(HKEY_CURRENT_USER, "");
    all.merge(fixture::Snapshot(HKEY_LOCAL_MACHINE, "Software\\Microsoft"));
    return all;
}

TEST(SafetyProof, ConfirmedRunRemovesExactlyTheTargets)
{
    fixture::RemoveAll();
    int keys = fixture::SeedFootprint(60);
    fixture::SeedBystanders();
    fixture::SeedEnvironmentValues();
    std::set<std::string> before = Everything();

    drive::RunResult run = drive::ConfirmedRun();
    ASSERT_TRUE(run.ok) << run.error;
    EXPECT_EQ(0u, run.exitCode);
    ASSERT_EQ(7u, run.lines.size());

    std::set<std::string> after = Everything();
    std::vector<std::string> added, removed, wronglyRemoved, expectedRemoved;
    std::set_difference(after.begin(), after.end(), before.begin(), before.end(), std::back_inserter(added));
    std::set_difference(before.begin(), before.end(), after.begin(), after.end(), std::back_inserter(removed));
    for (const auto &entry : before)
        if (IsTarget(entry))
            expectedRemoved.push_back(entry);
    for (const auto &entry : removed)
        if (!IsTarget(entry))
            wronglyRemoved.push_back(entry);

    EXPECT_TRUE(added.empty()) << added.size() << " entries appeared, first: " << added.front();
    EXPECT_TRUE(wronglyRemoved.empty()) << wronglyRemoved.size() << " bystanders removed, first: "
                                        << wronglyRemoved.front();
    EXPECT_EQ(expectedRemoved, removed);
    EXPECT_GE(expectedRemoved.size(), size_t(keys) + 4);
    std::printf("safety proof: %d footprint keys seeded; %u registry entries kept, %u removed "
                "(%u expected), %u added\n",
                keys, unsigned(after.size()), unsigned(removed.size()), unsigned(expectedRemoved.size()),
                unsigned(added.size()));
    fixture::RemoveAll();
}

} // namespace
