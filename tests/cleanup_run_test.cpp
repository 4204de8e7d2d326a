// The tool against the real registry of the test prefix: its dialog in this
// process, whose boxes a WH_CBT hook answers and writes down as they appear;
// and the program as its own process, driven from outside the way a user
// would, also with each of its calls that can fail failed in turn.
#include "harness/harness.h"
#include "app/main_dialog.h"
#include "app/resource.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <list>

namespace {

using harness::kFootprintTrees;

// The list after a run, as the user reads it: each tree deleted, or, where
// its deletion failed (rows counted from 1), ending in 失败.
std::vector<std::wstring> Lines(const std::set<int> &failed = {})
{
    std::vector<std::wstring> lines = {
        L"删除键 Software\\Microsoft\\Devstudio\\6.0      成功",
        L"删除键 Software\\Microsoft\\HTML Help Collections      成功",
        L"删除键 Software\\Microsoft\\Visual Basic\\6.0      成功",
        L"删除键 Software\\Microsoft\\Visual Component Manager      成功",
        L"删除键 Software\\Microsoft\\VisualStudio\\6.0      成功",
        L"删除键 Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\MenuOrder\\StartMenu\\&Programs\\"
        L"Microsoft Visual Studio 6.0      成功",
        L"删除键 SOFTWARE\\Microsoft\\DevStudio\\6.0      成功",
    };
    for (int row : failed)
        lines[row - 1].replace(lines[row - 1].size() - 2, 2, L"失败");
    return lines;
}

struct {
    HWND dialog;
    int answer;                        // to the question; every other box is answered OK
    std::vector<std::wstring> boxes;   // "title: text [buttons, icon]"
} g_hook;

LRESULT CALLBACK CbtProc(int code, WPARAM wParam, LPARAM lParam)
{
    HWND box = reinterpret_cast<HWND>(wParam);
    if (code == HCBT_ACTIVATE && GetWindow(box, GW_OWNER) == g_hook.dialog) {
        std::wstring buttons;
        for (auto [id, name] : {std::pair{IDOK, L"ok "}, {IDCANCEL, L"cancel "}, {IDYES, L"yes "}, {IDNO, L"no "}})
            buttons += GetDlgItem(box, id) ? name : L"";
        for (auto [icon, name] : {std::pair{IDI_EXCLAMATION, L"exclamation"}, {IDI_INFORMATION, L"information"}})
            buttons += SendDlgItemMessageW(box, 0x0440, STM_GETICON, 0, 0) == LRESULT(LoadIconA(nullptr, icon)) ? name : L"";
        g_hook.boxes.push_back(harness::WindowText(box) + L": " + harness::BoxText(box) + L" [" + buttons + L"]");
        PostMessageW(box, WM_COMMAND, GetDlgItem(box, IDYES) ? g_hook.answer : IDOK, 0);
    }
    return CallNextHookEx(nullptr, code, wParam, lParam);
}

class CleanupRun : public ::testing::Test {
protected:
    void SetUp() override
    {
        harness::SeedAll(2, 1, false);
        dialog_ = CreateDialogParamA(GetModuleHandleA(nullptr), MAKEINTRESOURCEA(IDD_MAIN), nullptr, MainDlgProc, 0);
        ASSERT_NE(nullptr, dialog_);
        ShowWindow(dialog_, SW_SHOWNA);
        list_ = GetDlgItem(dialog_, IDC_PROGRESS);
        hook_ = SetWindowsHookExA(WH_CBT, CbtProc, nullptr, GetCurrentThreadId());
        ASSERT_NE(nullptr, hook_);
    }

    void TearDown() override
    {
        UnhookWindowsHookEx(hook_);
        DestroyWindow(dialog_);
        harness::RemoveAll();
    }

    // Sends the command as the dialog manager would for a click on a control.
    void Command(int id, int notifyCode = BN_CLICKED, int answer = IDYES)
    {
        g_hook = {dialog_, answer, {}};
        SendMessageW(dialog_, WM_COMMAND, MAKEWPARAM(id, notifyCode), LPARAM(GetDlgItem(dialog_, id)));
    }

