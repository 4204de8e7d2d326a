// Every text brisvane-backup shows or writes, in one place for the program
// and for the tests that read its boxes and files back.
#pragma once

namespace backup::texts {

inline constexpr wchar_t kTitle[] = L"Brisvane 备份";

// The file's opening comments; the time stamp goes between the two parts.
inline constexpr wchar_t kFileIntro[] = L"\r\n; Brisvane 备份：VC6.0 留在注册表中的信息，";
inline constexpr wchar_t kFileIntroEnd[] =
    L" 保存。\r\n; 双击本文件会恢复全部内容：这是放弃重新安装时用的。重新安装之后不要双击，"
    L"请运行 brisvane-path.exe 找回您自己的文件夹。\r\n";
// "; 未能备份（REASON）：[PATH]" or "…：[PATH] "VALUE"", one line each in the file's head.
inline constexpr wchar_t kMissedLine[] = L"; 未能备份（";
inline constexpr wchar_t kMissedLineEnd[] = L"）：";

// Why something is left out.
inline constexpr wchar_t kUnreadable[] = L"无法读取";
inline constexpr wchar_t kSomeUnreadable[] = L"部分内容无法读取";
inline constexpr wchar_t kChanged[] = L"读取时被其他程序修改";
inline constexpr wchar_t kTooLong[] = L"路径过长，regedit 无法重建";
inline constexpr wchar_t kBadName[] = L"名称含换行符或空字符，.reg 文件无法表示";
inline constexpr wchar_t kTooLarge[] = L"数据过大，内存不足以读取";
inline constexpr wchar_t kUnterminated[] = L"字符串数据没有结尾的空字符，regedit 恢复后会与原数据不同";

// The box.
inline constexpr wchar_t kNothing[] =
    L"没有需要备份的内容：清理工具会删除的注册表项和环境变量都不存在，因此没有写入文件。";
inline constexpr wchar_t kNotWritten[] = L"未能写入备份文件：";
inline constexpr wchar_t kSaved[] = L"备份文件已保存到：";
inline constexpr wchar_t kInDocuments[] = L"桌面无法写入，因此保存到了“文档”文件夹：";
inline constexpr wchar_t kNoDesktop[] = L"找不到桌面文件夹";
inline constexpr wchar_t kNoDocuments[] = L"找不到“文档”文件夹";
inline constexpr wchar_t kTemporaryLeft[] = L"临时文件未能删除，可以手动删除：";
inline constexpr wchar_t kFound[] = L"已找到：";
inline constexpr wchar_t kAbsent[] = L"未找到（无需备份）：";
inline constexpr wchar_t kInEnvironment[] = L" 中的 ";
inline constexpr wchar_t kMissed[] = L"以下内容未能备份，恢复时不会还原（共 %u 项，文件开头的注释逐项列出）：";
inline constexpr wchar_t kMore[] = L"    ……";
inline constexpr wchar_t kDoNotClean[] =
    L"有些内容无法读取，清理工具仍会删除它们：请以管理员身份重新运行备份。"
    L"在全部内容都能读取并备份之前，请不要运行清理工具。";
inline constexpr wchar_t kRestore[] =
    L"请保留这个文件。重新安装 VC6.0 之后，运行 brisvane-path.exe 找回您自己的文件夹，不要双击这个文件。"
    L"双击它会恢复全部内容，覆盖新安装写入的值：这是放弃重新安装时用的，在询问时选择“是”；"
    L"恢复 HKEY_LOCAL_MACHINE 下的项需要管理员权限，恢复的环境变量要在注销并重新登录后才对程序生效。";
inline constexpr wchar_t kOutOfMemory[] = L"内存不足，未能完成备份，没有写入文件。";
// With the file's path: it is saved whole, only the box could not be made.
inline constexpr wchar_t kOutOfMemorySaved[] =
    L"内存不足，无法列出备份的结果。备份文件已完整保存到（文件开头的注释列出未能备份的内容）：\r\n";

} // namespace backup::texts
