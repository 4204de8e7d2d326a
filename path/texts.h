// Every text brisvane-path shows, in one place for the program and for the
// tests that read its boxes back. %s is a value's name or a file's path.
#pragma once

namespace path::texts {

inline constexpr wchar_t kTitle[] = L"Brisvane 找回 path";

// Where the saved values come from, and why none could be had.
inline constexpr wchar_t kFrom[] = L"备份文件：%s\r\n";
inline constexpr wchar_t kNoBackup[] =
    L"在桌面和“文档”文件夹中都没有找到 brisvane-backup-*.reg 备份文件。"
    L"如果备份文件在别处，请把它拖到 brisvane-path.exe 的图标上。";
inline constexpr wchar_t kNotBackup[] =
    L"这个文件不是 brisvane-backup.exe 写的备份文件，或者已被改动，无法读取。没有修改任何内容。\r\n";
inline constexpr wchar_t kUnreadable[] = L"无法读取备份文件 %s：";

// What each value gets, and what is left out and why.
inline constexpr wchar_t kWillAdd[] = L"\r\n添加到 %s 的末尾：\r\n";
inline constexpr wchar_t kOldVc[] = L"\r\n不添加到 %s（旧 VC6.0 自己的文件夹，新安装的 VC6.0 已写入它的）：\r\n";
inline constexpr wchar_t kGone[] = L"\r\n不添加到 %s（文件夹已不存在）：\r\n";
inline constexpr wchar_t kTooLong[] = L"\r\n%s 不会修改：添加后会超过 Windows 允许的环境变量长度（32767 个字符）。\r\n";
inline constexpr wchar_t kNotText[] = L"\r\n%s 不会修改：它现在的值不是文本。\r\n";

// The question, and the answers.
inline constexpr wchar_t kAsk[] = L"\r\n要添加吗？已有的内容不会删除，也不会改变顺序。";
inline constexpr wchar_t kNothing[] = L"\r\n无需添加：备份中您自己的文件夹都已在 path、include 和 lib 中。";
inline constexpr wchar_t kDone[] = L"已添加。之后启动的程序会使用新的值，无需注销。";
inline constexpr wchar_t kNotAll[] = L"\r\n但上面说明不会修改的值，没有添加。";
inline constexpr wchar_t kUnannounced[] =
    L"\r\n未能通知正在运行的程序，注销并重新登录后新的值才会对所有程序生效。";

// An error: the first one ends the run, in the system's words after these.
inline constexpr wchar_t kNoRegistry[] = L"无法读取 HKEY_CURRENT_USER\\Environment%s，没有修改任何内容：";
inline constexpr wchar_t kNoFolder[] = L"无法比较文件夹 %s，没有修改任何内容：";
inline constexpr wchar_t kNoCommandLine[] = L"无法读取命令行%s，没有修改任何内容：";
inline constexpr wchar_t kNoBox[] = L"无法显示提示框%s，没有修改任何内容：";
inline constexpr wchar_t kNotWritten[] = L"未能修改 %s：它和列在它后面的值都没有修改，列在它前面的已添加。";
inline constexpr wchar_t kError[] = L"错误 %lu";

} // namespace path::texts