    HWND dialog_ = nullptr, list_ = nullptr;
    HHOOK hook_ = nullptr;
};

// The first run as without administrator rights, five trees denied: every
// line still runs. The next, the rights back, lists the seven anew (so, what
// the first left) and the values go; with no Environment key, it makes one.
TEST_F(CleanupRun, EachRunWarnsReportsEveryTreeAndSaysItIsDone)
{
    {
        std::list<harness::RestrictedKey> locks;
        for (int i = 0; i < 5; ++i)
            ASSERT_TRUE(locks.emplace_back(kFootprintTrees[i].root, kFootprintTrees[i].path, KEY_ALL_ACCESS & ~DELETE).ok());
        Command(IDC_START);
    }
    EXPECT_EQ((std::vector<std::wstring>{
                  L"警告: 警告：如果进行进行清理，会导致已安装的VC6.0不能正常运行，您确认要继续吗？ [yes no exclamation]",
                  L"完成: 注册表信息清理完毕！ [ok information]"}),
              g_hook.boxes);
    EXPECT_EQ(Lines({1, 2, 3, 4, 5}), harness::ListLines(list_));

    harness::SeedEnvironmentValues();
    Command(IDC_START);
    EXPECT_EQ(Lines({6, 7}), harness::ListLines(list_));
    for (const char *name : harness::kEnvironmentTargets)
        EXPECT_FALSE(harness::ValueExists(HKEY_CURRENT_USER, "Environment", name)) << name;

    HKEY saved = nullptr, environment = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyA(HKEY_CURRENT_USER, "Software\\Brisvane test saved Environment", &saved));
    ASSERT_EQ(ERROR_SUCCESS, SHCopyKeyA(HKEY_CURRENT_USER, "Environment", saved, 0));
    ASSERT_EQ(ERROR_SUCCESS, SHDeleteKeyA(HKEY_CURRENT_USER, "Environment"));
    Command(IDC_START);
    EXPECT_EQ(std::set<std::string>{"HKCU\\Environment"}, harness::Snapshot(HKEY_CURRENT_USER, "Environment"));
    RegCreateKeyA(HKEY_CURRENT_USER, "Environment", &environment);
    EXPECT_EQ(ERROR_SUCCESS, SHCopyKeyA(saved, nullptr, environment, 0));
    RegCloseKey(environment);
    RegCloseKey(saved);
    SHDeleteKeyA(HKEY_CURRENT_USER, "Software\\Brisvane test saved Environment");
}

// The start button answered No, and every other command: the list keeps
// what it showed, the dialog and its button stay, the registry is as it was.
TEST_F(CleanupRun, NoAndOtherCommandsChangeNothing)
{
    static const struct { const char *label; int id, notifyCode; size_t boxes; } commands[] = {
        {"start, answered No", IDC_START, BN_CLICKED, 1},
        {"IDOK", IDOK, BN_CLICKED, 0},
        {"list selection change", IDC_PROGRESS, LBN_SELCHANGE, 0},
        {"list double click", IDC_PROGRESS, LBN_DBLCLK, 0},
        {"neighbouring id 1003", 1003, BN_CLICKED, 0},
    };
    ListBox_AddString(list_, "earlier line");
    auto before = harness::FootprintEntries();
    for (const auto &c : commands) {
        SCOPED_TRACE(c.label);
        Command(c.id, c.notifyCode, IDNO);
        EXPECT_EQ(c.boxes, g_hook.boxes.size());
        EXPECT_EQ(std::vector<std::wstring>{L"earlier line"}, harness::ListLines(list_));
        EXPECT_TRUE(IsWindowEnabled(GetDlgItem(dialog_, IDC_START)));
        EXPECT_TRUE(IsWindowVisible(dialog_));   // EndDialog would only hide it
    }
    EXPECT_EQ(before, harness::FootprintEntries());
}

// TRUE puts the focus on the start button on Windows; Wine focuses the first
// tab stop whatever the answer, so the answer is what can be seen here.
TEST_F(CleanupRun, InitDialogLeavesTheFocusToTheDialogManager)
{
    EXPECT_EQ(TRUE, MainDlgProc(dialog_, WM_INITDIALOG, 0, 0));
}

// Keys go to the focus, as the keyboard would send them: Esc does nothing,
// Enter presses the start button. Whatever its arguments, the program opens
// idle, and closed by its close button it exits with 0.
TEST(Process, EscDoesNothingEnterAsksAndClosingExitsWithZero)
{
    harness::Program tool;
    ASSERT_TRUE(harness::StartProgram(tool, L"--clean /S /Y \"C:\\some path\\x.reg\""));
    EXPECT_EQ(nullptr, harness::OwnedBox(tool.dialog));
    // A dialog is visible a moment before its activation gives the focus
    // to its first tab stop: the keys wait for that. Brought to the front as
    // a click would, as a program started from another is not always given
    // the foreground (seen in both 32-bit rows at once, under load).
    SetForegroundWindow(tool.dialog);
    GUITHREADINFO focus{};
    focus.cbSize = sizeof focus;
    ASSERT_TRUE(harness::WaitUntil([&] {
        return GetGUIThreadInfo(tool.process.dwThreadId, &focus) && IsChild(tool.dialog, focus.hwndFocus);
    }, harness::Scaled(5000))) << "the focus is on " << focus.hwndFocus << ", the active window " << focus.hwndActive;
    // Posted input is handled in order: once Enter's box is up, Esc has had
    // its turn, and the dialog must have survived it.
    for (UINT vk : {VK_ESCAPE, VK_RETURN}) {
        PostMessageW(focus.hwndFocus, WM_KEYDOWN, vk, 1);
        PostMessageW(focus.hwndFocus, WM_KEYUP, vk, 0xC0000001);
    }
    HWND box = harness::OwnedBox(tool.dialog, harness::Scaled(5000), L"警告");
    ASSERT_NE(nullptr, box);
    PostMessageW(box, WM_COMMAND, IDNO, 0);
    EXPECT_TRUE(harness::WaitUntil([&] { return !harness::OwnedBox(tool.dialog); }, harness::Scaled(5000)));
    EXPECT_EQ(0u, harness::CloseProgram(tool));
}

