// UTF-16 text and buffers on the process heap, for a program that takes no
// C++ runtime. An allocation can fail: a text that could not grow says so
// from then on (Failed), SQLite's mallocFailed kept on the object itself,
// and the program checks it before it trusts, writes or shows the text.
#pragma once

#include "platform/platform.h"

namespace backup {

// A block of the process heap grown to `bytes` (a new one for null), or null
// when the heap has no room; `block` is then left as it was.
void *HeapGrow(void *block, size_t bytes);
void HeapRelease(void *block);

// Always NUL-terminated. An append that finds no room leaves the text as it
// was and sets Failed() for good: what it holds is then incomplete.
class Text {
public:
    Text() = default;
    ~Text() { HeapRelease(data_); }
    Text(const Text &) = delete;
    Text &operator=(const Text &) = delete;

    const wchar_t *Data() const { return data_ ? data_ : L""; }
    size_t Length() const { return length_; }
    bool Empty() const { return length_ == 0; }
    bool Failed() const { return failed_; }

    // Room for `count` more characters at the end, for the caller to fill
    // before anything else is appended; null (and Failed) when the heap has none.
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
    Text &Append(const Text &text)
    {
        failed_ |= text.failed_;
        return Append(text.Data(), text.Length());
    }
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
    bool failed_ = false;
};

} // namespace backup
