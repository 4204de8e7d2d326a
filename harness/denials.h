// Real faults: access denied, made with DACLs (a registry key the tool may
// read but not delete, a folder no file can be written to), and a desktop
// on a disk too small for what is written to it.
#pragma once

#include "platform/platform.h"

#include <string>
#include <vector>

namespace harness {

// Replaces a key's owner and DACL with ones that deny Everyone all but
// `granted` (keeping the rights to put the old ones back), and puts the old
// ones back when destroyed.
class RestrictedKey {
public:
    RestrictedKey(HKEY root, const char *path, REGSAM granted);
    ~RestrictedKey();
    RestrictedKey(const RestrictedKey &) = delete;
    RestrictedKey &operator=(const RestrictedKey &) = delete;
    bool ok() const { return ok_; }

private:
    HKEY root_;
    std::string path_;
    std::vector<BYTE> saved_;
    bool ok_ = false;
};

// Replaces a folder's DACL with one that denies Everyone the rights to add
// files and folders to it, and puts the old one back when destroyed.
class RestrictedFolder {
public:
    explicit RestrictedFolder(const std::wstring &path);
    ~RestrictedFolder();
    RestrictedFolder(const RestrictedFolder &) = delete;
    RestrictedFolder &operator=(const RestrictedFolder &) = delete;
    bool ok() const { return ok_; }

private:
    std::wstring path_;
    std::vector<BYTE> saved_;
    bool ok_ = false;
};

// Points the user's desktop folder at `path` (a small file system that
// tools/test mounts, see BRISVANE_SMALL_DISK) until destroyed, as a user's
// own redirected desktop would be.
class DesktopMoved {
public:
    explicit DesktopMoved(const std::wstring &path);
    ~DesktopMoved();
    DesktopMoved(const DesktopMoved &) = delete;
    DesktopMoved &operator=(const DesktopMoved &) = delete;

private:
    std::vector<BYTE> saved_;
    DWORD type_ = 0;
    bool had_ = false;
};

} // namespace harness
