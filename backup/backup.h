// What the backup reads: the cleanup's own targets, in the view the cleanup
// works in, written out as one .reg file with what it could not carry named.
#pragma once

#include "backup/reg_file.h"

namespace backup {

struct Result {
    Text head;           // the file's header and its list of what it leaves out
    Text body;           // the keys and values, after the head
    Text found, absent;  // the trees and environment values, a message line each
    Text missed;         // the first few of what is left out, a message line each
    unsigned missedCount = 0;
    bool unknown = false;      // some of what the cleanup deletes could not be read

    // Found, or not known to be absent: a file is written.
    bool AnythingToSave() const { return !found.Empty() | (missedCount != 0); }
};

// Reads every target tree and the environment values that exist. `stamp`
// goes into the file's opening comment.
void Collect(Result &result, const wchar_t *stamp);

// A saved file's path: a folder's (at most MAX_PATH) and the file's name.
const int kPathSize = MAX_PATH + 48;

// The message the user reads at the end, for a file at `path` (empty when
// no file was written) and `error`: why no file was written, or, beside a
// path, why it is not on the desktop.
void Message(Text &out, const Result &result, const wchar_t *path, const Text &error);

// Saves the file on the desktop, else in Documents, never over another
// file; `path` gets its path, `error` a line for each folder that failed.
bool Save(const Result &result, const SYSTEMTIME &now, wchar_t (&path)[kPathSize], Text &error);

} // namespace backup
