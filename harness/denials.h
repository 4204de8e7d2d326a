// Real faults: access denied, made with DACLs (a registry key the tool may
// read but not delete, a folder no file can be written to), and a desktop on
// a disk too small for what is written to it. Each lasts until its object is
// destroyed, which puts back what it replaced; ok(): the change was made.
#pragma once

#include "platform/platform.h"

#include <functional>
#include <string>

namespace harness {

class Change {
public:
    Change() = default;
    Change(const Change &) = delete;
    ~Change() { if (undo_) undo_(); }
    bool ok() const { return bool(undo_); }

protected:
    std::function<void()> undo_;
};

// Everyone denied all but `granted` (and the rights to put the old owner and DACL back).
struct RestrictedKey : Change { RestrictedKey(HKEY root, const char *path, REGSAM granted); };
// Everyone denied adding files and folders to it.
struct RestrictedFolder : Change { explicit RestrictedFolder(const std::wstring &path); };
// The user's desktop pointed at `path` (the small disk of BRISVANE_SMALL_DISK), as a redirected desktop is.
struct DesktopMoved : Change { explicit DesktopMoved(const std::wstring &path); };

} // namespace harness
