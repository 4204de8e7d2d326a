// Text on the process heap.
#include "backup/text.h"

#include <stdarg.h>

namespace backup {

void *HeapGrow(void *block, size_t bytes)
{
    HANDLE heap = GetProcessHeap();
    return block ? HeapReAlloc(heap, 0, block, bytes) : HeapAlloc(heap, 0, bytes);
}

void HeapRelease(void *block)
{
    if (block)
        HeapFree(GetProcessHeap(), 0, block);
}

// Room for `length` characters and the NUL, grown by half again each time so
// that a file of many small appends costs few copies.
bool Text::Reserve(size_t length)
{
    size_t capacity = capacity_ + capacity_ / 2;
    if (capacity <= length)
        capacity = length + 1;
    if (capacity < 256)
        capacity = 256;
    // Sizes no heap can give fail here, before the byte count could wrap round.
    void *grown = capacity <= MAXDWORD / 2 / sizeof(wchar_t) ? HeapGrow(data_, capacity * sizeof(wchar_t)) : nullptr;
    if (!grown) {
        failed_ = true;
        return false;
    }
    data_ = static_cast<wchar_t *>(grown);
    capacity_ = capacity;
    return true;
}

Text &Text::Append(const wchar_t *text, size_t length)
{
    if (wchar_t *at = Extend(length))
        CopyMemory(at, text, length * sizeof(wchar_t));
    return *this;
}

Text &Text::Format(const wchar_t *format, ...)
{
    wchar_t buffer[1025];
    va_list arguments;
    va_start(arguments, format);
    wvsprintfW(buffer, format, arguments);
    va_end(arguments);
    return Append(buffer);
}

void Text::Truncate(size_t length)
{
    if (length < length_) {
        length_ = length;
        data_[length_] = L'\0';
    }
}

} // namespace backup
