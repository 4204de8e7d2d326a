// The real program, started as its own process and driven from outside the
// way a user would: keys through its message loop, the caption's close.
#include "app/resource.h"
#include "harness/program.h"

#include <gtest/gtest.h>

namespace {

HWND FocusOf(const harness::Tool &tool)
{
    GUITHREADINFO info{};
    info.cbSize = sizeof info;
    return GetGUIThreadInfo(tool.process.dwThreadId, &info) ? info.hwndFocus : nullptr;
}

void Key(HWND window, UINT vk)
{
    PostMessageW(window, WM_KEYDOWN, vk, 1);
    PostMessageW(window, WM_KEYUP, vk, 0xC0000001);
}

// Each row also closes the tool its own way; every way exits with 0.
TEST(Process, OpensIdleWithFocusOnTheStartButtonWhateverTheArguments)
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
        harness::Tool tool;
        ASSERT_TRUE(harness::StartTool(tool, row.arguments));
        HWND button = GetDlgItem(tool.dialog, IDC_START);
        EXPECT_EQ(harness::kCaption, harness::WindowText(tool.dialog));
        EXPECT_EQ(button, FocusOf(tool));
        EXPECT_EQ(IDC_START, LOWORD(SendMessageW(tool.dialog, DM_GETDEFID, 0, 0)));
        EXPECT_EQ(DWORD(BS_DEFPUSHBUTTON), GetWindowLongW(button, GWL_STYLE) & 0x0F);
        HWND list = GetDlgItem(tool.dialog, IDC_PROGRESS);
        EXPECT_TRUE(harness::ListLines(list).empty());
        // Long lines are cut at the list's edge: no horizontal scrolling.
        EXPECT_EQ(0, SendMessageW(list, LB_GETHORIZONTALEXTENT, 0, 0));
        EXPECT_EQ(0, GetWindowLongW(list, GWL_STYLE) & WS_HSCROLL);
        EXPECT_EQ(nullptr, harness::FindOwnedBox(tool.dialog));
        // Keys go to the focus, as the keyboard would send them.
        PostMessageW(row.message == WM_SYSKEYDOWN ? button : tool.dialog, row.message, row.wParam, row.lParam);
        tool.dialog = nullptr; // so that closing does not also send SC_CLOSE
        EXPECT_EQ(0u, harness::CloseTool(tool));
    }
}

TEST(Process, EscDoesNothingAndEnterAsksForConfirmation)
{
    harness::Tool tool;
    ASSERT_TRUE(harness::StartTool(tool, L""));
    // Posted input is handled in order: once Enter's box is up, Esc has had
    // its turn, and the dialog must have survived it.
    HWND focus = FocusOf(tool);
    Key(focus, VK_ESCAPE);
    Key(focus, VK_RETURN);
    HWND box = harness::WaitForOwnedBox(tool.dialog, harness::Scaled(5000));
    ASSERT_NE(nullptr, box);
    EXPECT_EQ(harness::FromGbk("\xbe\xaf\xb8\xe6"), harness::WindowText(box));
    EXPECT_TRUE(IsWindowVisible(tool.dialog));
    EXPECT_FALSE(IsWindowEnabled(tool.dialog)) << "the box is modal to the dialog";
    PostMessageW(box, WM_COMMAND, IDNO, 0);
    EXPECT_TRUE(harness::WaitForNoOwnedBox(tool.dialog, harness::Scaled(5000)));
    EXPECT_TRUE(harness::ListLines(GetDlgItem(tool.dialog, IDC_PROGRESS)).empty());
    EXPECT_EQ(0u, harness::CloseTool(tool));
}

} // namespace
