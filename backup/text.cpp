// Text on the process heap, and the run's one failure state.
#include "backup/text.h"

#include <stdarg.h>

namespace backup {

namespace {
bool g_outOfMemory = false;
}

void *HeapGrow(void *block, size_t count, size_t unit, bool spare)
{
    HANDLE heap = GetProcessHeap();
    void *grown = nullptr;
    // Sizes no heap can give fail here, before the byte count could wrap
    // round: over a thousand million characters, more than any test makes.
    if (count <= MAXDWORD / 2 / unit) // GCOVR_EXCL_BR_LINE
        grown = block ? HeapReAlloc(heap, 0, block, count * unit) : HeapAlloc(heap, 0, count * unit);
    g_outOfMemory |= !grown && !spare;
    return grown;
}

void HeapRelease(void *block)
{
    if (block)
        HeapFree(GetProcessHeap(), 0, block);
}

bool OutOfMemory()
{
    return g_outOfMemory;
}

// Room for `length` characters and the NUL, doubled each time and never
// under 4,096, so that a file of many small appends costs few copies (and
// a fault test few allocations to fail).
bool Text::Reserve(size_t length)
{
    size_t capacity = capacity_ * 2;
    if (capacity <= length)
        capacity = length + 1;
    if (capacity < 4096)
        capacity = 4096;
    void *grown = HeapGrow(data_, capacity, sizeof(wchar_t));
    if (!grown)
        return false;
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
