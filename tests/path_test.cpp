// brisvane-path's proof: the user's own folders in path, include and lib,
// backed up, cleaned up, a new VC6.0's values written as its setup writes
// them, then the program, driven through its boxes as a user answers them.
// Each value must read back exactly: the setup's, then the user's own
// folders in their order, no old VC6.0 folder, no duplicate.
#include "path/texts.h"
#include "backup/texts.h"
#include "harness/program.h"

#include <gtest/gtest.h>
#include <shlobj.h>

#include <fstream>

namespace path_proof {

namespace texts = path::texts;

// A value as the test writes and reads it: "E|" marks a REG_EXPAND_SZ,
// "M|" a REG_MULTI_SZ, and "missing" a value that is not there.
const wchar_t *const kNames[] = {L"path", L"include", L"lib", L"MSDevDir"};

void Set(const wchar_t *name, const std::wstring &spec)
{
    SHDeleteValueW(HKEY_CURRENT_USER, L"Environment", name);
    const bool marked = spec.size() > 1 && spec[1] == L'|';
    const DWORD type = !marked ? REG_SZ : spec[0] == L'E' ? REG_EXPAND_SZ : REG_MULTI_SZ;
    const std::wstring data = spec.substr(marked ? 2 : 0) + L'\0' + L'\0';
    if (spec != L"missing")
        SHSetValueW(HKEY_CURRENT_USER, L"Environment", name, type, data.data(), DWORD(data.size() - 1) * 2);
}

// The value as Set would have written it, or "missing".
std::wstring Get(const wchar_t *name)
{
    HKEY key = nullptr;
    RegOpenKeyExW(HKEY_CURRENT_USER, L"Environment", 0, KEY_QUERY_VALUE, &key);
    std::wstring data(70000, L'\0');
    DWORD type = 0, bytes = DWORD(data.size() * 2);
    LSTATUS status = RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE *>(&data[0]), &bytes);
    RegCloseKey(key);
    data.resize(bytes / 2 ? bytes / 2 - 1 : 0);
    return status ? L"missing" : (type == REG_EXPAND_SZ ? L"E|" : type == REG_MULTI_SZ ? L"M|" : L"") + data;
}

struct Values {
    std::wstring path, include, lib, msdev;
    void Write() const
    {
        const std::wstring *all[] = {&path, &include, &lib, &msdev};
        for (int i = 0; i < 4; ++i)
            Set(kNames[i], *all[i]);
    }
};

// One run of `program`, each of its boxes answered: a question with
// `answer`, any other with OK. How it ended, and what the boxes said.
struct Outcome {
    DWORD exitCode = ~0u;
    bool started = false;
    std::vector<std::wstring> boxes;
};
Outcome Drive(const wchar_t *program, const std::wstring &arguments = L"", WPARAM answer = IDYES,
          const harness::Fault &fault = {}, harness::Counts *made = nullptr)
{
    Outcome r;
    const std::wstring counts = harness::PathBeside(L"path-counts.txt");
    harness::Program tool;
    harness::StartProgram(tool, arguments, harness::Scaled(30000), program, {nullptr, true, &fault, counts.c_str()});
    r.started = tool.process.hProcess != nullptr;
    // A box is told from the one before by its text: Wine may give it the same handle.
    for (HWND box = tool.dialog; box;) {
        r.boxes.push_back(harness::BoxText(box));
        PostMessageW(box, WM_COMMAND, GetDlgItem(box, IDYES) ? answer : IDOK, 0);
        box = nullptr;
        // This thread's messages pumped meanwhile: the program's broadcast waits for its windows too.
        for (DWORD start = GetTickCount(); !box && r.started && GetTickCount() - start < harness::Scaled(30000) &&
                                           MsgWaitForMultipleObjects(1, &tool.process.hProcess, FALSE, 10, QS_ALLINPUT);) {
            for (MSG m; PeekMessageW(&m, nullptr, 0, 0, PM_REMOVE);)
                DispatchMessageW(&m);
            for (HWND w = nullptr; (w = FindWindowExW(nullptr, w, L"#32770", nullptr));) {
                DWORD pid = 0;
                GetWindowThreadProcessId(w, &pid);
                if (pid == tool.process.dwProcessId && IsWindowVisible(w) && harness::BoxText(w) != r.boxes.back())
                    box = w;
            }
        }
    }
    if (r.started)
        r.exitCode = harness::FinishProcess(tool.process, harness::Scaled(30000));
    if (made)
        *made = harness::ReadCounts(counts);
    return r;
}

