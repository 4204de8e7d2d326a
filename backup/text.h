// UTF-16 text and buffers on the process heap, for a program that takes no
// C++ runtime. A run keeps one failure state, as SQLite keeps mallocFailed
// on the connection rather than on each object: every text and buffer grows
// through HeapGrow, a block it cannot have marks the run (OutOfMemory) for
// good, and the program asks that alone before it trusts, writes or shows
// anything. A text added later cannot keep a failure to itself.
#pragma once

#include "platform/platform.h"

namespace backup {

// A block of the process heap grown to `count` items of `unit` bytes (a new
// one for null), or null when the heap has no room: `block` is then left as
// it was and the run is short of memory from then on, unless the caller can
// do without the block (`spare`: a value too large to read, named instead).
void *HeapGrow(void *block, size_t count, size_t unit, bool spare = false);
void HeapRelease(void *block);
bool OutOfMemory();

// Always NUL-terminated. An append that finds no room leaves the text as it
// was: what it holds is then incomplete, and OutOfMemory() says so.
class Text {
public:
    Text() = default;
    ~Text() { HeapRelease(data_); }
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

} // namespace backup
