// The backup's proofs, and the cleanup's. Over hostile data: seed, snapshot,
// back up, run the cleanup (nothing but its targets goes), import the file
// with the regedit a double-click starts, snapshot again: both views are as
// they were but for exactly what the backup said it could not carry. Under
// every single fault: it keeps the word its exit code gives. The random part
// is drawn from a seed, printed on failure; BRISVANE_SEED=N replays one.
#include "harness/harness.h"
#include "backup/texts.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <ctime>
#include <fstream>
#include <iterator>
#include <memory>

namespace {

namespace texts = backup::texts;
using harness::BackupFiles, harness::Folder, harness::SystemWords, harness::ToUtf8;
using Entries = std::set<std::string>;

std::string Bytes(const std::wstring &file)
{
    std::ifstream in(file.c_str(), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// A key or value of the file as a snapshot names it: "HKLM\path", and
// "HKLM\path\\:NAME=" for a value. The file names the 32-bit view as 64-bit
// regedit sees it.
std::string Entry(const std::wstring &key, const std::wstring *value = nullptr)
{
    std::string path = ToUtf8(key);
    for (auto [from, to] : {std::pair{"HKEY_LOCAL_MACHINE", "HKLM"}, {"HKEY_CURRENT_USER", "HKCU"}})
        if (path.rfind(from, 0) == 0)
            path.replace(0, strlen(from), to);
    if (sizeof(void *) == 4 && path.rfind("HKLM\\", 0) == 0 && path.find("\\Wow6432Node\\", 13) == 13)
        path.erase(13, 12);
    return value ? path + "\\\\:" + ToUtf8(*value) + "=" : path;
}

// A backup file read back: its keys and values as Entry() names them, each
// value followed by its line and those continuing it; what its head names as
// not carried ("; 未能备份（WHY）：[KEY]" or "…：[KEY] "VALUE"", escapes
// undone) as "KEY\" for the key and all below it or "KEY\\:VALUE="; and
// the comment lines of its body (after the second blank line), each
// environment value's readable text.
struct File {
    Entries entries;
    std::vector<std::string> missed;
    std::set<std::wstring> readable;
};

File Parse(const std::wstring &text)
{
    auto unescaped = [](std::wstring s) {   // "%XX", and "%25" for "%" itself
        for (size_t at = s.find(L'%'); at != std::wstring::npos; at = s.find(L'%', at + 1))
            s.replace(at, 3, 1, wchar_t(std::wcstoul(s.substr(at + 1, 2).c_str(), nullptr, 16)));
        return s;
    };
    File file;
    std::wstring key, value;
    int blanks = 0;
    for (size_t at = 0; at < text.size();) {
        const size_t end = std::min(text.find(L"\r\n", at), text.size());
        const std::wstring line = text.substr(at, end - at);
        at = end + 2;
        blanks += line.empty();
        if (!value.empty() && line.rfind(L"  ", 0) == 0)
            value += line;
        else if (!line.empty() && (line[0] == L'"' || line[0] == L'@'))
            value = line;
        else if (line.size() > 1 && line[0] == L'[' && line.back() == L']')
            file.entries.insert(Entry(key = line.substr(1, line.size() - 2)));
        else if (blanks >= 2 && line.rfind(L"; ", 0) == 0)
            file.readable.insert(line);
        else if (line.rfind(texts::kMissedLine, 0) == 0) {
            const std::wstring item = line.substr(line.find(texts::kMissedLineEnd + std::wstring(L"[")) + 3);
            const bool isValue = item.back() == L'"';
            const size_t quote = isValue ? item.find(L'"') : item.size() + 1;
            const std::wstring name = isValue ? unescaped(item.substr(quote + 1, item.size() - quote - 2)) : L"";
            file.missed.push_back(Entry(unescaped(item.substr(0, quote - 2)), isValue ? &name : nullptr) +
                                  (isValue ? "" : "\\"));
        }
        if (!value.empty() && value.back() != L'\\') {
            std::wstring name;   // its escapes undone; empty for "@"
            for (size_t i = 1; value[0] == L'"' && i < value.size() && value[i] != L'"'; ++i)
                name += value[i] == L'\\' ? value[++i] : value[i];
            file.entries.insert(Entry(key, &name) + ToUtf8(value));
            value.clear();
        }
    }
    return file;
}

// The lines of one of the box's lists, "    ..." each, after its title.
std::vector<std::wstring> BoxList(const std::wstring &message, const wchar_t *title)
{
    std::vector<std::wstring> lines;
    const size_t head = message.find(L"\r\n" + std::wstring(title) + L"\r\n");
    for (size_t at = head == std::wstring::npos ? head : head + wcslen(title) + 4;
         at < message.size() && !message.compare(at, 4, L"    ");) {
        const size_t end = std::min(message.find(L"\r\n", at), message.size());
        lines.push_back(message.substr(at + 4, end - at - 4));
        at = end + 2;
    }
    return lines;
}

// One run of the backup with `fault` in it: how it ended, its box, the new
// files on the desktop and in Documents, and the one the box names as saved
// (with its lists, or alone where the heap gave out after saving it) and its text.
struct BackupRun : harness::Outcome {
    std::wstring message, file, text;
    std::vector<std::wstring> added;
};

BackupRun RunBackup(const harness::Fault &fault = {})
{
    const std::vector<std::wstring> before = BackupFiles();
    BackupRun r{harness::Drive(L"brisvane-backup.exe", L"", IDOK, fault), {}, {}, {}, {}};
    r.message = r.boxes.empty() ? L"" : r.boxes[0];
    for (const std::wstring &file : BackupFiles())
        if (std::find(before.begin(), before.end(), file) == before.end())
            r.added.push_back(file);
    for (std::wstring saved : {texts::kSaved + std::wstring(L"\r\n"), std::wstring(texts::kOutOfMemorySaved)})
        if (r.message.rfind(saved, 0) == 0)
            r.file = r.message.substr(saved.size(), r.message.find(L"\r\n", saved.size()) - saved.size());
    const std::string bytes = Bytes(r.file);
    r.text.assign(reinterpret_cast<const wchar_t *>(bytes.data()), bytes.size() / 2);
    return r;
}

// The footprint, its random part drawn once from the clock, without its
// trees unless `trees`, and without the environment values `gone` names.
void Seed(int keysPerTree, bool hard, bool small, bool trees, const char *const *gone)
{
    static const unsigned seed = [] {
        const unsigned seed = std::getenv("BRISVANE_SEED") ? unsigned(atoi(std::getenv("BRISVANE_SEED"))) : GetTickCount();
        std::printf("seed %u (BRISVANE_SEED=%u replays it)\n", seed, seed);
        return seed;
    }();
    harness::SeedAll(keysPerTree, seed, hard, small);
    for (const harness::KeyPath &t : harness::kFootprintTrees)
        if (!trees)
            SHDeleteKeyA(t.root, t.path);
    for (int i = 0; gone && i < 4 && gone[i]; ++i)
        SHDeleteValueA(HKEY_CURRENT_USER, "Environment", gone[i]);
}

enum : unsigned {
    kNoTrees = 1, kNoValues = 2,              // deleted after seeding
    kHard = 4,                                // the hard cases, some of which no file can carry
    kLockBranch = 8, kLockEnvironment = 16,   // a key it may not read: under row 3's tree, or the environment's
    kDesktopDenied = 32, kBothDenied = 64,    // the folders deny new files
    kFull = 128,                              // the desktop's disk fills as the file is written, where one is mounted
    kEarlier = 256,                           // earlier backups hold the names it would pick first
    kLongPath = 512, kUnterminated = 1024,    // the user's path several KiB long; and without its NUL
    kTooLarge = 2048,                         // row 3's tree holds a value the heap has no room for
    kDeep = 4096,                             // the desktop's path leaves room for the file's name alone
};

TEST(BackupProof, RestoresEverythingButWhatItReports)
{
    // The desktop moved to a small disk last: Windows keeps the moved path in
    // its cache of folders (Shell Folders) until it is asked again.
    static const struct { const char *label; int keysPerTree; unsigned flags; DWORD exitCode; } rows[] = {
        {"the full footprint, beside earlier backups", 60, kHard | kEarlier, 1},
        {"a subkey it may not read, a value too large for memory", 3, kLockBranch | kTooLarge, 1},
        {"the environment values alone, the desktop deep", 0, kNoTrees | kLongPath | kDeep, 0},
        {"no tree, the environment key unreadable", 0, kNoTrees | kLockEnvironment, 1},
        {"nothing at all", 0, kNoTrees | kNoValues, 0},
        {"the desktop cannot be written, path without its NUL", 3, kDesktopDenied | kLongPath | kUnterminated, 1},
        {"neither folder can be written, the desktop's disk full", 3, kBothDenied | kFull, 2},
    };
    // Where tools/test could mount one (as root): a file system of 8 KiB,
    // which the file outgrows; elsewhere the desktop is denied by its DACL.
    wchar_t disk[MAX_PATH] = L"", windows[MAX_PATH] = L"", deep[MAX_PATH] = L"";
    GetEnvironmentVariableW(L"BRISVANE_SMALL_DISK", disk, MAX_PATH);
    GetWindowsDirectoryW(windows, MAX_PATH);
    // As Windows counts a path, MAX_PATH with its NUL: room for
    // "\brisvane-backup-YYYYMMDD-HHMMSS.reg" and no more.
    GetTempPathW(MAX_PATH, deep);
    wcscat(deep, std::wstring(MAX_PATH - 1 - 36 - wcslen(deep), L'd').c_str());
    CreateDirectoryW(deep, nullptr);
    const harness::KeyPath &tree = harness::kFootprintTrees[2];
    for (const auto &row : rows) {
        SCOPED_TRACE(row.label);
        const unsigned f = row.flags;
        const bool onDisk = (f & kFull) && *disk, nothing = f & kNoValues, locked = f & (kLockBranch | kLockEnvironment);
        const int denied = f & kBothDenied ? 2 : f & kDesktopDenied ? 1 : 0;
        if (f & kFull)
            std::printf("backup proof, %s: %s\n", row.label, onDisk ? "a small disk" : "no small disk, a DACL");
        Seed(row.keysPerTree, f & kHard, false, !(f & kNoTrees), nothing ? harness::kEnvironmentTargets : nullptr);
        // A user's path is often longer than a first guess at a buffer; and
        // without its NUL where none follows it either (Windows would count one in).
        std::string path = harness::kEnvironmentSeeds[1].readable;
        while ((f & kLongPath) && path.size() < 6000)
            path += ";C:\\Tools\\" + std::to_string(path.size());
        if (f & kLongPath)
            SHSetValueA(HKEY_CURRENT_USER, "Environment", "path", REG_EXPAND_SZ,
                        (path + (f & kUnterminated ? "!" : "")).c_str(), DWORD(path.size() + !(f & kUnterminated)));
        if (f & kTooLarge)
            SHSetValueA(tree.root, tree.path, "Large", REG_BINARY, std::string(1 << 20, 'L').data(), 1 << 20);
        // Nothing to restore where no file can be written, or nothing was there.
        Entries before = denied < 2 && !nothing ? harness::FootprintEntries() : Entries();
        std::vector<std::shared_ptr<harness::Change>> changes;   // undone once it has run
        if (onDisk || (f & kDeep))
            changes.push_back(std::make_shared<harness::DesktopMoved>(onDisk ? disk : deep));
        const std::wstring where[] = {Folder(CSIDL_DESKTOPDIRECTORY), Folder(CSIDL_PERSONAL)};
        const std::string lockedPath = f & kLockEnvironment ? "Environment" : std::string(tree.path) + "\\Branch0";
        if (locked)
            changes.push_back(std::make_shared<harness::RestrictedKey>(
                f & kLockEnvironment ? HKEY_CURRENT_USER : tree.root, lockedPath.c_str(), 0));
        for (int i = onDisk; i < denied; ++i)
            changes.push_back(std::make_shared<harness::RestrictedFolder>(where[i]));
        for (const auto &change : changes)
            ASSERT_TRUE(change->ok());
        // Earlier backups under each name that a backup started in the next 30 s picks first.
        std::vector<std::wstring> earlier;
        for (time_t t = time(nullptr), last = t + harness::Scaled(30000) / 1000; (f & kEarlier) && t <= last; ++t) {
            wchar_t name[64];
            wcsftime(name, 64, L"\\brisvane-backup-%Y%m%d-%H%M%S.reg", localtime(&t));
            earlier.push_back(where[0] + name);
            std::ofstream(earlier.back().c_str(), std::ios::binary) << "an earlier backup";
        }
        BackupRun b = RunBackup(f & kTooLarge ? harness::Fault{"HeapAlloc", 1, true, 0, 1 << 19} : harness::Fault{});
        const std::wstring &text = b.text;
        const File file = Parse(text);
        changes.clear();
        Folder(CSIDL_DESKTOPDIRECTORY);   // Windows' cache of folders (Shell Folders) forgets the moved one
        for (const std::wstring &backup : earlier) {
            EXPECT_TRUE(Bytes(backup) == "an earlier backup") << ToUtf8(backup) << " was overwritten";
            DeleteFileW(backup.c_str());
        }
        SCOPED_TRACE("its box: " + ToUtf8(b.message));
        EXPECT_EQ(row.exitCode, b.exitCode);
        EXPECT_EQ(1u, b.boxes.size());
        // What the cleanup deletes unread is named, and the box says to wait.
        EXPECT_EQ(locked, b.message.find(texts::kDoNotClean) != std::wstring::npos);
        if (nothing) {   // nothing to save, and no file
            EXPECT_EQ(texts::kNothing, b.message);
            EXPECT_TRUE(b.added.empty());
            continue;
        }
        if (denied == 2) {   // no file, none half-written, and the box says why in the system's words
            EXPECT_EQ(0u, b.message.find(texts::kNotWritten));
            for (const std::wstring &folder : where)
                EXPECT_NE(std::wstring::npos, b.message.find(folder));
            EXPECT_TRUE(b.added.empty()) << ToUtf8(b.added[0]);
            const std::wstring words = SystemWords(ERROR_DISK_FULL);
            EXPECT_FALSE(words.empty());
            EXPECT_EQ(onDisk, !words.empty() && b.message.find(words) != std::wstring::npos);
            continue;
        }
        // On the desktop, else in Documents saying why, beside the earlier backups.
        const std::wstring expected = where[denied] + L"\\brisvane-backup-";
        ASSERT_EQ(expected, b.file.substr(0, expected.size()));
        EXPECT_EQ(denied != 0, b.message.find(L"\uff08" + where[0] + L"\uff09") != std::wstring::npos);
        EXPECT_EQ((f & kEarlier) != 0, b.file.substr(b.file.size() - 6) == L"-2.reg") << ToUtf8(b.file);
        EXPECT_EQ(std::wstring::npos, text.find(L'\0')) << "a NUL, where Windows' regedit ends the line";
        // Each environment value one line can show as text, on a comment line
        // before the key's own line, outside its section.
        const size_t section = text.find(L"\r\n[HKEY_CURRENT_USER\\Environment]\r\n");
        for (size_t i = 0; i < 4; ++i) {
            const char *readable = f & kLockEnvironment ? nullptr
                                   : i == 1             ? path.c_str() : harness::kEnvironmentSeeds[i].readable;
            const std::wstring line = L"\r\n; " + harness::FromGbk(harness::kEnvironmentTargets[i]) + L"=";
            const size_t at = text.find(line);
            EXPECT_EQ(readable ? text.find(line + harness::FromGbk(readable) + L"\r\n") : std::wstring::npos, at) << line;
            EXPECT_TRUE(!readable || (at < section && text.rfind(L"\r\n\r\n", section) < at)) << line;
        }
        // Named in the file: what went unread, what is too large for memory,
        // and a value saved otherwise than it is.
        const std::pair<bool, std::string> named[] = {
            {(f & (kLockEnvironment | kUnterminated)) != 0, "HKCU\\Environment\\\\:path="},
            {(f & kLockBranch) != 0, harness::RootName(tree.root) + "\\" + lockedPath + "\\"},
            {(f & kTooLarge) != 0, harness::RootName(tree.root) + "\\" + tree.path + "\\\\:Large="},
        };
        for (const auto &[expected, entry] : named)
            EXPECT_EQ(expected, std::find(file.missed.begin(), file.missed.end(), entry) != file.missed.end()) << entry;
        // That value at its exact bytes, with its readable line all the same.
        if (f & kUnterminated) {
            const std::wstring wide = harness::FromGbk(path);
            const std::string start = "HKCU\\Environment\\\\:path=\"path\"=hex(2):";
            const auto line = file.entries.lower_bound(start);
            ASSERT_TRUE(line != file.entries.end() && line->rfind(start, 0) == 0);
            std::string bytes;   // its "xx" pairs
            for (size_t i = start.size(); i + 1 < line->size(); ++i)
                if (isxdigit((*line)[i]) && isxdigit((*line)[i + 1]))
                    bytes += char(std::stoi(line->substr(i++, 2), nullptr, 16));
            EXPECT_EQ(std::string(reinterpret_cast<const char *>(wide.data()), wide.size() * 2), bytes);
        }
        // Changed after the backup, and not the backup's to put back.
        SHSetValueA(HKEY_CURRENT_USER, "Environment", harness::kBystanderValues[0], REG_SZ, "changed", 8);
        for (auto entry = before.begin(); entry != before.end();)
            entry = entry->rfind("HKCU\\Environment", 0) == 0 ? before.erase(entry) : std::next(entry);
        before.merge(harness::Snapshot(HKEY_CURRENT_USER, "Environment"));
        // The cleanup removes exactly the seven trees, in its own view, and
        // the four values: in the first row over all of HKCU and
        // HKLM\Software\Microsoft in both views; in the others, the same
        // cleanup over less, the targets read again alone (what else it
        // removed, no file puts back: the restore's comparison finds it).
        harness::RunResult run = harness::ConfirmedRun();
        ASSERT_TRUE(run.ok) << run.error;
        Entries cleanedUp;
        if (&row == rows) {
            cleanedUp = harness::FootprintEntries();
        } else {
            const std::vector<std::string> targets = harness::Targets();
            std::copy_if(before.begin(), before.end(), std::inserter(cleanedUp, cleanedUp.end()), [&](const std::string &e) {
                return std::none_of(targets.begin(), targets.end(), [&](const std::string &t) { return harness::Under(e, t); });
            });
            for (const harness::KeyPath &t : harness::kFootprintTrees)
                cleanedUp.merge(harness::Snapshot(t.root, t.path));
            cleanedUp.merge(harness::Snapshot(HKEY_CURRENT_USER, "Environment"));
        }
        harness::Difference cleaned = harness::Compare(before, cleanedUp);
        EXPECT_GE(cleaned.expected, size_t(7 * row.keysPerTree) + 4);   // all seeded, and seen
        EXPECT_EQ(0u, harness::RunCommand(L"\"" + std::wstring(windows) + L"\\regedit.exe\" /s \"" + b.file + L"\"",
                                          harness::Scaled(120000)));
        harness::Difference d = harness::Compare(before, harness::FootprintEntries(), file.missed);
        // An entry can be 30,000 characters long; its start says which it is.
        for (auto [entries, what] : {std::pair{&cleaned.added, "appeared in the cleanup"},
                                     {&cleaned.wronglyRemoved, "bystanders removed"}, {&cleaned.left, "target entries left"},
                                     {&d.added, "appeared"}, {&d.wronglyRemoved, "not restored"}})
            EXPECT_TRUE(entries->empty()) << entries->size() << " entries " << what << ", first: "
                                          << entries->front().substr(0, 300);
        std::printf("backup proof, %s: %u registry entries, the cleanup %u (%u expected), %u left out as reported (%u "
                    "reports)\n", row.label, unsigned(before.size()), unsigned(cleaned.removed.size()),
                    unsigned(cleaned.expected), unsigned(d.removed.size()), unsigned(file.missed.size()));
        if (!::testing::Test::HasFailure())
            DeleteFileW(b.file.c_str());
        else
            std::printf("the backup is kept: %s\n", ToUtf8(b.file).c_str());
    }
    RemoveDirectoryW(deep);
    harness::RemoveAll();
}

std::wstring Unstamped(std::wstring text)
{
    size_t at = text.find(texts::kFileIntro);
    return at == std::wstring::npos ? text : text.erase(at, text.find(L"\r\n", at + 2) - at);
}

// What is wrong with a run under a fault, if anything: a crash or a hang, a
// box that says otherwise than the exit code, a file left behind unnamed,
// or a file that lost what the clean run's holds without saying so. A key
// "removed meanwhile" (an open that finds none) may be listed as absent;
// nothing else that exists may.
std::string Breach(const BackupRun &r, const harness::Fault &fault, const BackupRun &first, const File &clean)
{
    using Invariants = std::initializer_list<std::pair<bool, std::string>>;
    const DWORD code = harness::CodeOf(fault);
    const bool removedMeanwhile = code == ERROR_FILE_NOT_FOUND, lists = r.message.rfind(texts::kSaved, 0) == 0;
    const bool written = fault.functions == "WriteFile" || fault.functions == "FlushFileBuffers";
    const std::string ended = "exit " + std::to_string(r.exitCode), box = ToUtf8(r.message.substr(0, 300));
    std::wstring unnamed;   // a new file but the one named as saved, not named as left either
    for (const std::wstring &file : r.added)
        if (file != r.file && r.message.find(texts::kTemporaryLeft + file) == std::wstring::npos)
            unnamed = file;
    for (const auto &[broken, why] : Invariants{
             {r.exitCode == ~0u, "it did not start with the injector in it, or did not end by itself"},
             {r.exitCode > 2, ended + ": a crash"},
             {r.boxes.size() != 1, ended + " with " + std::to_string(r.boxes.size()) + " boxes, not one"},
             {written && code != harness::kShortWrite && r.message.find(SystemWords(code)) == std::wstring::npos,
              "the box does not give the system's words for the failed write: " + box},
             {!unnamed.empty(), "it left " + ToUtf8(unnamed) + " unnamed"},
             {r.exitCode == 2 && !r.file.empty(), "exit 2, but the box says the file was saved"}})
        if (broken)
            return why;
    if (r.exitCode == 2 || (removedMeanwhile && r.exitCode == 0 && r.message == texts::kNothing && r.added.empty()))
        return "";   // no file, as it says; or every key gone meanwhile
    const File file = Parse(r.text);
    std::vector<std::string> missed = file.missed;
    wchar_t count[128];
    swprintf(count, 128, texts::kMissed, unsigned(missed.size()));
    bool unread = false;
    for (const wchar_t *reason : {texts::kUnreadable, texts::kSomeUnreadable, texts::kChanged, texts::kTooLarge})
        unread |= r.text.find(texts::kMissedLine + std::wstring(reason) + texts::kMissedLineEnd) != std::wstring::npos;
    const auto folder = [](const std::wstring &file) { return file.substr(0, file.rfind(L'\\')); };
    for (const auto &[broken, why] : Invariants{
             {std::find(r.added.begin(), r.added.end(), r.file) == r.added.end(),
              ended + ", but the box names no new file: " + box},
             {r.text.find(L'\0') != std::wstring::npos, "a NUL in the file, where Windows' regedit ends the line"},
             // A rename refused for a moment is tried again, not given up.
             {fault.functions == "MoveFileExW" && code == ERROR_SHARING_VIOLATION && !fault.persistent &&
                  folder(r.file) != folder(first.file),
              "a rename refused once gave up the desktop: " + box},
             {(r.exitCode == 1) == missed.empty(), ended + ", but the file names " + std::to_string(missed.size()) + " gaps"},
             // The box and the file name the same gaps, and say to wait where one is unread.
             {lists && !missed.empty() && r.message.find(count) == std::wstring::npos,
              "the box does not count the file's " + std::to_string(missed.size()) + " gaps: " + box},
             {lists && unread != (r.message.find(texts::kDoNotClean) != std::wstring::npos),
              "the box does not say to wait exactly where something went unread"}})
        if (broken)
            return why;
    const std::vector<std::wstring> found = BoxList(first.message, texts::kFound);
    for (const std::wstring &line : BoxList(r.message, texts::kAbsent)) {
        if (std::none_of(found.begin(), found.end(), [&](auto &f) { return !lstrcmpiW(f.c_str(), line.c_str()); }))
            continue;
        if (!removedMeanwhile)
            return "it lists as absent what is there: " + ToUtf8(line);
        // As if removed: the key, or the value, accounts for what it held.
        const size_t in = line.find(texts::kInEnvironment);
        const std::wstring value = in == std::wstring::npos ? L"" : line.substr(in + wcslen(texts::kInEnvironment));
        missed.push_back(in == std::wstring::npos ? Entry(line) + "\\" : Entry(line.substr(0, in), &value));
    }
    if (r.exitCode == 0 && !removedMeanwhile && Unstamped(r.text) != Unstamped(first.text))
        return "exit 0, but the file differs from the clean run's";
    // A missed value accounts for itself and its key's line (the
    // environment's section holds only those values).
    for (const std::string &entry : clean.entries)
        if (!file.entries.count(entry) && std::none_of(missed.begin(), missed.end(), [&](const std::string &m) {
                return harness::Under(entry, m) || harness::Under(m, entry + "\\\\:");
            }))
            return "the file lacks, unreported: " + entry.substr(0, 250);
    for (const std::string &entry : file.entries)
        if (!clean.entries.count(entry))
            return "the file holds what the clean run's does not: " + entry.substr(0, 250);
    // A readable line for each environment value the file holds, as the clean run's, and no other.
    std::set<std::wstring> readable;
    for (const std::wstring &line : clean.readable) {
        const std::wstring name = line.substr(2, line.find(L'=') - 2);
        const std::string value = Entry(L"HKEY_CURRENT_USER\\Environment", &name);
        if (const auto next = file.entries.lower_bound(value); next != file.entries.end() && next->rfind(value, 0) == 0)
            readable.insert(line);
    }
    return readable == file.readable ? "" : "the comment lines do not match the values the file holds";
}

// SQLite's fault simulation over the backup: each failure of each call that
// can fail, once and from then on, over small footprints whose outcomes
// differ: the trees with the hard cases and a registry link; the four
// values and no tree; `path` alone, as where VC6.0 is long gone but the
// user has folders of their own; and a link alone. The calls whose failure
// does not depend on the footprint (the file's, and the listing of subkeys,
// which only trees have) are failed over the first alone.
TEST(BackupProof, KeepsItsWordUnderEverySingleFault)
{
    // A link's value read, or its key's counts, failed: in the full footprint
    // seldom among the calls sampled, in one of its own the first or the last.
    static const char *const values = "RegOpenKeyExW,RegQueryInfoKeyW,RegEnumValueW,HeapAlloc,LCMapStringW";
    static const struct { const char *label; bool trees, pathAlone, link; DWORD exitCode; const char *only; } footprints[] = {
        {"the full footprint", true, false, true, 1, nullptr},
        {"no tree", false, false, false, 0, values},
        {"path alone", false, true, false, 0, values},
        {"a link alone", false, false, true, 1, "RegQueryInfoKeyW,RegEnumValueW"},
    };
    for (const auto &footprint : footprints) {
        SCOPED_TRACE(footprint.label);
        static const char *const others[4] = {"lib", "MSDevDir", "include"};
        Seed(1, true, true, footprint.trees, footprint.pathAlone ? others : nullptr);
        if (footprint.link)
            harness::SeedLink();
        BackupRun first = RunBackup();
        ASSERT_EQ(footprint.exitCode, first.exitCode) << ToUtf8(first.message);
        ASSERT_EQ(1u, first.boxes.size()) << ToUtf8(first.message);
        ASSERT_EQ(1u, first.added.size()) << ToUtf8(first.message);
        const File parsed = Parse(first.text);
        ASSERT_FALSE(parsed.readable.empty());
        ASSERT_EQ(std::wstring::npos, first.text.find(L'\0'));
        if (footprint.trees) {
            // The link is unread: the cleanup would delete through it.
            EXPECT_NE(std::wstring::npos, first.message.find(texts::kDoNotClean)) << ToUtf8(first.message);
            const std::string link = "HKLM\\Software\\Microsoft\\Visual Component Manager\\Link\\";
            EXPECT_NE(parsed.missed.end(), std::find(parsed.missed.begin(), parsed.missed.end(), link));
            // Strings without their NUL at their exact bytes, and named.
            EXPECT_NE(std::wstring::npos, first.text.find(L"\r\n\"no terminator\"=hex(1):61,00,62,00,63,00\r\n"));
            EXPECT_NE(std::wstring::npos, first.text.find(texts::kUnterminated + std::wstring(texts::kMissedLineEnd) + L"["));
            // For a second reader of the format (tests/reg_import.pl).
            MoveFileExW(first.added[0].c_str(), harness::PathBeside(L"backup-proof.reg").c_str(), MOVEFILE_REPLACE_EXISTING);
        }
        DeleteFileW(first.added[0].c_str());
        auto run = [&](const harness::Fault &fault, harness::Counts &made) {
            BackupRun r = RunBackup(fault);
            made = r.made;
            std::string why = Breach(r, fault, first, parsed);
            for (const std::wstring &file : r.added)
                DeleteFileW(file.c_str());
            return why;
        };
        for (const std::string &breach : harness::RunSingleFaults(first.made, harness::kBackup, footprint.label, run, footprint.only))
            ADD_FAILURE() << breach;
    }
    harness::RemoveAll();
}

} // namespace
