// What the backup reads: the cleanup's own targets, in the view the cleanup
// works in, written out as one .reg file with what it could not carry named.
#pragma once

#include "platform/platform.h"

#include <string>
#include <vector>

namespace backup {

// Something the file cannot restore, with why: a key (and everything below
// it) or one of a key's values.
struct Missed {
    std::wstring path;      // the key, as the file names keys
    bool isValue = false;
    std::wstring value;     // the value's name, when isValue
    const wchar_t *reason;
};

struct Result {
    std::wstring text;                       // the whole file, header included
    std::vector<std::wstring> found, absent; // the trees, and the environment values
    std::vector<Missed> missed;
    bool AnythingFound() const { return !found.empty(); }
};

// Reads every target tree and the environment values that exist. `stamp`
// goes into the file's opening comment.
Result Collect(const std::wstring &stamp);

// The message the user reads at the end, for a file at `path` (empty when
// no file was written) and `error` (a system message, or empty).
std::wstring Message(const Result &result, const std::wstring &path, const std::wstring &error);

} // namespace backup
