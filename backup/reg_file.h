// The .reg format that regedit exports and imports ("Windows Registry Editor
// Version 5.00"): UTF-16LE text, CRLF line ends. Only what regedit reads back
// to the same bytes is written; the rest is left for the caller to report.
#pragma once

#include "platform/platform.h"

#include <string>

namespace regfile {

inline constexpr wchar_t kHeader[] = L"\uFEFFWindows Registry Editor Version 5.00\r\n";

// regedit hands a key line's path below the root to one registry call, which
// takes at most this many characters.
inline constexpr size_t kMaxPathBelowRoot = 32766;

// A line break cannot stand in a .reg line, neither raw nor (for every
// regedit) escaped: a key or value name holding one cannot be written.
bool CanWriteName(const std::wstring &name);

// regedit ends string data (REG_SZ, REG_EXPAND_SZ, REG_MULTI_SZ) with a NUL
// when it reads one without: such a value cannot come back as it was.
bool CanWriteData(DWORD type, const BYTE *data, DWORD size);

// "\r\n[path]\r\n": a key, created by regedit if it is missing.
void AppendKey(std::wstring &out, const std::wstring &path);

// One value line, at its exact type and bytes: "name"=... or @=... for the
// default value. Strings that are not plain text, and every type regedit
// has no plain form for, are written as hex(N):, continued as regedit does.
void AppendValue(std::wstring &out, const std::wstring &name, DWORD type, const BYTE *data, DWORD size);

// A comment line, with %, CR, LF and " written as %25, %0D, %0A and %22 so
// that any name fits on it and can be read back.
std::wstring CommentText(const std::wstring &text);

} // namespace regfile