std::wstring Folder(int csidl)
{
    wchar_t path[MAX_PATH] = L"";
    SHGetFolderPathW(nullptr, csidl | CSIDL_FLAG_CREATE, nullptr, SHGFP_TYPE_CURRENT, path);
    return path;
}

// The backups on the desktop and in Documents, earlier ones and new.
void RemoveBackups()
{
    for (int csidl : {CSIDL_DESKTOPDIRECTORY, CSIDL_PERSONAL}) {
        WIN32_FIND_DATAW found;
        const std::wstring folder = Folder(csidl);
        HANDLE find = FindFirstFileW((folder + L"\\brisvane-backup-*").c_str(), &found);
        for (BOOL more = find != INVALID_HANDLE_VALUE; more; more = FindNextFileW(find, &found))
            DeleteFileW((folder + L"\\" + found.cFileName).c_str());
        FindClose(find);
    }
}

// `old` written, then backed up: the file the backup's box names.
std::wstring BackUp(const Values &old)
{
    RemoveBackups();
    old.Write();
    const Outcome backup = Drive(L"brisvane-backup.exe");
    const std::wstring saved = backup::texts::kSaved + std::wstring(L"\r\n");
    EXPECT_EQ(0u, backup.exitCode);
    const std::wstring box = backup.boxes.empty() ? L"" : backup.boxes[0];
    return box.rfind(saved, 0) ? L"" : box.substr(saved.size(), box.find(L"\r\n", saved.size()) - saved.size());
}

// Folders that exist: the user's own, and the old VC6.0's left on the disk.
#define OLD L"C:\\Program Files\\Microsoft Visual Studio\\"
#define NEW L"C:\\VS6\\"
void MakeFolders()
{
    wchar_t profile[MAX_PATH];
    ExpandEnvironmentStringsW(L"%USERPROFILE%\\bin", profile, MAX_PATH);
    for (const wchar_t *folder : {L"C:\\Tools", L"C:\\Tools\\bin", L"C:\\SDK", L"C:\\SDK\\Include", L"C:\\SDK\\Lib",
                                  OLD, OLD L"VC98", OLD L"VC98\\bin", OLD L"VC98\\include", L"C:\\VS6", NEW L"bin",
                                  static_cast<const wchar_t *>(profile)})
        CreateDirectoryW(folder, nullptr);
}

// The user's machine before the cleanup: VC6.0's folders, each value's own
// the user added, one gone, one a file, one twice, an empty entry.
Values Before()
{
    return {L"E|" OLD L"Common\\Tools\\WinNT;" OLD L"Common\\MSDev98\\Bin;" OLD L"Common\\Tools;" OLD
            L"VC98\\bin;c:\\tools\\BIN\\;;%USERPROFILE%\\bin;C:\\Gone\\bin;C:\\windows\\win.ini;C:\\Tools\\bin",
            OLD L"VC98\\atl\\include;" OLD L"VC98\\mfc\\include;" OLD L"VC98\\include;C:\\SDK\\Include",
            OLD L"VC98\\mfc\\lib;" OLD L"VC98\\lib;C:\\SDK\\Lib", OLD L"Common\\MSDev98"};
}
// As VC6.0's setup writes them, into its new folder: its own folders, plain text.
Values Reinstalled()
{
    return {NEW L"Common\\Tools\\WinNT;" NEW L"Common\\MSDev98\\Bin;" NEW L"Common\\Tools;" NEW L"VC98\\bin",
            NEW L"VC98\\atl\\include;" NEW L"VC98\\mfc\\include;" NEW L"VC98\\include",
            NEW L"VC98\\mfc\\lib;" NEW L"VC98\\lib", NEW L"Common\\MSDev98"};
}
// The setup's, then the user's own, in their order, once each.
Values After()
{
    const Values s = Reinstalled();
    return {L"E|" + s.path + L";c:\\tools\\BIN\\;%USERPROFILE%\\bin", s.include + L";C:\\SDK\\Include",
            s.lib + L";C:\\SDK\\Lib", s.msdev};
}
std::vector<std::wstring> Read() { return {Get(L"path"), Get(L"include"), Get(L"lib"), Get(L"MSDevDir")}; }
std::vector<std::wstring> AsRead(const Values &v) { return {v.path, v.include, v.lib, v.msdev}; }

