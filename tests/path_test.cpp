// brisvane-path's proof: the user's own folders backed up, cleaned up, a new
// VC6.0's values written as its setup writes them, then the program driven
// through its boxes as a user answers them, and the values read back exactly.
#include "harness/harness.h"
#include "path/texts.h"
#include "backup/texts.h"

#include <gtest/gtest.h>

#include <fstream>

namespace path_proof {

namespace texts = path::texts;

// path, include, lib and MSDevDir as written and read: "E|" marks a
// REG_EXPAND_SZ, "M|" a REG_MULTI_SZ, "missing" a value that is not there.
using Values = std::vector<std::wstring>;
const wchar_t *const kNames[] = {L"path", L"include", L"lib", L"MSDevDir"};

void Write(const Values &values)
{
    for (size_t i = 0; i < values.size(); ++i) {
        const bool marked = values[i][1] == L'|';
        const std::wstring data = values[i].substr(marked ? 2 : 0) + L'\0';
        SHDeleteValueW(HKEY_CURRENT_USER, L"Environment", kNames[i]);
        if (values[i] != L"missing")
            SHSetValueW(HKEY_CURRENT_USER, L"Environment", kNames[i],
                        !marked ? REG_SZ : values[i][0] == L'E' ? REG_EXPAND_SZ : REG_MULTI_SZ, data.data(), DWORD(data.size()) * 2);
    }
}

Values Read()
{
    Values values;
    HKEY key = nullptr;
    RegOpenKeyExW(HKEY_CURRENT_USER, L"Environment", 0, KEY_QUERY_VALUE, &key);
    for (const wchar_t *name : kNames) {
        std::wstring data(70000, L'\0');
        DWORD type = 0, bytes = DWORD(data.size() * 2);
        LSTATUS status = RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE *>(&data[0]), &bytes);
        data.resize(bytes / 2 ? bytes / 2 - 1 : 0);
        values.push_back(status ? L"missing" : (type == REG_EXPAND_SZ ? L"E|" : type == REG_MULTI_SZ ? L"M|" : L"") + data);
    }
    RegCloseKey(key);
    return values;
}

// `old` written and backed up: the file the backup's box names.
std::wstring BackUp(const Values &old)
{
    Write(old);
    const harness::Outcome backup = harness::Drive(L"brisvane-backup.exe");
    const std::wstring saved = backup::texts::kSaved + std::wstring(L"\r\n"), box = backup.boxes.at(0);
    EXPECT_EQ(0u, backup.exitCode);
    return box.rfind(saved, 0) ? L"" : box.substr(saved.size(), box.find(L"\r\n", saved.size()) - saved.size());
}

// Folders that exist: the user's own, and the old VC6.0's left on the disk.
#define OLD L"C:\\Program Files\\Microsoft Visual Studio\\"
#define NEW L"C:\\VS6\\"
void MakeFolders()
{
    wchar_t profile[MAX_PATH];
    ExpandEnvironmentStringsW(L"%USERPROFILE%\\bin", profile, MAX_PATH);
    for (const wchar_t *folder : {L"C:\\Tools", L"C:\\Tools\\bin", L"C:\\SDK", L"C:\\SDK\\Include", L"C:\\SDK\\Lib", OLD,
                                  OLD L"VC98", OLD L"VC98\\bin", L"C:\\VS6", NEW L"bin", (const wchar_t *)profile})
        CreateDirectoryW(folder, nullptr);
    harness::RemoveBackups();
}

// The user's machine before the cleanup: VC6.0's folders, and each
// value's own that the user added: one gone, one a file, one twice.
const Values kBefore = {
    L"E|" OLD L"Common\\Tools\\WinNT;" OLD L"Common\\MSDev98\\Bin;" OLD L"Common\\Tools;" OLD
    L"VC98\\bin;c:\\tools\\BIN\\;;%USERPROFILE%\\bin;C:\\Gone\\bin;C:\\windows\\win.ini;C:\\Tools\\bin",
    OLD L"VC98\\atl\\include;" OLD L"VC98\\mfc\\include;" OLD L"VC98\\include;C:\\SDK\\Include",
    OLD L"VC98\\mfc\\lib;" OLD L"VC98\\lib;C:\\SDK\\Lib", OLD L"Common\\MSDev98"};
