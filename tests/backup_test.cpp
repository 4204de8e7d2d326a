// The backup's proof: seed the footprint, snapshot, back up, make a confirmed
// cleanup run, import the file with the regedit a double-click starts, and
// snapshot again. Both views must be as they were, but for exactly what the
// backup reported it could not carry, and for what changed after the backup.
// The random part of the footprint is drawn from a seed, printed on failure;
// BRISVANE_SEED=N replays one.
#include "harness/faults.h"
#include "harness/program.h"
#include "harness/snapshot.h"

#include <gtest/gtest.h>
#include <shlobj.h>

#include <algorithm>
#include <ctime>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>

namespace {

struct Backup {
    DWORD exitCode = ~0u;
    std::wstring message, file;
    std::vector<std::string> missed;   // snapshot entries, and prefixes of them, not carried
};

// A comment's text with its escapes (%0D, %0A, %22, %25) undone.
std::wstring Unescaped(std::wstring text)
{
    for (auto [code, c] : {std::pair{L"%0D", L'\r'}, {L"%0A", L'\n'}, {L"%22", L'"'}, {L"%25", L'%'}})
        for (size_t at; (at = text.find(code)) != std::wstring::npos;)
            text.replace(at, 3, 1, c);
    return text;
}

std::string Bytes(const std::wstring &file)
{
    std::ifstream in(file.c_str(), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

std::wstring Text(const std::wstring &file)
{
    std::string bytes = Bytes(file);
    return std::wstring(reinterpret_cast<const wchar_t *>(bytes.data()), bytes.size() / 2);
}

// A key, or one of its values, that the file's head names as not carried.
struct Reported {
    std::wstring key, value;
    bool isValue = false;
};

std::vector<Reported> ReportedMissing(const std::wstring &text)
{
    std::vector<Reported> out;
    const std::wstring marker = L"; \u672a\u80fd\u5907\u4efd\uff08";  // "; 未能备份（"
    for (size_t at = 0; (at = text.find(L"\r\n" + marker, at)) != std::wstring::npos;) {
        size_t start = text.find(L"\uff09\uff1a[", at) + 3, end = text.find(L"\r\n", start);
        std::wstring item = text.substr(start, end - start);
        at = end;
        Reported r;
        r.isValue = item.back() == L'"';
        if (r.isValue) {
            size_t quote = item.find(L'"');
            r.value = Unescaped(item.substr(quote + 1, item.size() - quote - 2));
            item.resize(quote - 2);
        } else {
            item.pop_back();
        }
        r.key = Unescaped(item);
        out.push_back(r);
    }
    return out;
}

// The same in the snapshot's terms: "HKLM\path\" for a key and all below
// it, "HKLM\path\\:name=" for a value.
std::vector<std::string> Missed(const std::wstring &file)
{
    std::vector<std::string> out;
    for (const Reported &r : ReportedMissing(Text(file))) {
        std::string path = harness::ToUtf8(r.key);
        for (auto [from, to] : {std::pair{"HKEY_LOCAL_MACHINE", "HKLM"}, {"HKEY_CURRENT_USER", "HKCU"}})
            if (path.rfind(from, 0) == 0)
                path.replace(0, strlen(from), to);
        // The file names the 32-bit view as 64-bit regedit sees it.
        if (sizeof(void *) == 4 && path.rfind("HKLM\\", 0) == 0 && path.compare(13, 13, "\\Wow6432Node\\") == 0)
            path.erase(13, 12);
        out.push_back(r.isValue ? path + "\\\\:" + harness::ToUtf8(r.value) + "=" : path + "\\");
    }
    return out;
}

Backup RunBackup()
{
    Backup b;
    harness::Tool tool;
    if (!harness::StartTool(tool, L"", harness::Scaled(60000), L"brisvane-backup.exe"))
        return b;
    b.message = harness::BoxText(tool.dialog);
    size_t start = b.message.find(L"\r\n") + 2;
    b.file = b.message.substr(start, b.message.find(L"\r\n", start) - start);
    b.exitCode = harness::CloseTool(tool);
    b.missed = Missed(b.file);
    return b;
}

std::wstring Folder(int csidl)
{
    wchar_t path[MAX_PATH] = L"";
    SHGetFolderPathW(nullptr, csidl | CSIDL_FLAG_CREATE, nullptr, SHGFP_TYPE_CURRENT, path);
    return path;
}

// The backup's files in `folder`, whole or half-written.
std::vector<std::wstring> BackupFiles(const std::wstring &folder)
{
    std::vector<std::wstring> names;
    WIN32_FIND_DATAW found;
    HANDLE find = FindFirstFileW((folder + L"\\brisvane-backup-*").c_str(), &found);
    for (BOOL more = find != INVALID_HANDLE_VALUE; more; more = FindNextFileW(find, &found))
        names.push_back(found.cFileName);
    FindClose(find);
    return names;
}

// Earlier backups under each name that a backup started in the next
// `seconds` picks first.
std::vector<std::wstring> PlantEarlierBackups(const std::wstring &folder, DWORD seconds)
{
    std::vector<std::wstring> paths;
    for (time_t t = time(nullptr), end = t + seconds; t <= end; ++t) {
        wchar_t name[64];
        wcsftime(name, 64, L"\\brisvane-backup-%Y%m%d-%H%M%S.reg", localtime(&t));
        paths.push_back(folder + name);
        std::ofstream(paths.back().c_str(), std::ios::binary) << "an earlier backup";
    }
    return paths;
}

DWORD Regedit(const std::wstring &file)
{
    wchar_t windows[MAX_PATH];
    GetWindowsDirectoryW(windows, MAX_PATH);
    return harness::RunCommand(L"\"" + std::wstring(windows) + L"\\regedit.exe\" /s \"" + file + L"\"",
                             harness::Scaled(120000));
}

TEST(BackupProof, RestoresEverythingButWhatItReports)
{
    char text[16] = "";
    unsigned seed = GetEnvironmentVariableA("BRISVANE_SEED", text, sizeof text) ? unsigned(atoi(text)) : GetTickCount();
    SCOPED_TRACE("seed " + std::to_string(seed) + " (BRISVANE_SEED=" + std::to_string(seed) + " replays it)");
    static const struct {
        const char *label;
        int keysPerTree;
        const char *locked;   // a subkey the backup may not read, under row 3's tree
        int denied;           // how many of the desktop and Documents deny new files
        bool earlier;         // earlier backups hold the names it would pick first
        bool hard;            // with the hard cases, some of which no file can carry
        bool full;            // the desktop's disk fills as the file is written, where one is mounted
    } rows[] = {
        {"the full footprint, beside earlier backups", 20, nullptr, 0, true, true, false},
        {"a subkey it may not read", 3, "Branch0", 0, false, true, false},
        {"the desktop cannot be written", 3, nullptr, 1, false, false, false},
        {"neither folder can be written, the desktop's disk full", 3, nullptr, 2, false, false, true},
    };
    const std::wstring folders[] = {Folder(CSIDL_DESKTOPDIRECTORY), Folder(CSIDL_PERSONAL)};
    // Where tools/test could mount one (as root): a file system of 8 KiB,
    // which the file outgrows; elsewhere the desktop is denied by its DACL.
    wchar_t disk[MAX_PATH] = L"";
    GetEnvironmentVariableW(L"BRISVANE_SMALL_DISK", disk, MAX_PATH);
    for (const auto &row : rows) {
        SCOPED_TRACE(row.label);
        const bool onDisk = row.full && *disk;
        if (row.full)
            std::printf("backup proof, %s: %s\n", row.label, onDisk ? "a small disk" : "no small disk, a DACL");
        harness::SeedAll(row.keysPerTree, seed, row.hard);
        // Nothing to restore where no file can be written.
        std::set<std::string> before = row.denied < 2 ? harness::Reach() : std::set<std::string>();
        std::unique_ptr<harness::DesktopMoved> moved;
        if (onDisk)
            moved = std::make_unique<harness::DesktopMoved>(disk);
        const std::wstring where[] = {Folder(CSIDL_DESKTOPDIRECTORY), folders[1]};
        const harness::KeyPath &tree = harness::kFootprintTrees[2];
        std::string locked = row.locked ? std::string(tree.path) + "\\" + row.locked : "";
        std::unique_ptr<harness::RestrictedKey> lock;
        if (row.locked) {
            lock = std::make_unique<harness::RestrictedKey>(tree.root, locked.c_str(), 0);
            ASSERT_TRUE(lock->ok());
        }
        std::unique_ptr<harness::RestrictedFolder> denied[2];
        for (int i = onDisk; i < row.denied; ++i) {
            denied[i] = std::make_unique<harness::RestrictedFolder>(where[i]);
            ASSERT_TRUE(denied[i]->ok()) << harness::ToUtf8(where[i]);
        }
        std::vector<std::wstring> kept[2] = {BackupFiles(where[0]), BackupFiles(where[1])};
        std::vector<std::wstring> earlier;
        if (row.earlier)
            earlier = PlantEarlierBackups(where[0], harness::Scaled(30000) / 1000);
        Backup b = RunBackup();
        lock.reset();
        denied[0].reset();
        denied[1].reset();
        moved.reset();
        for (const std::wstring &file : earlier) {
            EXPECT_TRUE(Bytes(file) == "an earlier backup") << harness::ToUtf8(file) << " was overwritten";
            DeleteFileW(file.c_str());
        }
        if (row.denied == 2) { // no file, none half-written, and the box says why
            EXPECT_EQ(2u, b.exitCode) << harness::ToUtf8(b.message);
            EXPECT_EQ(0u, b.message.find(L"\u672a\u80fd\u5199\u5165")) << harness::ToUtf8(b.message); // "未能写入"
            for (int i = 0; i < 2; ++i) {
                EXPECT_NE(std::wstring::npos, b.message.find(where[i])) << harness::ToUtf8(b.message);
                EXPECT_EQ(kept[i], BackupFiles(where[i])) << harness::ToUtf8(where[i]);
            }
            // The disk did fill: the box gives the system's own words for it.
            wchar_t full[256] = L"";
            FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, ERROR_DISK_FULL, 0,
                           full, 256, nullptr);
            std::wstring words(full);
            words.erase(words.find_last_not_of(L"\r\n") + 1);
            EXPECT_FALSE(words.empty());
            EXPECT_EQ(onDisk, !words.empty() && b.message.find(words) != std::wstring::npos)
                << harness::ToUtf8(b.message);
            harness::RemoveAll();
            continue;
        }
        // On the desktop, else in Documents, and beside the earlier backups.
        const std::wstring expected = where[row.denied] + L"\\brisvane-backup-";
        ASSERT_EQ(expected, b.file.substr(0, expected.size())) << harness::ToUtf8(b.message);
        EXPECT_EQ(row.denied != 0, b.message.find(L"\uff08" + where[0] + L"\uff09") != std::wstring::npos)
            << "why not on the desktop: " << harness::ToUtf8(b.message);
        EXPECT_EQ(row.earlier, b.file.substr(b.file.size() - 6) == L"-2.reg") << harness::ToUtf8(b.file);
        // Each environment value that one line can show as text, shown above its own line.
        const std::wstring text = Text(b.file);
        for (size_t i = 0; i < std::size(harness::kEnvironmentTargets); ++i) {
            const std::wstring name = harness::FromGbk(harness::kEnvironmentTargets[i]);
            const char *readable = harness::kEnvironmentSeeds[i].readable;
            EXPECT_EQ(readable != nullptr, text.find(L"\r\n; " + name + L"=") != std::wstring::npos)
                << harness::ToUtf8(name);
            if (readable) {
                EXPECT_NE(std::wstring::npos, text.find(L"\r\n; " + name + L"=" + harness::FromGbk(readable) +
                                                        L"\r\n\"" + name + L"\"="))
                    << readable;
            }
        }
        // The chain of keys deeper than regedit can name is never carried.
        EXPECT_EQ(row.hard ? 1u : 0u, b.exitCode) << harness::ToUtf8(b.message);
        if (row.locked) { // named in the message and in the file
            EXPECT_NE(std::wstring::npos, b.message.find(harness::FromGbk(std::string("\\") + row.locked + "]")))
                << harness::ToUtf8(b.message);
            EXPECT_NE(b.missed.end(), std::find(b.missed.begin(), b.missed.end(),
                                                harness::RootName(tree.root) + "\\" + locked + "\\"));
        }
        // Changed after the backup, and not the backup's to put back.
        SHSetValueA(HKEY_CURRENT_USER, "Environment", harness::kBystanderValues[0], REG_SZ, "changed", 8);
        const std::string environment = "HKCU\\Environment";
        for (auto entry = before.begin(); entry != before.end();)
            entry = entry->rfind(environment, 0) == 0 ? before.erase(entry) : std::next(entry);
        before.merge(harness::Snapshot(HKEY_CURRENT_USER, "Environment"));

        harness::RunResult run = harness::ConfirmedRun();
        ASSERT_TRUE(run.ok) << run.error;
        EXPECT_EQ(0u, Regedit(b.file));
        harness::Difference d = harness::Compare(before, harness::Reach(), b.missed);
        auto first = [](const std::vector<std::string> &v) { return v.empty() ? "" : v.front().substr(0, 300); };
        EXPECT_TRUE(d.added.empty()) << d.added.size() << " entries appeared, first: " << first(d.added);
        EXPECT_TRUE(d.wronglyRemoved.empty()) << d.wronglyRemoved.size()
                                              << " entries not restored, first: " << first(d.wronglyRemoved);
        std::printf("backup proof, %s: %u registry entries, %u left out as reported (%u reports)\n", row.label,
                    unsigned(before.size()), unsigned(d.removed.size()), unsigned(b.missed.size()));
        if (!::testing::Test::HasFailure())
            DeleteFileW(b.file.c_str());
        else
            std::printf("the backup is kept: %s\n", harness::ToUtf8(b.file).c_str());
        harness::RemoveAll();
    }
}

// A .reg file's keys and values, one entry each: a key's path, with the
// empty string for the key itself, or with a value's line and the lines
// that continue it. Comments are left out.
using Entry = std::pair<std::wstring, std::wstring>;
std::set<Entry> Entries(const std::wstring &text)
{
    std::set<Entry> entries;
    std::wstring key, value;
    for (size_t at = 0; at < text.size();) {
        size_t end = std::min(text.find(L"\r\n", at), text.size());
        std::wstring line = text.substr(at, end - at);
        at = end + 2;
        if (!value.empty() && line.rfind(L"  ", 0) == 0)
            value += line;
        else if (!line.empty() && (line[0] == L'"' || line[0] == L'@'))
            value = line;
        else if (line.size() > 1 && line[0] == L'[' && line.back() == L']')
            entries.insert({key = line.substr(1, line.size() - 2), L""});
        if (!value.empty() && value.back() != L'\\') {
            entries.insert({key, value});
            value.clear();
        }
    }
    return entries;
}

// The name a value line gives, its escapes undone; empty for "@".
std::wstring ValueName(const std::wstring &line)
{
    std::wstring name;
    for (size_t i = 1; line[0] == L'"' && i < line.size() && line[i] != L'"'; ++i)
        name += line[i] == L'\\' ? line[++i] : line[i];
    return name;
}

bool SamePath(const std::wstring &a, const std::wstring &b)
{
    return CompareStringW(LOCALE_INVARIANT, NORM_IGNORECASE, a.data(), int(a.size()), b.data(), int(b.size())) ==
           CSTR_EQUAL;
}

// Whether `entry` of a clean run's file is in `entries`, or lies under a key,
// or is a value, that the file's head names as not carried. A key that only
// holds values named there (the environment's) is accounted for by them.
bool Accounted(const Entry &entry, const std::set<Entry> &entries, const std::vector<Reported> &missed)
{
    if (entries.count(entry))
        return true;
    const auto &[key, line] = entry;
    for (const Reported &m : missed) {
        bool under = key.size() > m.key.size() && key[m.key.size()] == L'\\' &&
                     SamePath(key.substr(0, m.key.size()), m.key);
        bool same = SamePath(key, m.key);
        if (under || (same && (!m.isValue || line.empty() || ValueName(line) == m.value)))
            return true;
    }
    return false;
}

// The file as read, but for the opening comment's time stamp.
std::wstring Unstamped(const std::wstring &file)
{
    std::wstring text = Text(file);
    size_t at = text.find(L"\r\n; Brisvane \u5907\u4efd\uff1a");  // "; Brisvane 备份："
    if (at != std::wstring::npos)
        text.erase(at, text.find(L"\r\n", at + 2) - at);
    return text;
}

// The backup's calls that a user's machine can fail, as the injector names them.
const std::vector<const char *> kBackupCalls = {
    "RegOpenKeyExW", "RegQueryInfoKeyW", "RegEnumKeyExW", "RegEnumValueW", "HeapAlloc",       "HeapReAlloc",
    "CreateFileW",   "WriteFile",        "FlushFileBuffers", "MoveFileW",  "SHGetFolderPathW"};

struct FaultRun {
    DWORD exitCode = ~0u;
    bool started = false, hung = false;
    std::wstring message;
    std::vector<std::wstring> added;   // new files in the desktop and Documents
    std::map<std::string, unsigned> counts;   // the calls made, and how many were failed
};

FaultRun RunUnder(const harness::Fault &fault, const std::wstring (&folders)[2])
{
    FaultRun r;
    std::vector<std::wstring> before[2] = {BackupFiles(folders[0]), BackupFiles(folders[1])};
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    const std::wstring counts = std::wstring(temp) + L"brisvane-fault-counts.txt";
    {
        harness::Tool tool;
        harness::Expect expect;
        expect.fault = &fault;
        expect.counts = counts.c_str();
        if (harness::StartTool(tool, L"", harness::Scaled(60000), L"brisvane-backup.exe", expect)) {
            r.message = harness::BoxText(tool.dialog);
            r.exitCode = harness::CloseTool(tool);
            r.hung = r.exitCode == ~0u;
        } else if (tool.process.hProcess && WaitForSingleObject(tool.process.hProcess, 0) == WAIT_OBJECT_0) {
            GetExitCodeProcess(tool.process.hProcess, &r.exitCode);
        } else {
            r.hung = tool.process.hProcess != nullptr;
        }
        r.started = tool.process.hProcess != nullptr || r.exitCode != ~0u;
    }
    r.counts = harness::ReadCounts(counts);
    DeleteFileW(counts.c_str());
    for (int i = 0; i < 2; ++i)
        for (const std::wstring &name : BackupFiles(folders[i]))
            if (std::find(before[i].begin(), before[i].end(), name) == before[i].end())
                r.added.push_back(folders[i] + L"\\" + name);
    return r;
}

// What is wrong with a run under a fault, if anything: a crash or a hang, a
// box that says otherwise than the exit code, or a file that lost what the
// clean run's file holds without saying so.
std::string Breach(const FaultRun &r, const std::wstring &clean, const std::set<Entry> &cleanEntries)
{
    if (!r.started)
        return "it did not start with the injector in it";
    if (r.hung)
        return "it did not end by itself: a hang";
    if (r.exitCode > 2)
        return "exit code " + std::to_string(r.exitCode) + ": a crash";
    if (r.message.empty())
        return "exit " + std::to_string(r.exitCode) + " without a box";
    if (r.counts.count("injected") && r.counts.at("injected") == 0)
        return "the fault was never made";
    const std::wstring saved = L"\u5907\u4efd\u6587\u4ef6\u5df2\u4fdd\u5b58\u5230\uff1a\r\n";  // "备份文件已保存到："
    const std::wstring someMissed = L"\u4ee5\u4e0b\u5185\u5bb9\u672a\u80fd\u5907\u4efd";       // "以下内容未能备份"
    if (r.exitCode == 2) {
        if (!r.added.empty())
            return "exit 2, but it left " + harness::ToUtf8(r.added[0]);
        if (r.message.rfind(saved, 0) == 0)
            return "exit 2, but the box says the file was saved";
        return "";
    }
    bool saysMissed = r.message.find(someMissed) != std::wstring::npos;
    if (r.message.rfind(saved, 0) != 0 || saysMissed != (r.exitCode == 1))
        return "exit " + std::to_string(r.exitCode) + ", but the box says: " + harness::ToUtf8(r.message.substr(0, 200));
    if (r.added.size() != 1 || r.message.find(r.added[0]) != saved.size())
        return std::to_string(r.added.size()) + " new files, the first " +
               (r.added.empty() ? "none" : harness::ToUtf8(r.added[0])) + ", for one named in the box";
    std::wstring text = Text(r.added[0]);
    std::vector<Reported> missed = ReportedMissing(text);
    if (r.exitCode == 0 && !missed.empty())
        return "exit 0, but the file names what it leaves out";
    if (r.exitCode == 0)
        return Unstamped(r.added[0]) == clean ? "" : "exit 0, but the file differs from the clean run's";
    auto named = [](const Entry &e) { return harness::ToUtf8(L"[" + e.first.substr(0, 150) + L"]" + e.second.substr(0, 100)); };
    std::set<Entry> entries = Entries(text);
    for (const Entry &entry : cleanEntries)
        if (!Accounted(entry, entries, missed))
            return "exit 1, but the file lacks, unreported: " + named(entry);
    for (const Entry &entry : entries)
        if (!cleanEntries.count(entry))
            return "exit 1, and the file holds what the clean run's does not: " + named(entry);
    return "";
}

// SQLite's fault simulation over the backup: each call of each function that
// can fail is failed once, then from that call on, over a small footprint
// with the hard cases. A run must end by itself, say what its exit code
// says, and keep the promise of that code.
TEST(BackupProof, KeepsItsWordUnderEverySingleFault)
{
    char text[16] = "";
    unsigned seed = GetEnvironmentVariableA("BRISVANE_SEED", text, sizeof text) ? unsigned(atoi(text)) : GetTickCount();
    SCOPED_TRACE("seed " + std::to_string(seed) + " (BRISVANE_SEED=" + std::to_string(seed) + " replays it)");
    const std::wstring folders[2] = {Folder(CSIDL_DESKTOPDIRECTORY), Folder(CSIDL_PERSONAL)};
    harness::SeedAll(1, seed, true, true);
    FaultRun clean = RunUnder(harness::Fault{}, folders);
    // The hard cases hold what no file can carry, and say so.
    ASSERT_EQ(1u, clean.exitCode) << harness::ToUtf8(clean.message);
    ASSERT_EQ(1u, clean.added.size()) << harness::ToUtf8(clean.message);
    const std::wstring cleanText = Unstamped(clean.added[0]);
    const std::set<Entry> cleanEntries = Entries(Text(clean.added[0]));
    DeleteFileW(clean.added[0].c_str());
    for (const std::string &breach :
         harness::RunSingleFaults(clean.counts, kBackupCalls, nullptr, [&](const harness::Fault &fault) {
             FaultRun r = RunUnder(fault, folders);
             std::string why = Breach(r, cleanText, cleanEntries);
             for (const std::wstring &file : r.added)
                 DeleteFileW(file.c_str());
             return why;
         }))
        ADD_FAILURE() << breach;
    harness::RemoveAll();
}

} // namespace