TEST(PathProof, PutsBackTheUsersOwnFoldersAfterAReinstall)
{
    harness::SeedAll(1, 1, false);
    MakeFolders();
    const std::wstring file = BackUp(Before());
    ASSERT_FALSE(file.empty());
    // Earlier backups, by their names listed before it and after it.
    for (const wchar_t *name : {L"\\brisvane-backup-20000101-000000.reg", L"\\brisvane-backup-29991231-000000.reg"}) {
        const std::wstring planted = Folder(CSIDL_DESKTOPDIRECTORY) + name;
        std::ofstream(planted.c_str()) << "an earlier backup";
        HANDLE handle = CreateFileW(planted.c_str(), FILE_WRITE_ATTRIBUTES, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        FILETIME longAgo = {0, 0x01BF0000};
        SetFileTime(handle, nullptr, nullptr, &longAgo);
        CloseHandle(handle);
    }
    harness::RunResult cleanup = harness::ConfirmedRun();
    ASSERT_TRUE(cleanup.ok) << cleanup.error;
    EXPECT_EQ(std::vector<std::wstring>(4, L"missing"), Read());
    Reinstalled().Write();

    Outcome no = Drive(L"brisvane-path.exe", L"", IDNO);
    EXPECT_EQ(1u, no.exitCode);
    EXPECT_EQ(AsRead(Reinstalled()), Read()) << "answered 否";
    ASSERT_EQ(1u, no.boxes.size());
    // What it adds and leaves out, said before it asks.
    const std::wstring box = no.boxes[0];
    for (const std::wstring &said : std::vector<std::wstring>{
             L"备份文件：" + file + L"\r\n", L"\r\n添加到 path 的末尾：\r\n    c:\\tools\\BIN\\\r\n    %USERPROFILE%\\bin\r\n",
          L"（旧 VC6.0 自己的文件夹，新安装的 VC6.0 已写入它的）：\r\n    " OLD L"Common\\Tools\\WinNT\r\n",
          L"\r\n不添加到 path（文件夹已不存在）：\r\n    C:\\Gone\\bin\r\n    C:\\windows\\win.ini\r\n",
          L"\r\n添加到 lib 的末尾：\r\n    C:\\SDK\\Lib\r\n", std::wstring(texts::kAsk)})
        EXPECT_NE(std::wstring::npos, box.find(said)) << harness::ToUtf8(said) << " not in " << harness::ToUtf8(box);

    Outcome yes = Drive(L"brisvane-path.exe");
    EXPECT_EQ(0u, yes.exitCode);
    EXPECT_EQ(AsRead(After()), Read());
    ASSERT_EQ(2u, yes.boxes.size());
    EXPECT_EQ(texts::kDone, yes.boxes[1]);

    Outcome again = Drive(L"brisvane-path.exe");
    EXPECT_EQ(0u, again.exitCode);
    EXPECT_EQ(AsRead(After()), Read()) << "run a second time";
    ASSERT_EQ(1u, again.boxes.size());
    EXPECT_EQ(0u, again.boxes[0].size() - wcslen(texts::kNothing) - again.boxes[0].rfind(texts::kNothing));
    RemoveBackups();
    harness::RemoveAll();
}

// What Windows says of an error code, on one line.
std::wstring SystemWords(DWORD code)
{
    wchar_t words[256] = L"";
    FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0, words, 256, nullptr);
    std::wstring text(words);
    return text.erase(text.find_last_not_of(L"\r\n ") + 1);
}

// A value that long: the setup's folder, then one long one.
std::wstring Long(size_t length) { return L"C:\\VS6\\bin;C:\\" + std::wstring(length - 14, L'x'); }

