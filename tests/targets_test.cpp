// The compiled-in targets and texts, checked byte for byte against values
// written out independently here (GBK bytes as escapes, not literals).
#include "cleanup/targets.h"

#include <gtest/gtest.h>
#include <string>

namespace {

TEST(Targets, KeyTreesInRunOrder)
{
    static const struct {
        HKEY root;
        const char *subkey;
    } expected[] = {
        {HKEY_LOCAL_MACHINE, "Software\\Microsoft\\Devstudio\\6.0"},
        {HKEY_LOCAL_MACHINE, "Software\\Microsoft\\HTML Help Collections"},
        {HKEY_LOCAL_MACHINE, "Software\\Microsoft\\Visual Basic\\6.0"},
        {HKEY_LOCAL_MACHINE, "Software\\Microsoft\\Visual Component Manager"},
        {HKEY_LOCAL_MACHINE, "Software\\Microsoft\\VisualStudio\\6.0"},
        {HKEY_CURRENT_USER, "Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\MenuOrder\\"
                            "StartMenu\\&Programs\\Microsoft Visual Studio 6.0"},
        {HKEY_CURRENT_USER, "SOFTWARE\\Microsoft\\DevStudio\\6.0"},
    };
    ASSERT_EQ(std::size(expected), std::size(kKeyTargets));
    for (size_t i = 0; i < std::size(expected); ++i) {
        SCOPED_TRACE("row " + std::to_string(i + 1));
        EXPECT_EQ(expected[i].root, RootKey(kKeyTargets[i].root));
        EXPECT_STREQ(expected[i].subkey, kKeyTargets[i].subkey); // case-sensitive on purpose
    }
    EXPECT_EQ(108, LongestSubkey());
    EXPECT_EQ(125, LongestLine());
}

TEST(Targets, EnvironmentKeyAndValues)
{
    EXPECT_STREQ("Environment", kEnvironmentSubkey);
    EXPECT_EQ(0xF003Fu, kEnvironmentAccess);
    static const char *const expected[] = {"lib", "path", "MSDevDir", "include"};
    ASSERT_EQ(std::size(expected), std::size(kEnvironmentValues));
    for (size_t i = 0; i < std::size(expected); ++i)
        EXPECT_STREQ(expected[i], kEnvironmentValues[i]) << "value " << i + 1;
}

TEST(Targets, TextsAreExactGbkBytes)
{
    static const struct {
        const char *role;
        const char *actual;
        size_t actualSize;
        const char *expected;
        size_t length;
    } rows[] = {
        {"confirmation text", kConfirmText, sizeof kConfirmText,
         "\xbe\xaf\xb8\xe6\xa3\xba\xc8\xe7\xb9\xfb\xbd\xf8\xd0\xd0\xbd\xf8\xd0\xd0\xc7\xe5\xc0\xed"
         "\xa3\xac\xbb\xe1\xb5\xbc\xd6\xc2\xd2\xd1\xb0\xb2\xd7\xb0\xb5\xc4" "VC6.0"
         "\xb2\xbb\xc4\xdc\xd5\xfd\xb3\xa3\xd4\xcb\xd0\xd0\xa3\xac\xc4\xfa\xc8\xb7\xc8\xcf\xd2\xaa"
         "\xbc\xcc\xd0\xf8\xc2\xf0\xa3\xbf", 73},
        {"confirmation title", kConfirmTitle, sizeof kConfirmTitle, "\xbe\xaf\xb8\xe6", 4},
        {"completion text", kDoneText, sizeof kDoneText,
         "\xd7\xa2\xb2\xe1\xb1\xed\xd0\xc5\xcf\xa2\xc7\xe5\xc0\xed\xcd\xea\xb1\xcf\xa3\xa1", 20},
        {"completion title", kDoneTitle, sizeof kDoneTitle, "\xcd\xea\xb3\xc9", 4},
        {"line prefix", kLinePrefix, sizeof kLinePrefix, "\xc9\xbe\xb3\xfd\xbc\xfc ", 7},
        {"success suffix", kSuccessSuffix, sizeof kSuccessSuffix, "      \xb3\xc9\xb9\xa6", 10},
        {"failure suffix", kFailureSuffix, sizeof kFailureSuffix, "      \xca\xa7\xb0\xdc", 10},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.role);
        EXPECT_EQ(row.length + 1, row.actualSize);
        EXPECT_EQ(std::string(row.expected, row.length), std::string(row.actual, row.actualSize - 1));
        // Every text must also be valid GBK, or the ANSI entry points would show garbage.
        EXPECT_GT(MultiByteToWideChar(936, MB_ERR_INVALID_CHARS, row.actual, -1, nullptr, 0), 0);
    }
}

} // namespace
