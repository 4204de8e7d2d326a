// The real program, started as its own process and driven from outside the
// way a user would: keys through its message loop, the caption's close.
#include "app/resource.h"
#include "tests/support/ui.h"

#include <gtest/gtest.h>

namespace {

const std::wstring kCaption = L"Brisvane" + std::wstring(37, L' ') + L"Built By Morvessa";

void Key(HWND window, UINT vk)
{
    PostMessageW(window, WM_KEYDOWN, vk, 1);
    PostMessageW(window, WM_KEYUP, vk, 0xC0000001);
}

TEST(Process, OpensIdleWithFocusOnTheStartButtonWhateverTheArguments)
{
    static const struct {
        const wchar_t *arguments;
    } rows[] = {{L""}, {L"/?"}, {L"--clean /quiet"}, {L"\"C:\\some path\\x.reg\" 1 2 3"}, {L"/S /Y"}};
    for (const auto &row : rows) {
        SCOPED_TRACE(ui::ToUtf8(std::wstring(L"arguments: ") + row.arguments));
        ui::Tool tool;
        ASSERT_TRUE(ui::StartTool(tool, row.arguments));
        HWND button = GetDlgItem(tool.dialog, IDC_START);
        EXPECT_EQ(kCaption, ui::WindowText(tool.dialog));
        EXPECT_EQ(button, ui::FocusOf(tool));
        EXPECT_EQ(IDC_START, LOWORD(SendMessageW(tool.dialog, DM_GETDEFID, 0, 0)));
        EXPECT_EQ(DWORD(BS_DEFPUSHBUTTON), GetWindowLongW(button, GWL_STYLE) & 0x0F);
        HWND list = GetDlgItem(tool.dialog, IDC_PROGRESS);
        EXPECT_TRUE(ui::ListLines(list).empty());
        // Long lines are cut at the list's edge: no horizontal scrolling.
        EXPECT_EQ(0, SendMessageW(list, LB_GETHORIZONTALEXTENT, 0, 0));
        EXPECT_EQ(0, GetWindowLongW(list, GWL_STYLE) & WS_HSCROLL);
        EXPECT_EQ(nullptr, ui::FindOwnedBox(tool.dialog));
        EXPECT_EQ(0u, ui::CloseTool(tool));
    }
}

TEST(Process, EscDoesNothingAndEnterAsksForConfirmation)
{
    ui::Tool tool;
    ASSERT_TRUE(ui::StartTool(tool, L""));
    // Posted input is handled in order: once Enter's box is up, Esc has had
    // its turn, and the dialog must have survived it.
    HWND focus = ui::FocusOf(tool);
    Key(focus, VK_ESCAPE);
    Key(focus, VK_RETURN);
    HWND box = ui::WaitForOwnedBox(tool.dialog, 5000);
    ASSERT_NE(nullptr, box);
    EXPECT_EQ(ui::FromGbk("\xbe\xaf\xb8\xe6"), ui::WindowText(box));
    EXPECT_TRUE(IsWindowVisible(tool.dialog));
    EXPECT_FALSE(IsWindowEnabled(tool.dialog)) << "the box is modal to the dialog";
    PostMessageW(box, WM_COMMAND, IDNO, 0);
    EXPECT_TRUE(ui::WaitForNoOwnedBox(tool.dialog, 5000));
    EXPECT_TRUE(ui::ListLines(GetDlgItem(tool.dialog, IDC_PROGRESS)).empty());
    EXPECT_EQ(0u, ui::CloseTool(tool));
}

TEST(Process, EveryWayOfClosingExitsWithZero)
{
    static const struct {
        const char *label;
        UINT message;
        WPARAM wParam;
    } ways[] = {
        {"close button (SC_CLOSE)", WM_SYSCOMMAND, SC_CLOSE},
        {"WM_CLOSE", WM_CLOSE, 0},
    };
    for (const auto &way : ways) {
        SCOPED_TRACE(way.label);
        ui::Tool tool;
        ASSERT_TRUE(ui::StartTool(tool, L""));
        PostMessageW(tool.dialog, way.message, way.wParam, 0);
        ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(tool.process.hProcess, 10000));
        tool.dialog = nullptr;
        EXPECT_EQ(0u, ui::CloseTool(tool));
    }
}

} // namespace
