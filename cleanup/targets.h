// What the cleanup deletes and every text it shows. All narrow literals are
// compiled to GBK (code page 936) and go to the ANSI entry points.
#pragma once

#include "platform/platform.h"

// Roots are kept as the numeric values of the predefined handles, so that the
// whole table is a compile-time constant (HKEY_* themselves are casts that
// constant expressions refuse). The handles are 32-bit values sign-extended
// to the pointer's width, spelled here exactly as <winreg.h> spells them.
enum class Root : ULONG_PTR {
    LocalMachine = static_cast<ULONG_PTR>(static_cast<LONG>(0x80000002)),
    CurrentUser = static_cast<ULONG_PTR>(static_cast<LONG>(0x80000001)),
};

inline HKEY RootKey(Root root)
{
    return reinterpret_cast<HKEY>(static_cast<ULONG_PTR>(root));
}

struct KeyTarget {
    Root root;
    const char *subkey; // shown in the progress line exactly as written here
};

// Run order. Rows 1 and 7 differ in letter case on purpose: the registry
// ignores case, the progress line does not.
inline constexpr KeyTarget kKeyTargets[] = {
    {Root::LocalMachine, "Software\\Microsoft\\Devstudio\\6.0"},
    {Root::LocalMachine, "Software\\Microsoft\\HTML Help Collections"},
    {Root::LocalMachine, "Software\\Microsoft\\Visual Basic\\6.0"},
    {Root::LocalMachine, "Software\\Microsoft\\Visual Component Manager"},
    {Root::LocalMachine, "Software\\Microsoft\\VisualStudio\\6.0"},
    {Root::CurrentUser,
     "Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\MenuOrder\\StartMenu\\"
     "&Programs\\Microsoft Visual Studio 6.0"},
    {Root::CurrentUser, "SOFTWARE\\Microsoft\\DevStudio\\6.0"},
};

inline constexpr char kEnvironmentSubkey[] = "Environment";
inline constexpr REGSAM kEnvironmentAccess = KEY_ALL_ACCESS;

// Deleted whole, never edited: the user's own "path" goes entirely.
inline constexpr const char *kEnvironmentValues[] = {"lib", "path", "MSDevDir", "include"};

// The doubled "进行进行" is the tool's own text, kept as it is.
inline constexpr char kConfirmText[] =
    "警告：如果进行进行清理，会导致已安装的VC6.0不能正常运行，您确认要继续吗？";
inline constexpr char kConfirmTitle[] = "警告";
inline constexpr char kDoneText[] = "注册表信息清理完毕！";
inline constexpr char kDoneTitle[] = "完成";
inline constexpr char kLinePrefix[] = "删除键 ";
inline constexpr char kSuccessSuffix[] = "      成功";
inline constexpr char kFailureSuffix[] = "      失败";

inline constexpr int kLineBufferSize = 260;

constexpr int TextLength(const char *s)
{
    int n = 0;
    while (s[n] != '\0')
        ++n;
    return n;
}

constexpr int LongestSubkey()
{
    int longest = 0;
    for (const KeyTarget &t : kKeyTargets)
        longest = TextLength(t.subkey) > longest ? TextLength(t.subkey) : longest;
    return longest;
}

constexpr int LongestLine()
{
    int suffix = TextLength(kSuccessSuffix) > TextLength(kFailureSuffix)
                     ? TextLength(kSuccessSuffix) : TextLength(kFailureSuffix);
    return TextLength(kLinePrefix) + LongestSubkey() + suffix;
}

// lstrcpyA/lstrcatA do not check bounds; this does, once, at build time.
static_assert(LongestLine() + 1 <= kLineBufferSize, "a progress line overflows its buffer");
