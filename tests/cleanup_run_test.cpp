// The cleanup run on the real dialog in this process, against the real
// registry of the test prefix. Message boxes are answered from a WH_CBT hook,
// which also records what was true at the moment each box appeared.
#include "app/main_dialog.h"
#include "app/resource.h"
#include "harness/denials.h"
#include "harness/program.h"
#include "harness/snapshot.h"

#include <gtest/gtest.h>

#include <list>

namespace {

using harness::kFootprintTrees;

struct Box {
    std::wstring title, text;
    bool hasYes, hasNo, hasOk;
    HICON icon;
    bool buttonEnabled;                  // the start button, as the box appeared
    std::vector<std::wstring> lines;     // the list, as the box appeared
    bool environmentValuesLeft;          // any of the four still present
};

struct HookState {
    HWND dialog = nullptr;
    std::vector<int> answers;            // one per box, in order
    std::vector<Box> boxes;
} g_hook;

bool AnyEnvironmentValueLeft()
{
    for (const char *name : harness::kEnvironmentTargets)
        if (harness::ValueExists(HKEY_CURRENT_USER, "Environment", name))
            return true;
    return false;
}

LRESULT CALLBACK CbtProc(int code, WPARAM wParam, LPARAM lParam)
{
    HWND box = reinterpret_cast<HWND>(wParam);
    char cls[16] = "";
    if (code == HCBT_ACTIVATE && box != g_hook.dialog && GetClassNameA(box, cls, sizeof cls) &&
        lstrcmpA(cls, "#32770") == 0) {
        size_t n = g_hook.boxes.size();
        g_hook.boxes.push_back({harness::WindowText(box), harness::BoxText(box),
                                GetDlgItem(box, IDYES) != nullptr, GetDlgItem(box, IDNO) != nullptr,
                                GetDlgItem(box, IDOK) != nullptr,
                                reinterpret_cast<HICON>(SendDlgItemMessageW(box, 0x0440, STM_GETICON, 0, 0)),
                                IsWindowEnabled(GetDlgItem(g_hook.dialog, IDC_START)) != FALSE,
                                harness::ListLines(GetDlgItem(g_hook.dialog, IDC_PROGRESS)),
                                AnyEnvironmentValueLeft()});
        PostMessageW(box, WM_COMMAND, n < g_hook.answers.size() ? g_hook.answers[n] : IDCANCEL, 0);
    }
    return CallNextHookEx(nullptr, code, wParam, lParam);
}

// The list after a run in which the trees `failed` names were not deleted.
std::vector<std::wstring> Lines(const bool (&failed)[7] = {})
{
    std::vector<std::wstring> lines;
    for (int i = 0; i < 7; ++i)
        lines.push_back(failed[i] ? harness::FailedLine(i) : harness::kProgressLines[i]);
    return lines;
}

const bool kAllFailed[7] = {true, true, true, true, true, true, true};

class CleanupRun : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(936u, GetACP()) << "the tests need the Chinese ANSI code page";
        harness::RemoveAll();
        harness::SeedFootprint(6);
        harness::SeedBystanders();
        harness::SeedEnvironmentValues();
        dialog_ = CreateDialogParamA(GetModuleHandleA(nullptr), MAKEINTRESOURCEA(IDD_MAIN), nullptr,
                                     MainDlgProc, 0);
        ASSERT_NE(nullptr, dialog_);
        ShowWindow(dialog_, SW_SHOWNA);
        list_ = GetDlgItem(dialog_, IDC_PROGRESS);
        button_ = GetDlgItem(dialog_, IDC_START);
        g_hook = HookState{};
        g_hook.dialog = dialog_;
        hook_ = SetWindowsHookExA(WH_CBT, CbtProc, nullptr, GetCurrentThreadId());
        ASSERT_NE(nullptr, hook_);
    }

    void TearDown() override
    {
        if (hook_)
            UnhookWindowsHookEx(hook_);
        if (dialog_)
            DestroyWindow(dialog_);
        harness::RemoveAll();
    }

    // Sends the command as the dialog manager would for a click on the button.
    void Command(int id, int notifyCode, std::vector<int> answers)
    {
        g_hook.answers = std::move(answers);
        g_hook.boxes.clear();
        SendMessageW(dialog_, WM_COMMAND, MAKEWPARAM(id, notifyCode), LPARAM(GetDlgItem(dialog_, id)));
    }
    void Run() { Command(IDC_START, BN_CLICKED, {IDYES, IDOK}); }

    HWND dialog_ = nullptr, list_ = nullptr, button_ = nullptr;
    HHOOK hook_ = nullptr;
};

// The boxes as the user reads them, and what was true as each appeared.
TEST_F(CleanupRun, ConfirmedRunAsksThenReportsEachTree)
{
    Run();

    ASSERT_EQ(2u, g_hook.boxes.size());
    const Box &confirm = g_hook.boxes[0], &done = g_hook.boxes[1];
    EXPECT_EQ(harness::kWarningTitle, confirm.title);
    EXPECT_EQ(L"警告：如果进行进行清理，会导致已安装的VC6.0不能正常运行，您确认要继续吗？", confirm.text);
    EXPECT_TRUE(confirm.hasYes && confirm.hasNo && !confirm.hasOk);
    EXPECT_EQ(LoadIconA(nullptr, IDI_EXCLAMATION), confirm.icon);
    EXPECT_TRUE(confirm.lines.empty() && confirm.buttonEnabled && confirm.environmentValuesLeft);

    EXPECT_EQ(harness::kDoneTitle, done.title);
    EXPECT_EQ(L"注册表信息清理完毕！", done.text);
    EXPECT_TRUE(done.hasOk && !done.hasYes && !done.hasNo);
    EXPECT_EQ(LoadIconA(nullptr, IDI_INFORMATION), done.icon);
    // By the time the completion box shows, the button is back and the values are gone.
    EXPECT_TRUE(done.buttonEnabled);
    EXPECT_FALSE(done.environmentValuesLeft);
    EXPECT_EQ(Lines(), done.lines);
    EXPECT_EQ(Lines(), harness::ListLines(list_));
}

