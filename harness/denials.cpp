// Real access-denied faults, made with DACLs on registry keys and folders.
#include "harness/denials.h"

#include <sddl.h>

#include <cstdio>
#include <vector>

namespace harness {

namespace {
const SECURITY_INFORMATION kOwnerAndDacl = OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION;
const REGSAM kSecurityAccess = READ_CONTROL | WRITE_DAC | WRITE_OWNER;
const wchar_t kShellFolders[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\User Shell Folders";

bool KeySecurity(HKEY root, const char *path, PSECURITY_DESCRIPTOR sd, DWORD *readSize = nullptr)
{
    HKEY key = nullptr;
    if (RegOpenKeyExA(root, path, 0, kSecurityAccess, &key))
        return false;
    bool done = !(readSize ? RegGetKeySecurity(key, kOwnerAndDacl, sd, readSize) : RegSetKeySecurity(key, kOwnerAndDacl, sd));
    RegCloseKey(key);
    return done;
}
} // namespace

// Under Wine a key's owner always has the standard rights, DELETE among them,
// so the key is handed to LocalSystem, which this process is not: that takes
// the restore privilege.
RestrictedKey::RestrictedKey(HKEY root, const char *path, REGSAM granted)
{
    HANDLE token = nullptr;
    TOKEN_PRIVILEGES restore{1, {{{0, 0}, SE_PRIVILEGE_ENABLED}}};
    if (OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token) &&
        LookupPrivilegeValueA(nullptr, SE_RESTORE_NAME, &restore.Privileges[0].Luid))
        AdjustTokenPrivileges(token, FALSE, &restore, 0, nullptr, nullptr);
    CloseHandle(token);
    std::vector<BYTE> saved(4096);
    DWORD size = DWORD(saved.size());
    const REGSAM kept = granted | kSecurityAccess;
    char sddl[80];
    std::snprintf(sddl, sizeof sddl, "O:SYD:P(D;;0x%lx;;;WD)(A;;0x%lx;;;WD)", KEY_ALL_ACCESS & ~kept, kept);
    PSECURITY_DESCRIPTOR sd = nullptr;
    if (KeySecurity(root, path, saved.data(), &size) &&
        ConvertStringSecurityDescriptorToSecurityDescriptorA(sddl, SDDL_REVISION_1, &sd, nullptr)) {
        if (KeySecurity(root, path, sd))
            undo_ = [root, path = std::string(path), saved]() mutable { KeySecurity(root, path.c_str(), saved.data()); };
        LocalFree(sd);
    }
}

RestrictedFolder::RestrictedFolder(const std::wstring &path)
{
    std::vector<BYTE> saved(4096);
    DWORD size = 0;
    PSECURITY_DESCRIPTOR sd = nullptr;
    if (GetFileSecurityW(path.c_str(), DACL_SECURITY_INFORMATION, saved.data(), DWORD(saved.size()), &size) &&
        // 0x6: FILE_ADD_FILE | FILE_ADD_SUBDIRECTORY.
        ConvertStringSecurityDescriptorToSecurityDescriptorW(L"D:P(D;;0x6;;;WD)(A;OICI;FA;;;WD)", SDDL_REVISION_1, &sd, nullptr)) {
        if (SetFileSecurityW(path.c_str(), DACL_SECURITY_INFORMATION, sd))
            undo_ = [=]() mutable { SetFileSecurityW(path.c_str(), DACL_SECURITY_INFORMATION, saved.data()); };
        LocalFree(sd);
    }
}

DesktopMoved::DesktopMoved(const std::wstring &path)
{
    std::vector<BYTE> saved(4096);
    DWORD size = DWORD(saved.size()), type = 0;
    const bool had = !RegGetValueW(HKEY_CURRENT_USER, kShellFolders, L"Desktop", RRF_RT_ANY | RRF_NOEXPAND, &type,
                                   saved.data(), &size);
    saved.resize(had ? size : 0);
    if (SHSetValueW(HKEY_CURRENT_USER, kShellFolders, L"Desktop", REG_EXPAND_SZ, path.c_str(),
                    DWORD(path.size() + 1) * sizeof(wchar_t)))
        return;
    undo_ = [had, type, saved] {
        had ? SHSetValueW(HKEY_CURRENT_USER, kShellFolders, L"Desktop", type, saved.data(), DWORD(saved.size()))
            : SHDeleteValueW(HKEY_CURRENT_USER, kShellFolders, L"Desktop");
    };
}

} // namespace harness