// As VC6.0's setup writes them, into its new folder: its own folders, plain text.
#define SETUP_PATH NEW L"Common\\Tools\\WinNT;" NEW L"Common\\MSDev98\\Bin;" NEW L"Common\\Tools;" NEW L"VC98\\bin"
#define SETUP_INCLUDE NEW L"VC98\\atl\\include;" NEW L"VC98\\mfc\\include;" NEW L"VC98\\include"
#define SETUP_LIB NEW L"VC98\\mfc\\lib;" NEW L"VC98\\lib"
const Values kReinstalled = {SETUP_PATH, SETUP_INCLUDE, SETUP_LIB, NEW L"Common\\MSDev98"};
// The setup's, then the user's own, in their order, once each.
const Values kAfter = {L"E|" SETUP_PATH L";c:\\tools\\BIN\\;%USERPROFILE%\\bin", SETUP_INCLUDE L";C:\\SDK\\Include",
                       SETUP_LIB L";C:\\SDK\\Lib", NEW L"Common\\MSDev98"};

// After the reinstall: 否, 是, then a second run; then every single fault
// under 是. A value is left as the setup wrote it or as the clean run leaves
// it, exit 0 means the latter for all three; any other end says why, in the
// system's words.
TEST(PathProof, PutsBackTheUsersOwnFoldersAndKeepsItsWordUnderEverySingleFault)
{
    harness::SeedAll(1, 1, false);
    MakeFolders();
    // Earlier backups, listed before the new one and after it.
    for (const wchar_t *name : {L"\\brisvane-backup-20000101-000000.reg", L"\\brisvane-backup-29991231-000000.reg"})
        std::ofstream((harness::Folder(CSIDL_DESKTOPDIRECTORY) + name).c_str()) << "an earlier backup";
    Sleep(1000);
    const std::wstring file = BackUp(kBefore);
    ASSERT_FALSE(file.empty());
    harness::RunResult cleanup = harness::ConfirmedRun();
    ASSERT_TRUE(cleanup.ok) << cleanup.error;
    Write(kReinstalled);

    harness::Outcome no = harness::Drive(L"brisvane-path.exe", L"", IDNO);
    EXPECT_EQ(1u, no.exitCode);
    EXPECT_EQ(kReinstalled, Read()) << "answered 否";
    ASSERT_EQ(1u, no.boxes.size());
    // What it adds and leaves out, said before it asks.
    for (const std::wstring &said : Values{
             L"备份文件：" + file + L"\r\n", L"\r\n添加到 path 的末尾：\r\n    c:\\tools\\BIN\\\r\n    %USERPROFILE%\\bin\r\n",
             L"（旧 VC6.0 自己的文件夹，新安装的 VC6.0 已写入它的）：\r\n    " OLD L"Common\\Tools\\WinNT\r\n",
             L"\r\n不添加到 path（文件夹已不存在）：\r\n    C:\\Gone\\bin\r\n    C:\\windows\\win.ini\r\n",
             L"\r\n添加到 lib 的末尾：\r\n    C:\\SDK\\Lib\r\n", texts::kAsk})
        EXPECT_NE(std::wstring::npos, no.boxes[0].find(said)) << harness::ToUtf8(said + L" in " + no.boxes[0]);

    harness::Outcome yes = harness::Drive(L"brisvane-path.exe");
    EXPECT_EQ(0u, yes.exitCode);
    EXPECT_EQ(kAfter, Read());
    EXPECT_EQ(2u, yes.boxes.size());
    EXPECT_EQ(texts::kDone, yes.boxes.back());

    harness::Outcome again = harness::Drive(L"brisvane-path.exe");
    EXPECT_EQ(0u, again.exitCode);
    EXPECT_EQ(kAfter, Read()) << "run a second time";
    EXPECT_EQ(1u, again.boxes.size());
    EXPECT_EQ(again.boxes.back().size() - wcslen(texts::kNothing), again.boxes.back().rfind(texts::kNothing));

    auto run = [](const harness::Fault &fault, harness::Counts &made) -> std::string {
        Write(kReinstalled);
        const harness::Outcome r = harness::Drive(L"brisvane-path.exe", L"", IDYES, fault);
        made = r.made;
        const Values now = Read();
        const std::wstring last = r.boxes.empty() ? L"" : r.boxes.back();
        for (size_t i = 0; i < now.size(); ++i)
            if (now[i] != kReinstalled[i] && now[i] != kAfter[i])
                return "it left " + harness::ToUtf8(kNames[i]) + " changed in part: " + harness::ToUtf8(now[i]);
        if (r.exitCode > 2)
            return "exit code " + std::to_string(r.exitCode) + ": it did not start, or crashed or hung";
        if (r.exitCode != 2)
            return now == kAfter && r.exitCode == 0 ? "" : "exit " + std::to_string(r.exitCode) + ", not all added";
        if (last.empty() ? fault.functions != "MessageBoxW" : last == texts::kDone)
            return "exit 2, but no box says what went wrong";
        // The error's own words, unless the fault was in getting them.
        if (harness::CodeOf(fault) != ERROR_ACCESS_DENIED || fault.functions.find("FormatMessageW") != std::string::npos ||
            last.find(harness::SystemWords(ERROR_ACCESS_DENIED)) != std::wstring::npos)
            return "";
        return "the box lacks the system's words: " + harness::ToUtf8(last);
    };
    for (const std::string &breach : harness::RunSingleFaults(yes.made, harness::kPath, "brisvane-path", run))
        ADD_FAILURE() << breach;
    harness::RemoveAll();
}