TEST_F(CleanupRun, DeniedDeletionIsReportedAndTheRunGoesOn)
{
    static const struct {
        const char *label;
        bool denied[7];
    } cases[] = {
        {"row 1 denied", {true}},
        {"row 6 denied", {false, false, false, false, false, true}},
        {"no rights to the machine root: rows 1-5 denied", {true, true, true, true, true}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.label);
        harness::SeedFootprint(2);
        harness::SeedEnvironmentValues();
        std::list<harness::RestrictedKey> locks;
        for (int i = 0; i < 7; ++i) {
            if (c.denied[i]) {
                const auto &tree = kFootprintTrees[i];
                ASSERT_TRUE(locks.emplace_back(tree.root, tree.path, KEY_ALL_ACCESS & ~DELETE).ok()) << tree.label;
            }
        }
        Run();
        locks.clear();
        EXPECT_EQ(Lines(c.denied), harness::ListLines(list_));
        for (int i = 0; i < 7; ++i)
            EXPECT_EQ(c.denied[i], harness::KeyExists(kFootprintTrees[i].root, kFootprintTrees[i].path))
                << kFootprintTrees[i].label;
        EXPECT_FALSE(AnyEnvironmentValueLeft());
        ASSERT_EQ(2u, g_hook.boxes.size());
        harness::RemoveAll();
    }
}

// The start button answered No, and every other command: the list keeps
// what it showed, the dialog stays, the registry is as it was.
TEST_F(CleanupRun, NoAndOtherCommandsChangeNothing)
{
    static const struct {
        const char *label;
        int id, notifyCode;
        size_t boxes;
    } commands[] = {
        {"start, answered No", IDC_START, BN_CLICKED, 1},
        {"Esc (IDCANCEL)", IDCANCEL, BN_CLICKED, 0},
        {"IDOK", IDOK, BN_CLICKED, 0},
        {"list selection change", IDC_PROGRESS, LBN_SELCHANGE, 0},
        {"list double click", IDC_PROGRESS, LBN_DBLCLK, 0},
        {"neighbouring id 1003", 1003, BN_CLICKED, 0},
    };
    ListBox_AddString(list_, "earlier line");
    auto before = harness::FootprintEntries();
    for (const auto &c : commands) {
        SCOPED_TRACE(c.label);
        Command(c.id, c.notifyCode, {IDNO});
        EXPECT_EQ(c.boxes, g_hook.boxes.size());
        EXPECT_EQ(std::vector<std::wstring>{L"earlier line"}, harness::ListLines(list_));
        EXPECT_TRUE(IsWindowEnabled(button_));
        // EndDialog would leave the window in place, only hidden.
        EXPECT_TRUE(IsWindowVisible(dialog_));
    }
    EXPECT_EQ(before, harness::FootprintEntries());
}

// TRUE to WM_INITDIALOG is what puts the focus on the start button on
// Windows; Wine focuses the first tab stop whatever the answer, so the
// answer itself is what can be seen here.
TEST_F(CleanupRun, InitDialogLeavesTheFocusToTheDialogManager)
{
    EXPECT_EQ(TRUE, MainDlgProc(dialog_, WM_INITDIALOG, 0, 0));
}

TEST_F(CleanupRun, LaterRunsListSevenFailuresAndStillHandleTheEnvironment)
{
    Run();
    ASSERT_EQ(Lines(), harness::ListLines(list_));
    harness::SeedEnvironmentValues();
    Run();
    EXPECT_EQ(Lines(kAllFailed), harness::ListLines(list_));
    EXPECT_FALSE(AnyEnvironmentValueLeft());
    EXPECT_EQ(2u, g_hook.boxes.size());

    // With no Environment key at all, a run creates it, and leaves it empty.
    const char kSaved[] = "Software\\Brisvane test saved Environment";
    HKEY saved = nullptr, env = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(HKEY_CURRENT_USER, kSaved, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                                             &saved, nullptr));
    ASSERT_EQ(ERROR_SUCCESS, SHCopyKeyA(HKEY_CURRENT_USER, "Environment", saved, 0));
    ASSERT_EQ(ERROR_SUCCESS, SHDeleteKeyA(HKEY_CURRENT_USER, "Environment"));
    Run();
    const std::set<std::string> created = harness::Snapshot(HKEY_CURRENT_USER, "Environment");
    RegCreateKeyExA(HKEY_CURRENT_USER, "Environment", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &env, nullptr);
    EXPECT_EQ(ERROR_SUCCESS, SHCopyKeyA(saved, nullptr, env, 0));
    RegCloseKey(env);
    RegCloseKey(saved);
    SHDeleteKeyA(HKEY_CURRENT_USER, kSaved);
    EXPECT_EQ(std::set<std::string>{"HKCU\\Environment"}, created);
}

} // namespace
