// The real program, started as its own process and driven from outside the
// way a user would: keys through its message loop, the caption's close; and
// the same program with each of its calls that can fail failed in turn.
#include "app/resource.h"
#include "harness/footprint.h"
#include "harness/program.h"

#include <gtest/gtest.h>

#include <iterator>

namespace {

HWND FocusOf(const harness::Program &tool)
{
    GUITHREADINFO info{};
    info.cbSize = sizeof info;
    return GetGUIThreadInfo(tool.process.dwThreadId, &info) ? info.hwndFocus : nullptr;
}

// Each row also closes the tool its own way; every way exits with 0.
TEST(Process, OpensIdleWhateverTheArguments)
{
    static const struct {
        const wchar_t *arguments;
        const char *close;
        UINT message;
        WPARAM wParam;
        LPARAM lParam;
    } rows[] = {
        {L"", "close button", WM_SYSCOMMAND, SC_CLOSE, 0},
        {L"/?", "WM_CLOSE", WM_CLOSE, 0, 0},
        {L"--clean /quiet", "Alt+F4", WM_SYSKEYDOWN, VK_F4, 0x203E0001},
        {L"\"C:\\some path\\x.reg\" 1 2 3", "close button", WM_SYSCOMMAND, SC_CLOSE, 0},
        {L"/S /Y", "WM_CLOSE", WM_CLOSE, 0, 0},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(harness::ToUtf8(std::wstring(L"arguments: ") + row.arguments) + ", closed by " + row.close);
        harness::Program tool;
        ASSERT_TRUE(harness::StartProgram(tool, row.arguments));
        HWND button = GetDlgItem(tool.dialog, IDC_START);
        EXPECT_EQ(nullptr, harness::FindOwnedBox(tool.dialog));
        // Keys go to the focus, as the keyboard would send them.
        PostMessageW(row.message == WM_SYSKEYDOWN ? button : tool.dialog, row.message, row.wParam, row.lParam);
        tool.dialog = nullptr; // so that closing does not also send SC_CLOSE
        EXPECT_EQ(0u, harness::CloseProgram(tool));
    }
}

TEST(Process, EscDoesNothingAndEnterAsksForConfirmation)
{
    harness::Program tool;
    ASSERT_TRUE(harness::StartProgram(tool, L""));
    // Posted input is handled in order: once Enter's box is up, Esc has had
    // its turn, and the dialog must have survived it.
    HWND focus = FocusOf(tool);
    for (UINT vk : {VK_ESCAPE, VK_RETURN}) {
        PostMessageW(focus, WM_KEYDOWN, vk, 1);
        PostMessageW(focus, WM_KEYUP, vk, 0xC0000001);
    }
    HWND box = harness::WaitForOwnedBox(tool.dialog, harness::Scaled(5000));
    ASSERT_NE(nullptr, box);
    EXPECT_EQ(harness::kWarningTitle, harness::WindowText(box));
    EXPECT_TRUE(IsWindowVisible(tool.dialog));
    EXPECT_FALSE(IsWindowEnabled(tool.dialog)) << "the box is modal to the dialog";
    PostMessageW(box, WM_COMMAND, IDNO, 0);
    EXPECT_TRUE(harness::WaitForNoOwnedBox(tool.dialog, harness::Scaled(5000)));
    EXPECT_TRUE(harness::ListLines(GetDlgItem(tool.dialog, IDC_PROGRESS)).empty());
    EXPECT_EQ(0u, harness::CloseProgram(tool));
}

// Whether the `call`th call of the function failed under `fault`.
bool Failed(const harness::Fault &fault, const char *function, unsigned call)
{
    return fault.functions == function && (fault.persistent ? call >= fault.at : call == fault.at);
}

// One run of the tool under `fault`, driven as far as its boxes let it: the
// lines it shows must be one per key tree whose insertion did not fail,
// each with the outcome its deletion returned, and the program must stay
// responsive and close with 0. Returns what went wrong.
std::string RunUnder(const harness::Fault &fault, harness::Counts &made)
{
    harness::SeedFootprint(1);
    harness::SeedEnvironmentValues();
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    const std::wstring countsFile = std::wstring(temp) + L"brisvane-fault-counts.txt";
    DeleteFileW(countsFile.c_str());
    harness::Program tool;
    harness::StartOptions options;
    options.fault = &fault;
    options.counts = countsFile.c_str();
    if (!harness::StartProgram(tool, L"", harness::Scaled(10000), L"brisvane.exe", options))
        return "the dialog did not appear";
    HWND button = GetDlgItem(tool.dialog, IDC_START), list = GetDlgItem(tool.dialog, IDC_PROGRESS);
    // Posts a message to the tool and returns once its thread has handled it
    // and what it led to, up to a box's modal loop: a mark posted after it
    // (the list's horizontal extent, which nothing else sets) has arrived.
    WPARAM mark = 0;
    auto handled = [&](HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
        PostMessageW(window, message, wParam, lParam);
        PostMessageW(list, LB_SETHORIZONTALEXTENT, ++mark, 0);
        for (DWORD start = GetTickCount(); GetTickCount() - start < harness::Scaled(10000); Sleep(1)) {
            DWORD_PTR extent = 0;
            if (SendMessageTimeoutW(list, LB_GETHORIZONTALEXTENT, 0, 0, SMTO_BLOCK, harness::Scaled(10000), &extent) &&
                extent == mark)
                return true;
        }
        return false;
    };
    if (!handled(tool.dialog, WM_COMMAND, MAKEWPARAM(IDC_START, BN_CLICKED), LPARAM(button)))
        return "the click was not handled";
    HWND confirm = harness::FindOwnedBox(tool.dialog);
    bool ran = confirm != nullptr;
    if (ran != !Failed(fault, "MessageBoxA", 1))
        return ran ? "a confirmation box the call said failed" : "no confirmation box";
    if (ran && !handled(confirm, WM_COMMAND, IDYES, 0))
        return "the run did not end";
    // The run is synchronous, but the answer's mark can be handled before
    // the completion box is made: where its call works, it is waited for.
    HWND done = nullptr;
    if (ran && !Failed(fault, "MessageBoxA", 2) &&
        !(done = harness::WaitForOwnedBox(tool.dialog, harness::Scaled(10000))))
        return "no completion box";
    // What the run leaves, checked until it holds or the wait's limit passes
    // (without a completion box, nothing marks the run's end).
    auto left = [&]() -> std::string {
        if (!done && harness::FindOwnedBox(tool.dialog))
            return "a completion box the call said failed";
        std::vector<std::wstring> expected;
        for (int i = 0; i < 7; ++i) {
            bool deleted = ran && !Failed(fault, "SHDeleteKeyA", i + 1);
            const harness::KeyPath &tree = harness::kFootprintTrees[i];
            if (harness::KeyExists(tree.root, tree.path) == deleted)
                return std::string(tree.path) + (deleted ? " is left" : " is gone, though not deleted");
            if (ran && !Failed(fault, "SendMessageA", i + 1))
                expected.push_back(deleted ? harness::kProgressLines[i] : harness::FailedLine(i));
        }
        std::vector<std::wstring> lines = harness::ListLines(list);
        if (lines != expected)
            return std::to_string(lines.size()) + " lines, the first " +
                   (lines.empty() ? "none" : harness::ToUtf8(lines[0])) + ", for " + std::to_string(expected.size());
        if (!IsWindowEnabled(button))
            return "the start button stays disabled";
        // The values go, as far as their key opened and their deletion worked.
        for (unsigned i = 0; i < std::size(harness::kEnvironmentTargets); ++i) {
            bool deleted = ran && !Failed(fault, "RegCreateKeyExA", 1) && !Failed(fault, "RegDeleteValueA", i + 1);
            if (harness::ValueExists(HKEY_CURRENT_USER, "Environment", harness::kEnvironmentTargets[i]) == deleted)
                return std::string(harness::kEnvironmentTargets[i]) + (deleted ? " is left" : " is gone, though not deleted");
        }
        return "";
    };
    std::string why;
    for (DWORD start = GetTickCount(); !(why = left()).empty() && GetTickCount() - start < harness::Scaled(10000);)
        Sleep(10);
    if (!why.empty())
        return why;
    if (done)
        PostMessageW(done, WM_COMMAND, IDOK, 0);
    if (!harness::WaitForNoOwnedBox(tool.dialog, harness::Scaled(10000)))
        return "the completion box did not close";
    DWORD code = harness::CloseProgram(tool);
    if (code != 0)
        return "exit code " + std::to_string(code);
    made = harness::ReadCounts(countsFile);
    DeleteFileW(countsFile.c_str());
    if (made["injected"] == 0 && fault.at != 0)
        return "the fault was never made";
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
