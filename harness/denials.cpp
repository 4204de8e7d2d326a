// Real access-denied faults, made with DACLs on registry keys and folders.
#include "harness/denials.h"

#include <sddl.h>

#include <cstdio>
#include <vector>

namespace harness {

namespace {
void EnablePrivilege(const char *name)
{
    HANDLE token = nullptr;
    TOKEN_PRIVILEGES privileges{1, {{{0, 0}, SE_PRIVILEGE_ENABLED}}};
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token))
        return;
    if (LookupPrivilegeValueA(nullptr, name, &privileges.Privileges[0].Luid))
        AdjustTokenPrivileges(token, FALSE, &privileges, 0, nullptr, nullptr);
    CloseHandle(token);
}

const SECURITY_INFORMATION kOwnerAndDacl = OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION;
const REGSAM kSecurityAccess = READ_CONTROL | WRITE_DAC | WRITE_OWNER;
const wchar_t kShellFolders[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\User Shell Folders";
} // namespace

// The key's owner always gets the standard rights (DELETE among them) under
// Wine, so the key is also handed to LocalSystem, which this process is not.
// The security rights stay with Everyone, so the old owner and DACL can be
// put back.
RestrictedKey::RestrictedKey(HKEY root, const char *path, REGSAM granted)
{
    EnablePrivilege(SE_RESTORE_NAME);
    HKEY key = nullptr;
    if (RegOpenKeyExA(root, path, 0, kSecurityAccess, &key) != ERROR_SUCCESS)
        return;
    DWORD size = 0;
    RegGetKeySecurity(key, kOwnerAndDacl, nullptr, &size);
    std::vector<BYTE> saved(size);
    REGSAM kept = granted | kSecurityAccess;
    char sddl[80];
    std::snprintf(sddl, sizeof sddl, "O:SYD:P(D;;0x%lx;;;WD)(A;;0x%lx;;;WD)", KEY_ALL_ACCESS & ~kept, kept);
    PSECURITY_DESCRIPTOR sd = nullptr;
    if (size && RegGetKeySecurity(key, kOwnerAndDacl, saved.data(), &size) == ERROR_SUCCESS &&
        ConvertStringSecurityDescriptorToSecurityDescriptorA(sddl, SDDL_REVISION_1, &sd, nullptr)) {
        if (RegSetKeySecurity(key, kOwnerAndDacl, sd) == ERROR_SUCCESS)
            undo_ = [root, path = std::string(path), saved]() mutable {
                HKEY key = nullptr;
                if (RegOpenKeyExA(root, path.c_str(), 0, kSecurityAccess, &key) == ERROR_SUCCESS)
                    RegSetKeySecurity(key, kOwnerAndDacl, saved.data()), RegCloseKey(key);
            };
        LocalFree(sd);
    }
    RegCloseKey(key);
}

RestrictedFolder::RestrictedFolder(const std::wstring &path)
{
    std::vector<BYTE> saved(4096);
    DWORD size = 0;
    PSECURITY_DESCRIPTOR sd = nullptr;
    if (GetFileSecurityW(path.c_str(), DACL_SECURITY_INFORMATION, saved.data(), DWORD(saved.size()), &size) &&
        // 0x6: FILE_ADD_FILE | FILE_ADD_SUBDIRECTORY.
        ConvertStringSecurityDescriptorToSecurityDescriptorW(L"D:P(D;;0x6;;;WD)(A;OICI;FA;;;WD)", SDDL_REVISION_1,
                                                             &sd, nullptr)) {
        if (SetFileSecurityW(path.c_str(), DACL_SECURITY_INFORMATION, sd))
            undo_ = [=]() mutable { SetFileSecurityW(path.c_str(), DACL_SECURITY_INFORMATION, saved.data()); };
        LocalFree(sd);
    }
}

DesktopMoved::DesktopMoved(const std::wstring &path)
{
    HKEY key = nullptr;
    if (RegCreateKeyExW(HKEY_CURRENT_USER, kShellFolders, 0, nullptr, 0, KEY_QUERY_VALUE | KEY_SET_VALUE, nullptr,
                        &key, nullptr) != ERROR_SUCCESS)
        return;
    DWORD size = 0, type = 0;
    bool had = RegQueryValueExW(key, L"Desktop", nullptr, &type, nullptr, &size) == ERROR_SUCCESS;
    std::vector<BYTE> saved(size);
    had = had && RegQueryValueExW(key, L"Desktop", nullptr, &type, saved.data(), &size) == ERROR_SUCCESS;
    RegSetValueExW(key, L"Desktop", 0, REG_EXPAND_SZ, reinterpret_cast<const BYTE *>(path.c_str()),
                   DWORD((path.size() + 1) * sizeof(wchar_t)));
    RegCloseKey(key);
    undo_ = [had, type, saved] {
        if (had)
            SHSetValueW(HKEY_CURRENT_USER, kShellFolders, L"Desktop", type, saved.data(), DWORD(saved.size()));
        else
            SHDeleteValueW(HKEY_CURRENT_USER, kShellFolders, L"Desktop");
    };
}

} // namespace harness
