// The backup's proof: seed the footprint, snapshot, back up, make a confirmed
// cleanup run, import the file with the regedit a double-click starts, and
// snapshot again. Both views must be as they were, but for exactly what the
// backup reported it could not carry, and for what changed after the backup.
// The random part of the footprint is drawn from a seed, printed on failure;
// BRISVANE_SEED=N replays one.
#include "backup/texts.h"
#include "harness/denials.h"
#include "harness/program.h"
#include "harness/snapshot.h"

#include <gtest/gtest.h>
#include <shlobj.h>

#include <algorithm>
#include <ctime>
#include <fstream>
#include <iterator>
#include <memory>
#include <set>

namespace {

namespace texts = backup::texts;

// A comment's text with its escapes (%0D, %0A, %22, %25) undone.
std::wstring Unescaped(std::wstring text)
{
    for (auto [code, c] : {std::pair{L"%00", L'\0'}, {L"%0D", L'\r'}, {L"%0A", L'\n'}, {L"%22", L'"'}, {L"%25", L'%'}})
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
    const std::wstring marker = L"\r\n" + std::wstring(texts::kMissedLine), end = texts::kMissedLineEnd;
    for (size_t at = 0; (at = text.find(marker, at)) != std::wstring::npos;) {
        size_t start = text.find(end + L"[", at) + end.size() + 1, stop = text.find(L"\r\n", start);
        const std::wstring item = text.substr(start, stop - start);   // PATH] or PATH] "VALUE"
        at = stop;
        Reported r{L"", L"", item.back() == L'"'};
        const size_t quote = r.isValue ? item.find(L'"') : item.size() + 1;
        r.key = Unescaped(item.substr(0, quote - 2));
        if (r.isValue)
            r.value = Unescaped(item.substr(quote + 1, item.size() - quote - 2));
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

// The bytes of a value line in hex form: its "xx" pairs after "):".
std::string HexBytes(const std::wstring &line)
{
    std::string bytes;
    for (size_t at = line.find(L"):") + 2; at + 1 < line.size(); ++at)
        if (iswxdigit(line[at]) && iswxdigit(line[at + 1]))
            bytes += char(std::stoi(line.substr(at++, 2), nullptr, 16));
    return bytes;
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

// One run of the backup, with `fault` in it: how it ended, its box, the new
// files in the desktop and Documents, and the one the box names as saved
// (with its lists, or alone where the heap gave out after saving it).
struct BackupRun {
    DWORD exitCode = ~0u;
    bool started = false, hung = false;
    std::wstring message, file;
    std::vector<std::wstring> added;
};

BackupRun RunBackup(const harness::Fault &fault, harness::Counts &made)
{
    BackupRun r;
    const std::wstring folders[] = {Folder(CSIDL_DESKTOPDIRECTORY), Folder(CSIDL_PERSONAL)};
    std::vector<std::wstring> before[2] = {BackupFiles(folders[0]), BackupFiles(folders[1])};
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    const std::wstring counts = std::wstring(temp) + L"brisvane-fault-counts.txt";
    {
        harness::Program tool;
        const harness::StartOptions options{nullptr, true, &fault, counts.c_str()};
        if (harness::StartProgram(tool, L"", harness::Scaled(60000), L"brisvane-backup.exe", options)) {
            r.message = harness::BoxText(tool.dialog);
            r.exitCode = harness::CloseProgram(tool);
            r.hung = r.exitCode == ~0u;
        } else if (tool.process.hProcess && WaitForSingleObject(tool.process.hProcess, 0) == WAIT_OBJECT_0) {
            GetExitCodeProcess(tool.process.hProcess, &r.exitCode);
        } else {
            r.hung = tool.process.hProcess != nullptr;
        }
        r.started = tool.process.hProcess != nullptr || r.exitCode != ~0u;
    }
    made = harness::ReadCounts(counts);
    DeleteFileW(counts.c_str());
    for (int i = 0; i < 2; ++i)
        for (const std::wstring &name : BackupFiles(folders[i]))
            if (std::find(before[i].begin(), before[i].end(), name) == before[i].end())
                r.added.push_back(folders[i] + L"\\" + name);
    for (std::wstring saved : {texts::kSaved + std::wstring(L"\r\n"), std::wstring(texts::kOutOfMemorySaved)})
        if (r.message.rfind(saved, 0) == 0)
            r.file = r.message.substr(saved.size(), r.message.find(L"\r\n", saved.size()) - saved.size());
    return r;
}

// What Windows says of an error code, on one line.
std::wstring SystemWords(DWORD code)
{
    wchar_t words[256] = L"";
    FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0, words, 256, nullptr);
    std::wstring text(words);
    return text.erase(text.find_last_not_of(L"\r\n ") + 1);
}

unsigned Seed()
{
    char text[16] = "";
    return GetEnvironmentVariableA("BRISVANE_SEED", text, sizeof text) ? unsigned(atoi(text)) : GetTickCount();
}

TEST(BackupProof, RestoresEverythingButWhatItReports)
{
    const unsigned seed = Seed();
    SCOPED_TRACE("seed " + std::to_string(seed) + " (BRISVANE_SEED=" + std::to_string(seed) + " replays it)");
    enum Seeded { kNothing, kValuesOnly, kTrees };
    static const struct {
        const char *label;
        Seeded seeded;
        int keysPerTree;
        const char *locked;   // a key the backup may not read: under row 3's tree, or "Environment"
        int denied;           // how many of the desktop and Documents deny new files
        bool earlier;         // earlier backups hold the names it would pick first
        bool hard;            // with the hard cases, some of which no file can carry
        bool full;            // the desktop's disk fills as the file is written, where one is mounted
        bool longPath;        // the user's path several KiB long
        DWORD exitCode;
        bool tooLarge = false;      // row 3's tree holds a value the heap has no room for
        bool unterminated = false;  // the long path without its terminating NUL
        bool deep = false;          // the desktop's path leaves room for the file's name alone
    } rows[] = {
        // The desktop moved to a small disk last: Windows keeps the moved
        // path in its cache of folders (Shell Folders) until it is asked again.
        {"the full footprint, beside earlier backups", kTrees, 20, nullptr, 0, true, true, false, false, 1},
        {"a subkey it may not read, a value too large for memory", kTrees, 3, "Branch0", 0, false, false, false, false, 1, true},
        {"the environment values alone, the desktop deep", kValuesOnly, 0, nullptr, 0, false, false, false, true, 0, false, false, true},
        {"no tree, the environment key unreadable", kValuesOnly, 0, "Environment", 0, false, false, false, false, 1},
        {"nothing at all", kNothing, 0, nullptr, 0, false, false, false, false, 0},
        {"the desktop cannot be written, path without its NUL", kTrees, 3, nullptr, 1, false, false, false, true, 1, false, true},
        {"neither folder can be written, the desktop's disk full", kTrees, 3, nullptr, 2, false, false, true, false, 2},
    };
    // Where tools/test could mount one (as root): a file system of 8 KiB,
    // which the file outgrows; elsewhere the desktop is denied by its DACL.
    wchar_t disk[MAX_PATH] = L"", windows[MAX_PATH] = L"";
    GetEnvironmentVariableW(L"BRISVANE_SMALL_DISK", disk, MAX_PATH);
    GetWindowsDirectoryW(windows, MAX_PATH);
    for (const auto &row : rows) {
        SCOPED_TRACE(row.label);
        const bool onDisk = row.full && *disk;
        if (row.full)
            std::printf("backup proof, %s: %s\n", row.label, onDisk ? "a small disk" : "no small disk, a DACL");
        harness::SeedAll(row.keysPerTree, seed, row.hard);
        for (const harness::KeyPath &tree : harness::kFootprintTrees)
            if (row.seeded != kTrees)
                SHDeleteKeyA(tree.root, tree.path);
        std::string readable[std::size(harness::kEnvironmentTargets)];
        for (size_t i = 0; i < std::size(readable); ++i) {
            readable[i] = harness::kEnvironmentSeeds[i].readable ? harness::kEnvironmentSeeds[i].readable : "";
            if (row.seeded == kNothing)
                SHDeleteValueA(HKEY_CURRENT_USER, "Environment", harness::kEnvironmentTargets[i]);
            // A user's path is often longer than a first guess at a buffer.
            while (row.longPath && i == 1 && readable[i].size() < 6000)
                readable[i] += ";C:\\Tools\\" + std::to_string(readable[i].size());
            // Without its NUL where none follows it either: Windows would count it in.
            const std::string data = row.unterminated ? readable[i] + "!" : readable[i];
            if (row.longPath && i == 1)
                SHSetValueA(HKEY_CURRENT_USER, "Environment", harness::kEnvironmentTargets[i], REG_EXPAND_SZ,
                            data.c_str(), DWORD(readable[i].size() + !row.unterminated));
        }
        const harness::KeyPath &tree = harness::kFootprintTrees[2];
        const std::string large(1 << 20, 'L');
        if (row.tooLarge)
            SHSetValueA(tree.root, tree.path, "Large", REG_BINARY, large.data(), DWORD(large.size()));
        // Nothing to restore where no file can be written, or nothing was there.
        std::set<std::string> before =
            row.denied < 2 && row.seeded != kNothing ? harness::FootprintEntries() : std::set<std::string>();
        // As Windows counts a path, MAX_PATH with its NUL: room for
        // "\brisvane-backup-YYYYMMDD-HHMMSS.reg" and no more.
        wchar_t deep[MAX_PATH] = L"";
        GetTempPathW(MAX_PATH, deep);
        wcscat(deep, std::wstring(MAX_PATH - 1 - 36 - wcslen(deep), L'd').c_str());
        if (row.deep)
            CreateDirectoryW(deep, nullptr);
        auto moved = onDisk || row.deep ? std::make_unique<harness::DesktopMoved>(onDisk ? disk : deep) : nullptr;
        const std::wstring where[] = {Folder(CSIDL_DESKTOPDIRECTORY), Folder(CSIDL_PERSONAL)};
        const bool environment = row.locked && !strcmp(row.locked, "Environment");
        std::string locked = environment ? row.locked : row.locked ? std::string(tree.path) + "\\" + row.locked : "";
        std::unique_ptr<harness::RestrictedKey> lock;
        if (row.locked)
            lock = std::make_unique<harness::RestrictedKey>(environment ? HKEY_CURRENT_USER : tree.root,
                                                            locked.c_str(), 0);
        ASSERT_TRUE(!lock || lock->ok());
        std::unique_ptr<harness::RestrictedFolder> denied[2];
        for (int i = onDisk; i < row.denied; ++i) {
            denied[i] = std::make_unique<harness::RestrictedFolder>(where[i]);
            ASSERT_TRUE(denied[i]->ok()) << harness::ToUtf8(where[i]);
        }
        std::vector<std::wstring> kept[2] = {BackupFiles(where[0]), BackupFiles(where[1])};
        const std::vector<std::wstring> earlier =
            row.earlier ? PlantEarlierBackups(where[0], harness::Scaled(30000) / 1000) : std::vector<std::wstring>();
        harness::Counts made;
        BackupRun b = RunBackup(row.tooLarge ? harness::Fault{"HeapAlloc", 1, true, 0, 1 << 19} : harness::Fault{}, made);
        const std::vector<std::string> missed = Missed(b.file);
        lock.reset();
        denied[0].reset();
        denied[1].reset();
        moved.reset();
        Folder(CSIDL_DESKTOPDIRECTORY);   // Windows' cache of folders (Shell Folders) forgets the moved one
        for (const std::wstring &file : earlier) {
            EXPECT_TRUE(Bytes(file) == "an earlier backup") << harness::ToUtf8(file) << " was overwritten";
            DeleteFileW(file.c_str());
        }
        EXPECT_EQ(row.exitCode, b.exitCode) << (b.started ? b.hung ? "it hung: " : "" : "it did not start: ")
                                            << harness::ToUtf8(b.message);
        // What the cleanup deletes unread is named, and the box says to wait.
        EXPECT_EQ(row.locked != nullptr, b.message.find(texts::kDoNotClean) != std::wstring::npos)
            << harness::ToUtf8(b.message);
        if (row.seeded == kNothing) { // nothing to save, and no file
            EXPECT_EQ(texts::kNothing, b.message);
            EXPECT_EQ(kept[0], BackupFiles(where[0]));
            continue;
        }
        if (row.denied == 2) { // no file, none half-written, and the box says why
            EXPECT_EQ(0u, b.message.find(texts::kNotWritten)) << harness::ToUtf8(b.message);
            for (int i = 0; i < 2; ++i) {
                EXPECT_NE(std::wstring::npos, b.message.find(where[i])) << harness::ToUtf8(b.message);
                EXPECT_EQ(kept[i], BackupFiles(where[i])) << harness::ToUtf8(where[i]);
            }
            // The disk did fill: the box gives the system's own words for it.
            const std::wstring words = SystemWords(ERROR_DISK_FULL);
            EXPECT_FALSE(words.empty());
            EXPECT_EQ(onDisk, !words.empty() && b.message.find(words) != std::wstring::npos)
                << harness::ToUtf8(b.message);
            continue;
        }
        // On the desktop, else in Documents, and beside the earlier backups.
        const std::wstring expected = where[row.denied] + L"\\brisvane-backup-";
        ASSERT_EQ(expected, b.file.substr(0, expected.size())) << harness::ToUtf8(b.message);
        EXPECT_EQ(row.denied != 0, b.message.find(L"\uff08" + where[0] + L"\uff09") != std::wstring::npos)
            << "why not on the desktop: " << harness::ToUtf8(b.message);
        EXPECT_EQ(row.earlier, b.file.substr(b.file.size() - 6) == L"-2.reg") << harness::ToUtf8(b.file);
        // Each environment value that one line can show as text, shown on a
        // comment line before the key's own line, outside its section.
        const std::wstring text = Text(b.file);
        EXPECT_EQ(std::wstring::npos, text.find(L'\0')) << "a NUL, where Windows' regedit ends the line";
        const size_t section = text.find(L"\r\n[HKEY_CURRENT_USER\\Environment]\r\n");
        for (size_t i = 0; i < std::size(readable); ++i) {
            const std::wstring line = L"\r\n; " + harness::FromGbk(harness::kEnvironmentTargets[i]) + L"=";
            const size_t at = text.find(line);
            EXPECT_EQ(!readable[i].empty() && !environment, at != std::wstring::npos) << readable[i];
            if (!readable[i].empty() && !environment) {
                EXPECT_EQ(at, text.find(line + harness::FromGbk(readable[i]) + L"\r\n")) << readable[i];
                EXPECT_TRUE(at < section && text.rfind(L"\r\n\r\n", section) < at) << readable[i];
            }
        }
        // Named in the message and in the file: what went unread, what is too
        // large for memory, and a value saved otherwise than it is.
        const std::pair<bool, std::string> named[] = {
            {row.locked != nullptr, environment ? "HKCU\\Environment\\\\:path=" : harness::RootName(tree.root) + "\\" + locked + "\\"},
            {row.tooLarge, harness::RootName(tree.root) + "\\" + tree.path + "\\\\:Large="},
            {row.unterminated, "HKCU\\Environment\\\\:path="},
        };
        for (const auto &[expected, entry] : named)
            if (expected)
                EXPECT_NE(missed.end(), std::find(missed.begin(), missed.end(), entry)) << entry;
        // That value at its exact bytes, with its readable line all the same.
        if (row.unterminated) {
            const std::wstring path = harness::FromGbk(readable[1]);
            size_t at = text.find(L"\r\n\"path\"=hex(2):"), end = at;
            ASSERT_NE(std::wstring::npos, at);
            while ((end = text.find(L"\r\n", end + 2)) != std::wstring::npos && text[end - 1] == L'\\') {
            }
            EXPECT_EQ(std::string(reinterpret_cast<const char *>(path.data()), path.size() * 2),
                      HexBytes(text.substr(at, end - at)));
        }
        // Changed after the backup, and not the backup's to put back.
        SHSetValueA(HKEY_CURRENT_USER, "Environment", harness::kBystanderValues[0], REG_SZ, "changed", 8);
        for (auto entry = before.begin(); entry != before.end();)
            entry = entry->rfind("HKCU\\Environment", 0) == 0 ? before.erase(entry) : std::next(entry);
        before.merge(harness::Snapshot(HKEY_CURRENT_USER, "Environment"));

        harness::RunResult run = harness::ConfirmedRun();
        ASSERT_TRUE(run.ok) << run.error;
        EXPECT_EQ(0u, harness::RunCommand(L"\"" + std::wstring(windows) + L"\\regedit.exe\" /s \"" + b.file + L"\"",
                                          harness::Scaled(120000)));
        harness::Difference d = harness::Compare(before, harness::FootprintEntries(), missed);
        auto first = [](const std::vector<std::string> &v) { return v.empty() ? "" : v.front().substr(0, 300); };
        EXPECT_TRUE(d.added.empty()) << d.added.size() << " entries appeared, first: " << first(d.added);
        EXPECT_TRUE(d.wronglyRemoved.empty()) << d.wronglyRemoved.size()
                                              << " entries not restored, first: " << first(d.wronglyRemoved);
        std::printf("backup proof, %s: %u registry entries, %u left out as reported (%u reports)\n", row.label,
                    unsigned(before.size()), unsigned(d.removed.size()), unsigned(missed.size()));
        if (!::testing::Test::HasFailure())
            DeleteFileW(b.file.c_str()), RemoveDirectoryW(deep);
        else
            std::printf("the backup is kept: %s\n", harness::ToUtf8(b.file).c_str());
    }
    harness::RemoveAll();   // each row's seeding starts from a clean slate
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
// or is a value, that `missed` names. A missed value accounts for itself
// alone, and for its key's line (the environment's section holds only
// those values).
bool Accounted(const Entry &entry, const std::set<Entry> &entries, const std::vector<Reported> &missed)
{
    if (entries.count(entry))
        return true;
    const auto &[key, line] = entry;
    for (const Reported &m : missed) {
        bool under = !m.isValue && key.size() > m.key.size() && key[m.key.size()] == L'\\' &&
                     SamePath(key.substr(0, m.key.size()), m.key);
        if (under || (SamePath(key, m.key) && (!m.isValue || line.empty() || ValueName(line) == m.value)))
            return true;
    }
    return false;
}

// The file as read, but for the opening comment's time stamp.
std::wstring Unstamped(const std::wstring &file)
{
    std::wstring text = Text(file);
    size_t at = text.find(texts::kFileIntro);
    if (at != std::wstring::npos)
        text.erase(at, text.find(L"\r\n", at + 2) - at);
    return text;
}

// The lines of one of the box's lists, "    ..." each, after its title.
std::vector<std::wstring> BoxList(const std::wstring &message, const wchar_t *title)
{
    std::vector<std::wstring> lines;
    size_t at = message.find(L"\r\n" + std::wstring(title) + L"\r\n");
    for (at = at == std::wstring::npos ? at : message.find(L"\r\n", at + 2) + 2;
         at != std::wstring::npos && message.compare(at, 4, L"    ") == 0;) {
        size_t end = message.find(L"\r\n", at);
        lines.push_back(message.substr(at + 4, end - at - 4));
        at = end == std::wstring::npos ? end : end + 2;
    }
    return lines;
}

// The file's comment lines after its head (which ends at its second blank
// line): each value's readable text.
std::set<std::wstring> Readable(const std::wstring &text)
{
    std::set<std::wstring> lines;
    size_t body = text.find(L"\r\n\r\n", text.find(L"\r\n\r\n") + 2);
    for (size_t at = body; (at = text.find(L"\r\n; ", at)) != std::wstring::npos; at += 2)
        lines.insert(text.substr(at + 2, text.find(L"\r\n", at + 2) - at - 2));
    return lines;
}

// The clean run, as the fault runs are held to it.
struct Clean {
    std::wstring text;               // its file, unstamped
    std::set<Entry> entries;
    std::set<std::wstring> readable;
    std::vector<std::wstring> found;  // the box's list of what is there
    std::wstring folder;              // where it was saved
};

// What is wrong with a run under a fault, if anything: a crash or a hang, a
// box that says otherwise than the exit code, a file left behind unnamed,
// or a file that lost what the clean run's file holds without saying so. A
// key "removed meanwhile" (an open that finds none) may be listed as
// absent; nothing else that exists may.
std::string Breach(const BackupRun &r, const harness::Fault &fault, const Clean &clean, const harness::Counts &made)
{
    const DWORD code = harness::CodeOf(fault);
    const bool removedMeanwhile = code == ERROR_FILE_NOT_FOUND;
    auto box = [&r](size_t chars) { return harness::ToUtf8(r.message.substr(0, chars)); };
    if (!r.started)
        return "it did not start with the injector in it";
    if (r.hung)
        return "it did not end by itself: a hang";
    if (r.exitCode > 2)
        return "exit code " + std::to_string(r.exitCode) + ": a crash";
    if (r.message.empty())
        return "exit " + std::to_string(r.exitCode) + " without a box";
    if (made.count("injected") && made.at("injected") == 0)
        return "the fault was never made";
    // A write or flush that failed is told in the system's own words.
    const bool written = fault.functions == "WriteFile" || fault.functions == "FlushFileBuffers";
    if (written && code != harness::kShortWrite && r.message.find(SystemWords(code)) == std::wstring::npos)
        return "the box does not give the system's words for the failure: " + box(300);
    const bool lists = r.message.rfind(texts::kSaved, 0) == 0;
    std::vector<std::wstring> files = r.added;
    files.erase(std::remove(files.begin(), files.end(), r.file), files.end());
    for (const std::wstring &left : files)
        if (r.message.find(texts::kTemporaryLeft + left) == std::wstring::npos)
            return "it left " + harness::ToUtf8(left) + " unnamed";
    if (r.exitCode == 2)
        return r.file.empty() ? "" : "exit 2, but the box says the file was saved";
    if (removedMeanwhile && r.exitCode == 0 && r.message == texts::kNothing && r.added.empty())
        return "";   // every key gone meanwhile
    if (r.file.empty() || r.added.size() != files.size() + 1)
        return "exit " + std::to_string(r.exitCode) + ", but the box names no new file: " + box(200);
    std::wstring text = Text(r.file);
    if (text.find(L'\0') != std::wstring::npos)
        return "a NUL in the file, where Windows' regedit ends the line";
    // A rename refused for a moment is tried again, not given up.
    if (fault.functions == "MoveFileExW" && code == ERROR_SHARING_VIOLATION && !fault.persistent &&
        r.file.substr(0, r.file.rfind(L'\\')) != clean.folder)
        return "a rename refused once gave up the desktop: " + box(300);
    std::vector<Reported> missed = ReportedMissing(text);
    if ((r.exitCode == 1) != !missed.empty())
        return "exit " + std::to_string(r.exitCode) + ", but the file names " + std::to_string(missed.size()) + " gaps";
    // The box and the file name the same gaps, and say to wait where one is unread.
    wchar_t count[128];
    swprintf(count, 128, texts::kMissed, unsigned(missed.size()));
    if (lists && !missed.empty() && r.message.find(count) == std::wstring::npos)
        return "the box does not count the file's " + std::to_string(missed.size()) + " gaps: " + box(300);
    bool unread = false;
    for (const wchar_t *reason : {texts::kUnreadable, texts::kSomeUnreadable, texts::kChanged, texts::kTooLarge})
        unread |= text.find(texts::kMissedLine + std::wstring(reason) + texts::kMissedLineEnd) != std::wstring::npos;
    if (lists && unread != (r.message.find(texts::kDoNotClean) != std::wstring::npos))
        return "the box does not say to wait exactly where something went unread";
    for (const std::wstring &line : BoxList(r.message, texts::kAbsent)) {
        if (std::none_of(clean.found.begin(), clean.found.end(), [&](const std::wstring &f) { return SamePath(f, line); }))
            continue;
        if (!removedMeanwhile)
            return "it lists as absent what is there: " + harness::ToUtf8(line);
        // As if removed: the key, or the value, accounts for what it held.
        const size_t in = line.find(texts::kInEnvironment);
        const bool isValue = in != std::wstring::npos;
        missed.push_back({line.substr(0, in), isValue ? line.substr(in + wcslen(texts::kInEnvironment)) : L"", isValue});
    }
    if (r.exitCode == 0 && !removedMeanwhile && Unstamped(r.file) != clean.text)
        return "exit 0, but the file differs from the clean run's";
    auto named = [](const Entry &e) { return harness::ToUtf8(L"[" + e.first.substr(0, 150) + L"]" + e.second.substr(0, 100)); };
    std::set<Entry> entries = Entries(text);
    for (const Entry &entry : clean.entries)
        if (!Accounted(entry, entries, missed))
            return "the file lacks, unreported: " + named(entry);
    for (const Entry &entry : entries)
        if (!clean.entries.count(entry))
            return "the file holds what the clean run's does not: " + named(entry);
    // A readable line for each environment value the file holds, as the clean run's.
    for (const std::wstring &line : Readable(text))
        if (!clean.readable.count(line))
            return "a comment line the clean run's file lacks: " + harness::ToUtf8(line);
    for (const std::wstring &line : clean.readable) {
        std::wstring value = L"\"" + line.substr(2, line.find(L'=') - 2) + L"\"=";
        bool held = std::any_of(entries.begin(), entries.end(), [&](const Entry &e) { return e.second.rfind(value, 0) == 0; });
        if (held != (Readable(text).count(line) == 1))
            return "the readable line does not match its value: " + harness::ToUtf8(line);
    }
    return "";
}

// SQLite's fault simulation over the backup: each failure of each call that
// can fail, once and from then on, over three small footprints whose
// outcomes differ: the trees with the hard cases and a registry link; the
// four values and no tree; and `path` alone, as where VC6.0 is long gone but
// the user has folders of their own. A run must end by itself, say what its
// exit code says, and keep the promise of that code. The calls whose
// failure does not depend on the footprint (the file's, and the listing of
// subkeys, which only trees have) are failed over the first alone.
TEST(BackupProof, KeepsItsWordUnderEverySingleFault)
{
    const unsigned seed = Seed();
    SCOPED_TRACE("seed " + std::to_string(seed) + " (BRISVANE_SEED=" + std::to_string(seed) + " replays it)");
    static const struct {
        const char *label;
        bool trees, pathAlone;
        DWORD exitCode;
    } footprints[] = {
        {"the full footprint", true, false, 1},
        {"no tree", false, false, 0},
        {"path alone", false, true, 0},
    };
    for (const auto &footprint : footprints) {
        SCOPED_TRACE(footprint.label);
        harness::SeedAll(1, seed, true, true);
        for (const harness::KeyPath &tree : harness::kFootprintTrees)
            if (!footprint.trees)
                SHDeleteKeyA(tree.root, tree.path);
        for (size_t i = 0; i < std::size(harness::kEnvironmentTargets); ++i)
            if (footprint.pathAlone && i != 1)
                SHDeleteValueA(HKEY_CURRENT_USER, "Environment", harness::kEnvironmentTargets[i]);
        if (footprint.trees)
            harness::SeedLink();
        harness::Counts counts;
        BackupRun first = RunBackup(harness::Fault{}, counts);
        ASSERT_EQ(footprint.exitCode, first.exitCode) << harness::ToUtf8(first.message);
        ASSERT_EQ(1u, first.added.size()) << harness::ToUtf8(first.message);
        const std::wstring text = Text(first.added[0]);
        const Clean clean{Unstamped(first.added[0]), Entries(text), Readable(text), BoxList(first.message, texts::kFound),
                          first.added[0].substr(0, first.added[0].rfind(L'\\'))};
        ASSERT_FALSE(clean.readable.empty());
        ASSERT_EQ(std::wstring::npos, text.find(L'\0'));
        if (footprint.trees) {
            // The link is unread: the cleanup would delete through it.
            EXPECT_NE(std::wstring::npos, first.message.find(texts::kDoNotClean)) << harness::ToUtf8(first.message);
            const std::vector<std::string> missed = Missed(first.added[0]);
            EXPECT_NE(missed.end(), std::find(missed.begin(), missed.end(),
                                              "HKLM\\Software\\Microsoft\\Visual Component Manager\\Link\\"));
            // Strings without their NUL at their exact bytes, and named.
            EXPECT_NE(std::wstring::npos, text.find(L"\r\n\"no terminator\"=hex(1):61,00,62,00,63,00\r\n"));
            EXPECT_NE(std::wstring::npos, text.find(texts::kUnterminated + std::wstring(texts::kMissedLineEnd) + L"["));
            // For a second reader of the format (tests/reg_import.pl).
            MoveFileExW(first.added[0].c_str(), harness::PathBeside(L"backup-proof.reg").c_str(), MOVEFILE_REPLACE_EXISTING);
        }
        DeleteFileW(first.added[0].c_str());
        auto run = [&](const harness::Fault &fault, harness::Counts &made) {
            BackupRun r = RunBackup(fault, made);
            std::string why = Breach(r, fault, clean, made);
            for (const std::wstring &file : r.added)
                DeleteFileW(file.c_str());
            return why;
        };
        const char *values = "RegOpenKeyExW,RegQueryInfoKeyW,RegEnumValueW,HeapAlloc,LCMapStringW";
        for (const std::string &breach :
             harness::RunSingleFaults(counts, harness::kBackup, footprint.label, run, footprint.trees ? nullptr : values))
            ADD_FAILURE() << breach;
    }
    harness::RemoveAll();
}

} // namespace
