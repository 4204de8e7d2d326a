// What the backup reads: the cleanup's own targets, in the view the cleanup
// works in, written out as one .reg file with what it could not carry named.
#pragma once

#include "backup/reg_file.h"

namespace backup {

struct Result {
    regfile::Text head;           // the file's header and its list of what it leaves out
    regfile::Text body;           // the keys and values, after the head
    regfile::Text found, absent;  // the trees and environment values, a message line each
    regfile::Text missed;         // the first few of what is left out, a message line each
    unsigned missedCount = 0;

    bool AnythingFound() const { return !found.Empty(); }
};

// Reads every target tree and the environment values that exist. `stamp`
// goes into the file's opening comment.
void Collect(Result &result, const wchar_t *stamp);

// The message the user reads at the end, for a file at `path` (empty when
// no file was written) and `error`: why no file was written, or, beside a
// path, why it is not on the desktop.
void Message(regfile::Text &out, const Result &result, const regfile::Text &path, const regfile::Text &error);

} // namespace backup