// What a user sees of the tool after a run: each tree and value there or
// gone, the list, the start button, and whether a box other than `done` is up.
std::vector<std::string> Seen(HWND dialog, HWND done)
{
    std::vector<std::string> seen;
    for (const harness::KeyPath &tree : kFootprintTrees)
        seen.push_back(tree.path + std::string(harness::KeyExists(tree.root, tree.path) ? " left" : " gone"));
    for (const char *name : harness::kEnvironmentTargets)
        seen.push_back(name + std::string(harness::ValueExists(HKEY_CURRENT_USER, "Environment", name) ? " left" : " gone"));
    for (const std::wstring &line : harness::ListLines(GetDlgItem(dialog, IDC_PROGRESS)))
        seen.push_back(harness::ToUtf8(line));
    seen.push_back(IsWindowEnabled(GetDlgItem(dialog, IDC_START)) ? "the button enabled" : "the button disabled");
    seen.push_back(done || !harness::OwnedBox(dialog) ? "no other box" : "a box after the answer");
    return seen;
}

// One run of the tool under `fault`, driven as far as its boxes let it: a
// line for each tree whose insertion did not fail, with what its deletion
// returned, trees and values gone exactly where their calls worked, the
// button back, and the program closing with 0. Returns what went wrong.
std::string RunUnder(const harness::Fault &fault, harness::Counts &made)
{
    auto failed = [&fault](const char *function, int call) {
        return fault.functions == function && (fault.persistent ? unsigned(call) >= fault.at : unsigned(call) == fault.at);
    };
    harness::SeedFootprint(1);
    harness::SeedEnvironmentValues();
    harness::Program tool;
    if (!harness::StartProgram(tool, L"", harness::Scaled(10000), L"brisvane.exe", {nullptr, true, &fault}))
        return "the dialog did not appear";
    // The click returns at once where no box came, else only once it is answered.
    DWORD_PTR unused = 0;
    const bool returned = SendMessageTimeoutW(tool.dialog, WM_COMMAND, MAKEWPARAM(IDC_START, BN_CLICKED),
                                              LPARAM(GetDlgItem(tool.dialog, IDC_START)), SMTO_BLOCK, harness::Scaled(200), &unused);
    HWND confirm = harness::OwnedBox(tool.dialog, returned ? 0 : harness::Scaled(10000)), done = nullptr;
    const bool ran = confirm != nullptr;
    if (ran == failed("MessageBoxA", 1))
        return ran ? "a confirmation box the call said failed" : "no confirmation box";
    if (ran) {
        PostMessageW(confirm, WM_COMMAND, IDYES, 0);
        if (!failed("MessageBoxA", 2) && !(done = harness::OwnedBox(tool.dialog, harness::Scaled(10000), L"完成")))
            return "no completion box";
    }
    std::set<int> kept;   // rows, from 1
    std::vector<std::string> want;
    for (int row = 1; row <= 7; ++row) {
        const bool left = (!ran || failed("SHDeleteKeyA", row)) && kept.insert(row).second;
        want.push_back(kFootprintTrees[row - 1].path + std::string(left ? " left" : " gone"));
    }
    for (int i = 0; i < 4; ++i) {
        bool deleted = ran && !failed("RegCreateKeyExA", 1) && !failed("RegDeleteValueA", i + 1);
        want.push_back(harness::kEnvironmentTargets[i] + std::string(deleted ? " gone" : " left"));
    }
    for (int i = 0; i < 7; ++i)
        if (ran && !failed("SendMessageA", i + 1))
            want.push_back(harness::ToUtf8(Lines(kept)[i]));
    want.insert(want.end(), {"the button enabled", "no other box"});
    // Checked until it holds or the wait's limit passes: without a
    // completion box, nothing marks the run's end.
    std::vector<std::string> seen;
    harness::WaitUntil([&] { return (seen = Seen(tool.dialog, done)) == want; }, harness::Scaled(10000));
    auto [a, b] = std::mismatch(seen.begin(), seen.end(), want.begin(), want.end());
    if (a != seen.end() || b != want.end())
        return (a == seen.end() ? "nothing" : *a) + " where it should be " + (b == want.end() ? "nothing" : *b);
    if (done)
        PostMessageW(done, WM_COMMAND, IDOK, 0);
    if (!harness::WaitUntil([&] { return !harness::OwnedBox(tool.dialog); }, harness::Scaled(10000)))
        return "the completion box did not close";
    if (DWORD code = harness::CloseProgram(tool))
        return "exit code " + std::to_string(code);
    made = harness::ReadCounts();
    return "";
}

// Each call that can fail, failed once and from then on: the run goes on
// as it does on a clean machine, and every line tells what its call returned.
TEST(Process, ReportsWhatEachCallReturnedUnderEverySingleFault)
{
    harness::Counts counts;
    ASSERT_EQ("", RunUnder(harness::Fault{}, counts));
    for (const std::string &breach : harness::RunSingleFaults(counts, harness::kTool, "the tool", RunUnder))
        ADD_FAILURE() << breach;
    harness::RemoveAll();
}

} // namespace