TEST(PathProof, SaysWhatItLeavesOutAndWhy)
{
    MakeFolders();
    const std::wstring vc = OLD L"VC98\\bin", huge = L"C:\\" + std::wstring(33000, L'x');
    const struct {
        const char *label;
        Values old, now, expected;   // path, include, lib, MSDevDir
        bool inDocuments;
        DWORD exitCode;
        std::vector<std::wstring> said;   // in the last box
    } rows[] = {
        {"in Documents, without MSDevDir, folders compared as the system compares them",
         {L"%SystemRoot%\\System32\\;C:\\TOOLS\\bin;C:\\Tools\\Bin\\;" + vc, L"C:\\SDK\\Include", L"missing", L"missing"},
         {L"E|C:\\windows\\system32;c:\\tools\\bin\\", L"missing", L"C:\\VS6\\lib", L"missing"},
         {L"E|C:\\windows\\system32;c:\\tools\\bin\\;" + vc, L"C:\\SDK\\Include", L"C:\\VS6\\lib", L"missing"}, true, 0,
         {texts::kDone}},
        {"MSDevDir two levels below a drive's root", {vc, L"missing", L"missing", L"C:\\Program Files\\MSDev98"},
         {L"C:\\VS6\\bin;", L"missing", L"missing", L"missing"},
         {L"C:\\VS6\\bin;" + vc, L"missing", L"missing", L"missing"}, false, 0, {texts::kDone}},
        {"values Windows takes no more of", {L"C:\\Tools\\bin", L"C:\\SDK\\Include", L"C:\\SDK\\Lib", L"missing"},
         {Long(32760), L"M|C:\\VS6\\include", Long(40000), L"missing"},
         {Long(32760), L"M|C:\\VS6\\include", Long(40000), L"missing"}, false, 2,
         {L"\r\npath 不会修改：添加后会超过 Windows 允许的环境变量长度（32767 个字符）。\r\n",
          L"\r\ninclude 不会修改：它现在的值不是文本。\r\n", L"\r\nlib 不会修改：添加后会超过"}},
        {"one value too long, the others added", {L"C:\\Tools\\bin", L"C:\\SDK\\Include", huge + L";C:\\SDK\\Lib", L"missing"},
         {Long(40000), L"C:\\VS6\\include", L"C:\\VS6\\lib", L"missing"},
         {Long(40000), L"C:\\VS6\\include;C:\\SDK\\Include", L"C:\\VS6\\lib;C:\\SDK\\Lib", L"missing"}, false, 2,
         {texts::kDone + std::wstring(texts::kNotAll)}},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.label);
        std::wstring file = BackUp(row.old);
        ASSERT_FALSE(file.empty());
        const std::wstring moved = Folder(CSIDL_PERSONAL) + file.substr(file.rfind(L'\\'));
        ASSERT_TRUE(!row.inDocuments || MoveFileW(file.c_str(), moved.c_str()));
        row.now.Write();
        Outcome r = Drive(L"brisvane-path.exe");
        EXPECT_EQ(row.exitCode, r.exitCode);
        EXPECT_EQ(AsRead(row.expected), Read());
        ASSERT_FALSE(r.boxes.empty());
        EXPECT_EQ(0u, r.boxes[0].find(L"备份文件：" + (row.inDocuments ? moved : file) + L"\r\n"));
        for (const std::wstring &said : row.said)
            EXPECT_NE(std::wstring::npos, r.boxes.back().find(said)) << harness::ToUtf8(r.boxes.back().substr(0, 500));
    }
    // Files it does not take for a backup, given on its command line, and
    // none on the desktop or in Documents: nothing changes.
    RemoveBackups();
    const std::wstring header = L"\uFEFFWindows Registry Editor Version 5.00\r\n",
                       intro = header + backup::texts::kFileIntro + L"2026-12-09 12:00:00" + backup::texts::kFileIntroEnd,
                       section = intro + L"\r\n[HKEY_CURRENT_USER\\Environment]\r\n", notBackup = texts::kNotBackup,
                       nothing = texts::kNothing;
    const struct {
        const char *label;
        std::wstring text;   // the file's, or "none" for no file
        DWORD exitCode;
        std::wstring said;
    } files[] = {
        {"not a .reg file", L"path=C:\\Tools", 2, notBackup},
        {"another program's .reg file", header + L"\r\n[HKEY_CURRENT_USER\\Environment]\r\n\"path\"=\"C:\\\\A\"\r\n", 2,
         notBackup},
        {"a backup without environment values", intro, 0, nothing},
        {"a backup of values that are not text",
         section + L"\"lib\"=dword:00000001\r\n\"include\"=hex:43,00\r\n\"path\"=hex(7):43,00,00,00,00,00\r\n", 0, nothing},
        {"a name without its closing quote", section + L"\"path\r\n", 2, notBackup},
        {"a name without data", section + L"\"path\"\r\n", 2, notBackup},
        {"text without its closing quote", section + L"\"path\"=\"C:\\\\A\r\n", 2, notBackup},
        {"data in no form regedit writes", section + L"\"path\"=text:C\r\n", 2, notBackup},
        {"a type without its end", section + L"\"path\"=hex(2\r\n", 2, notBackup},
        {"a digit that is not hex", section + L"\"path\"=hex(2):4g,00\r\n", 2, notBackup},
        {"more after the data", section + L"\"path\"=\"C:\\\\A\"x\r\n", 2, notBackup},
        {"a file that is not there", L"none", 2, SystemWords(ERROR_FILE_NOT_FOUND)},
        {"no backup on the desktop or in Documents", L"", 2, texts::kNoBackup},
    };
    Reinstalled().Write();
    for (const auto &f : files) {
        SCOPED_TRACE(f.label);
        const std::wstring file = harness::PathBeside(L"not-a-backup.reg");
        DeleteFileW(file.c_str());
        std::ofstream(file.c_str(), std::ios::binary).write(reinterpret_cast<const char *>(f.text.data()), f.text.size() * 2);
        if (f.text == L"none")
            DeleteFileW(file.c_str());
        Outcome r = Drive(L"brisvane-path.exe", f.text.empty() ? L"" : L"\"" + file + L"\"");
        EXPECT_EQ(f.exitCode, r.exitCode);
        EXPECT_EQ(AsRead(Reinstalled()), Read());
        ASSERT_EQ(1u, r.boxes.size());
        EXPECT_NE(std::wstring::npos, r.boxes[0].find(f.said)) << harness::ToUtf8(r.boxes[0]);
    }
    harness::RemoveAll();
}

