// The .reg format that regedit exports and imports ("Windows Registry Editor
// Version 5.00"): UTF-16LE text, CRLF line ends. Only what regedit reads back
// to the same bytes is written; the rest is left for the caller to report.
#pragma once

#include "backup/text.h"

namespace regfile {

using backup::Text;

inline constexpr wchar_t kHeader[] = L"\uFEFFWindows Registry Editor Version 5.00\r\n";

// regedit hands a key line's path below the root to one registry call, which
// takes at most this many characters.
inline constexpr size_t kMaxPathBelowRoot = 32766;

// A line break cannot stand in a .reg line, neither raw nor (for every
// regedit) escaped, and a NUL (which the native API allows in a name) would
// end the name there: a key or value name holding either cannot be written.
bool CanWriteName(const wchar_t *name, size_t length);

// regedit ends string data (REG_SZ, REG_EXPAND_SZ, REG_MULTI_SZ) with a NUL
// when it reads one without: such a value, saved at its exact bytes all the
// same, may not come back as it was.
bool CanWriteData(DWORD type, const BYTE *data, DWORD size);

// "\r\n[path]\r\n": a key, created by regedit if it is missing.
void AppendKey(Text &out, const Text &path);

// One value line, at its exact type and bytes: "name"=... or @=... for the
// default value. Strings that are not plain text, and every type regedit
// has no plain form for, are written as hex(N):, continued as regedit does.
void AppendValue(Text &out, const wchar_t *name, size_t nameLength, DWORD type, const BYTE *data, DWORD size);

// "; name=text" on a line of its own, for string data (REG_SZ or
// REG_EXPAND_SZ) that one line can show as it is stored, `%...%` references
// unexpanded, with or without its terminating NUL: a value a user can read, and copy back by hand, without
// restoring the whole file. Nothing for data that is not such text.
void AppendReadable(Text &out, const wchar_t *name, size_t nameLength, DWORD type, const BYTE *data, DWORD size);

// Text for a comment line, with %, NUL, CR, LF and " written as %25, %00,
// %0D, %0A and %22 so that any name fits on it and can be read back.
void AppendComment(Text &out, const wchar_t *text, size_t length);

} // namespace regfile