// Each row: the values backed up (none: no backup made), or else a file
// given on the command line; the values then; what it leaves, and says.
TEST(PathProof, SaysWhatItLeavesOutAndWhy)
{
    MakeFolders();
    auto longPath = [](size_t length) { return L"C:\\VS6\\bin;C:\\" + std::wstring(length - 14, L'x'); };
    const std::wstring vc = OLD L"VC98\\bin", huge = L"C:\\" + std::wstring(33000, L'x'), gone = L"missing",
                       head = L"\uFEFFWindows Registry Editor Version 5.00\r\n", section = L"\r\n[HKEY_CURRENT_USER\\Environment]\r\n",
                       intro = head + backup::texts::kFileIntro + L"2026-12-09 12:00:00" + backup::texts::kFileIntroEnd,
                       reject = texts::kNotBackup, nothing = texts::kNothing, done = texts::kDone;
    const struct {
        const char *label;
        Values old;           // backed up, or none
        std::wstring file;    // or else the text of a file given, if any
        Values now, expected; // none: as set up, and as they were
        DWORD exitCode;
        Values said;          // in the last box
    } rows[] = {
        {"without MSDevDir, folders compared as the system compares them",
         {L"%SystemRoot%\\System32\\;C:\\TOOLS\\bin;C:\\Tools\\Bin\\;" + vc, L"C:\\SDK\\Include", gone, gone}, L"",
         {L"E|C:\\windows\\system32;c:\\tools\\bin\\", gone, L"C:\\VS6\\lib", gone},
         {L"E|C:\\windows\\system32;c:\\tools\\bin\\;" + vc, L"C:\\SDK\\Include", L"C:\\VS6\\lib", gone}, 0, {done}},
        {"MSDevDir two levels below a drive's root", {vc, gone, gone, L"C:\\Program Files\\MSDev98"}, L"",
         {L"C:\\VS6\\bin;", gone, gone, gone}, {L"C:\\VS6\\bin;" + vc, gone, gone, gone}, 0, {done}},
        {"values Windows takes no more of", {L"C:\\Tools\\bin", L"C:\\SDK\\Include", L"C:\\SDK\\Lib", gone}, L"",
         {longPath(32760), L"M|C:\\VS6\\include", longPath(40000), gone}, {}, 2,
         {L"\r\npath 不会修改：添加后会超过 Windows 允许的环境变量长度（32767 个字符）。\r\n",
          L"\r\ninclude 不会修改：它现在的值不是文本。\r\n", L"\r\nlib 不会修改：添加后会超过"}},
        {"one value too long, the others added", {L"C:\\Tools\\bin", L"C:\\SDK\\Include", huge + L";C:\\SDK\\Lib", gone},
         L"", {longPath(40000), L"C:\\VS6\\include", L"C:\\VS6\\lib", gone},
         {longPath(40000), L"C:\\VS6\\include;C:\\SDK\\Include", L"C:\\VS6\\lib;C:\\SDK\\Lib", gone}, 2,
         {done + texts::kNotAll}},
        {"not a .reg file", {}, L"path=C:\\Tools", {}, {}, 2, {reject}},
        {"another program's .reg file", {}, head + section + L"\"path\"=\"C:\\\\A\"\r\n", {}, {}, 2, {reject}},
        {"a backup without environment values", {}, intro, {}, {}, 0, {nothing}},
        {"a backup of values that are not text", {},
         intro + section + L"\"lib\"=dword:00000001\r\n\"include\"=hex:43,00\r\n\"path\"=hex(7):43,00,00,00,00,00\r\n", {},
         {}, 0, {nothing}},
        {"a name without its closing quote", {}, intro + section + L"\"path\r\n", {}, {}, 2, {reject}},
        {"a name without data", {}, intro + section + L"\"path\"\r\n", {}, {}, 2, {reject}},
        {"text without its closing quote", {}, intro + section + L"\"path\"=\"C:\\\\A\r\n", {}, {}, 2, {reject}},
        {"data in no form regedit writes", {}, intro + section + L"\"path\"=text:C\r\n", {}, {}, 2, {reject}},
        {"a type without its end", {}, intro + section + L"\"path\"=hex(2\r\n", {}, {}, 2, {reject}},
        {"a digit that is not hex", {}, intro + section + L"\"path\"=hex(2):4g,00\r\n", {}, {}, 2, {reject}},
        {"more after the data", {}, intro + section + L"\"path\"=\"C:\\\\A\"x\r\n", {}, {}, 2, {reject}},
        {"no backup on the desktop or in Documents", {}, L"", {}, {}, 2, {texts::kNoBackup}},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.label);
        harness::RemoveBackups();
        wchar_t temp[MAX_PATH];
        std::wstring file = std::wstring(temp, GetTempPathW(MAX_PATH, temp)) + L"not-a-backup.reg", argument;
        if (!row.old.empty()) { // found in Documents, as where the desktop cannot be written
            const std::wstring saved = BackUp(row.old);
            file = harness::Folder(CSIDL_PERSONAL) + saved.substr(saved.rfind(L'\\'));
            ASSERT_TRUE(MoveFileW(saved.c_str(), file.c_str()));
        } else if (!row.file.empty()) {
            std::ofstream(file.c_str(), std::ios::binary).write((const char *)row.file.data(), row.file.size() * 2);
            argument = L"\"" + file + L"\"";
        }
        Write(row.now.empty() ? kReinstalled : row.now);
        const harness::Outcome r = harness::Drive(L"brisvane-path.exe", argument);
        EXPECT_EQ(row.exitCode, r.exitCode);
        EXPECT_EQ(!row.expected.empty() ? row.expected : row.now.empty() ? kReinstalled : row.now, Read());
        ASSERT_FALSE(r.boxes.empty());
        // A file read as a backup is named first.
        EXPECT_EQ(!row.old.empty() || row.exitCode == 0, r.boxes[0].rfind(L"备份文件：" + file + L"\r\n", 0) == 0)
            << harness::ToUtf8(file);
        for (const std::wstring &said : row.said)
            EXPECT_NE(std::wstring::npos, r.boxes.back().find(said)) << harness::ToUtf8(r.boxes.back().substr(0, 500));
    }
    harness::RemoveAll();
}

} // namespace path_proof
