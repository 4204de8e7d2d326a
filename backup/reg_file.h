// The .reg format that regedit exports and imports ("Windows Registry Editor
// Version 5.00"): UTF-16LE text, CRLF line ends. Only what regedit reads back
// to the same bytes is written; the rest is left for the caller to report.
// The text it is written into grows on the process heap.
#pragma once

#include "platform/platform.h"

namespace regfile {

// A block of the process heap grown to `bytes` (a new one for null), or null
// when the heap has no room; `block` is then left as it was, and
// OutOfMemory() says so from then on.
void *Grow(void *block, size_t bytes);
void Free(void *block);
// Whether any growth failed: whatever was being built is incomplete, and is
// checked for once, before anything is written.
bool OutOfMemory();

// UTF-16 text on the process heap, always NUL-terminated. An append that
// finds no room leaves it as it was (see OutOfMemory).
class Text {
public:
    Text() = default;
    ~Text();
    Text(const Text &) = delete;
    Text &operator=(const Text &) = delete;

    const wchar_t *Data() const { return data_ ? data_ : L""; }
    size_t Length() const { return length_; }
    bool Empty() const { return length_ == 0; }

    // Room for `count` more characters at the end, for the caller to fill
    // before anything else is appended; null when the heap has none.
    wchar_t *Extend(size_t count)
    {
        if (length_ + count >= capacity_ && !Reserve(length_ + count))
            return nullptr;
        wchar_t *at = data_ + length_;
        length_ += count;
        data_[length_] = L'\0';
        return at;
    }

    Text &Append(const wchar_t *text, size_t length);
    Text &Append(const wchar_t *text) { return Append(text, size_t(lstrlenW(text))); }
    Text &Append(const Text &text) { return Append(text.Data(), text.Length()); }
    Text &Append(wchar_t c)
    {
        if (wchar_t *at = Extend(1))
            *at = c;
        return *this;
    }
    // printf-style, through wsprintfW: at most 1,024 characters.
    Text &Format(const wchar_t *format, ...);
    void Truncate(size_t length);

private:
    bool Reserve(size_t length);
    wchar_t *data_ = nullptr;
    size_t length_ = 0, capacity_ = 0;
};

inline constexpr wchar_t kHeader[] = L"\uFEFFWindows Registry Editor Version 5.00\r\n";

// regedit hands a key line's path below the root to one registry call, which
// takes at most this many characters.
inline constexpr size_t kMaxPathBelowRoot = 32766;

// A line break cannot stand in a .reg line, neither raw nor (for every
// regedit) escaped: a key or value name holding one cannot be written.
bool CanWriteName(const wchar_t *name, size_t length);

// regedit ends string data (REG_SZ, REG_EXPAND_SZ, REG_MULTI_SZ) with a NUL
// when it reads one without: such a value cannot come back as it was.
bool CanWriteData(DWORD type, const BYTE *data, DWORD size);

// "\r\n[path]\r\n": a key, created by regedit if it is missing.
void AppendKey(Text &out, const Text &path);

// One value line, at its exact type and bytes: "name"=... or @=... for the
// default value. Strings that are not plain text, and every type regedit
// has no plain form for, are written as hex(N):, continued as regedit does.
void AppendValue(Text &out, const wchar_t *name, size_t nameLength, DWORD type, const BYTE *data, DWORD size);

// "; name=text" on a line of its own, for string data (REG_SZ or
// REG_EXPAND_SZ) that one line can show as it is stored, `%...%` references
// unexpanded: a value a user can read, and copy back by hand, without
// restoring the whole file. Nothing for data that is not such text.
void AppendReadable(Text &out, const wchar_t *name, size_t nameLength, DWORD type, const BYTE *data, DWORD size);

// Text for a comment line, with %, CR, LF and " written as %25, %0D, %0A and
// %22 so that any name fits on it and can be read back.
void AppendComment(Text &out, const wchar_t *text, size_t length);

} // namespace regfile