// SQLite's fault simulation over the answer 是: each failure of each call it
// makes, once and from then on. No value may be left other than as the
// setup wrote it or as the clean run leaves it, and exit 0 must mean the
// latter for all three; any other end says why, in the system's words.
TEST(PathProof, KeepsItsWordUnderEverySingleFault)
{
    MakeFolders();
    ASSERT_FALSE(BackUp(Before()).empty());
    Reinstalled().Write();
    harness::Counts counts;
    ASSERT_EQ(0u, Drive(L"brisvane-path.exe", L"", IDYES, {}, &counts).exitCode);
    ASSERT_EQ(AsRead(After()), Read());
    auto run = [](const harness::Fault &fault, harness::Counts &made) -> std::string {
        Reinstalled().Write();
        const Outcome r = Drive(L"brisvane-path.exe", L"", IDYES, fault, &made);
        const std::vector<std::wstring> now = Read(), before = AsRead(Reinstalled()), after = AsRead(After());
        for (size_t i = 0; i < now.size(); ++i)
            if (now[i] != before[i] && now[i] != after[i])
                return "it left " + harness::ToUtf8(kNames[i]) + " changed in part: " + harness::ToUtf8(now[i]);
        const bool shown = !r.boxes.empty(), boxless = fault.functions == "MessageBoxW";
        const DWORD code = harness::CodeOf(fault);
        if (!r.started || r.exitCode > 2)
            return r.started ? "exit code " + std::to_string(r.exitCode) + ": a crash or a hang" : "it did not start";
        if (made.count("injected") && made.at("injected") == 0)
            return "the fault was never made";
        if (r.exitCode != 2)
            return now == after && r.exitCode == 0 ? "" : "exit " + std::to_string(r.exitCode) + ", values not all added";
        if (!shown && !boxless)
            return "exit 2 without a box";
        if (shown && r.boxes.back() == texts::kDone)
            return "exit 2, but the box says it added everything";
        const bool words = code == ERROR_ACCESS_DENIED && fault.functions.find("FormatMessageW") == std::string::npos;
        return !words || r.boxes.back().find(SystemWords(code)) != std::wstring::npos
                   ? ""
                   : "the box does not give the system's words: " + harness::ToUtf8(r.boxes.back());
    };
    for (const std::string &breach : harness::RunSingleFaults(counts, harness::kPath, nullptr, run))
        ADD_FAILURE() << breach;
    RemoveBackups();
    harness::RemoveAll();
}

} // namespace path_proof
