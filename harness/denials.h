// Real faults: access denied, made with DACLs (a registry key the tool may
// read but not delete, a folder no file can be written to), and a desktop
// on a disk too small for what is written to it.
#pragma once

#include "platform/platform.h"

#include <functional>
#include <string>

namespace harness {

// A change to the machine that lasts until destroyed, which puts back what
// it replaced. ok(): the change was made.
class Change {
public:
    Change() = default;
    Change(const Change &) = delete;
    Change &operator=(const Change &) = delete;
    ~Change() { if (undo_) undo_(); }
    bool ok() const { return bool(undo_); }

protected:
    std::function<void()> undo_;
};

// Replaces a key's owner and DACL with ones that deny Everyone all but
// `granted` (keeping the rights to put the old ones back).
struct RestrictedKey : Change {
    RestrictedKey(HKEY root, const char *path, REGSAM granted);
};

// Replaces a folder's DACL with one that denies Everyone the rights to add
// files and folders to it.
struct RestrictedFolder : Change {
    explicit RestrictedFolder(const std::wstring &path);
};

// Points the user's desktop folder at `path` (a small file system that
// tools/test mounts, see BRISVANE_SMALL_DISK), as a user's own redirected
// desktop would be.
struct DesktopMoved : Change {
    explicit DesktopMoved(const std::wstring &path);
};

} // namespace harness
