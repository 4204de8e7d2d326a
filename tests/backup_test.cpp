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

#include <ctime>
#include <fstream>
#include <iterator>
#include <memory>

namespace {

struct Backup {
    DWORD exitCode = ~0u;
    std::wstring message, file;
    std::vector<std::string> missed;   // snapshot entries, and prefixes of them, not carried
};

std::string Decoded(std::wstring text)
{
    for (auto [code, c] : {std::pair{L"%0D", L'\r'}, {L"%0A", L'\n'}, {L"%22", L'"'}, {L"%25", L'%'}})
        for (size_t at; (at = text.find(code)) != std::wstring::npos;)
            text.replace(at, 3, 1, c);
    return harness::ToUtf8(text);
}

std::string Bytes(const std::wstring &file)
{
    std::ifstream in(file.c_str(), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// The file's own account of what it leaves out, in the snapshot's terms:
// "HKLM\path\" for a key and all below it, "HKLM\path\\:name=" for a value.
std::vector<std::string> Missed(const std::wstring &file)
{
    std::string bytes = Bytes(file);
    std::wstring text(reinterpret_cast<const wchar_t *>(bytes.data()), bytes.size() / 2);
    std::vector<std::string> out;
    const std::wstring marker = L"; \u672a\u80fd\u5907\u4efd\uff08";  // "; 未能备份（"
    for (size_t at = 0; (at = text.find(L"\r\n" + marker, at)) != std::wstring::npos;) {
        size_t start = text.find(L"\uff09\uff1a[", at) + 3, end = text.find(L"\r\n", start);
        std::wstring item = text.substr(start, end - start), name;
        at = end;
        bool value = item.back() == L'"';
        if (value) {
            size_t quote = item.find(L'"');
            name = item.substr(quote + 1, item.size() - quote - 2);
            item.resize(quote - 2);
        } else {
            item.pop_back();
        }
        std::string path = Decoded(item);
        for (auto [from, to] : {std::pair{"HKEY_LOCAL_MACHINE", "HKLM"}, {"HKEY_CURRENT_USER", "HKCU"}})
            if (path.rfind(from, 0) == 0)
                path.replace(0, strlen(from), to);
        // The file names the 32-bit view as 64-bit regedit sees it.
        if (sizeof(void *) == 4 && path.rfind("HKLM\\", 0) == 0 && path.compare(13, 13, "\\Wow6432Node\\") == 0)
            path.erase(13, 12);
        out.push_back(value ? path + "\\\\:" + Decoded(name) + "=" : path + "\\");
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
    } rows[] = {
        {"the full footprint, beside earlier backups", 20, nullptr, 0, true, true},
        {"a subkey it may not read", 3, "Branch0", 0, false, true},
        {"the desktop cannot be written", 3, nullptr, 1, false, false},
        {"neither folder can be written", 3, nullptr, 2, false, false},
    };
    const std::wstring folders[] = {Folder(CSIDL_DESKTOPDIRECTORY), Folder(CSIDL_PERSONAL)};
    for (const auto &row : rows) {
        SCOPED_TRACE(row.label);
        harness::SeedAll(row.keysPerTree, seed, row.hard);
        // Nothing to restore where no file can be written.
        std::set<std::string> before = row.denied < 2 ? harness::Reach() : std::set<std::string>();
        const harness::KeyPath &tree = harness::kFootprintTrees[2];
        std::string locked = row.locked ? std::string(tree.path) + "\\" + row.locked : "";
        std::unique_ptr<harness::RestrictedKey> lock;
        if (row.locked) {
            lock = std::make_unique<harness::RestrictedKey>(tree.root, locked.c_str(), 0);
            ASSERT_TRUE(lock->ok());
        }
        std::unique_ptr<harness::RestrictedFolder> denied[2];
        for (int i = 0; i < row.denied; ++i) {
            denied[i] = std::make_unique<harness::RestrictedFolder>(folders[i]);
            ASSERT_TRUE(denied[i]->ok()) << harness::ToUtf8(folders[i]);
        }
        std::vector<std::wstring> kept[2] = {BackupFiles(folders[0]), BackupFiles(folders[1])};
        std::vector<std::wstring> earlier;
        if (row.earlier)
            earlier = PlantEarlierBackups(folders[0], harness::Scaled(30000) / 1000);
        Backup b = RunBackup();
        lock.reset();
        denied[0].reset();
        denied[1].reset();
        for (const std::wstring &file : earlier) {
            EXPECT_TRUE(Bytes(file) == "an earlier backup") << harness::ToUtf8(file) << " was overwritten";
            DeleteFileW(file.c_str());
        }
        if (row.denied == 2) { // no file, none half-written, and the box says why
            EXPECT_EQ(2u, b.exitCode) << harness::ToUtf8(b.message);
            EXPECT_EQ(0u, b.message.find(L"\u672a\u80fd\u5199\u5165")) << harness::ToUtf8(b.message); // "未能写入"
            for (int i = 0; i < 2; ++i) {
                EXPECT_NE(std::wstring::npos, b.message.find(folders[i])) << harness::ToUtf8(b.message);
                EXPECT_EQ(kept[i], BackupFiles(folders[i])) << harness::ToUtf8(folders[i]);
            }
            harness::RemoveAll();
            continue;
        }
        // On the desktop, else in Documents, and beside the earlier backups.
        const std::wstring expected = folders[row.denied] + L"\\brisvane-backup-";
        ASSERT_EQ(expected, b.file.substr(0, expected.size())) << harness::ToUtf8(b.message);
        EXPECT_EQ(row.denied != 0, b.message.find(L"\uff08" + folders[0] + L"\uff09") != std::wstring::npos)
            << "why not on the desktop: " << harness::ToUtf8(b.message);
        EXPECT_EQ(row.earlier, b.file.substr(b.file.size() - 6) == L"-2.reg") << harness::ToUtf8(b.file);
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

} // namespace
