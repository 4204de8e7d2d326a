// Writing keys and values in the .reg format, as regedit itself exports them.
#include "backup/reg_file.h"

namespace regfile {

namespace {

// Backslashes and quotes escaped, as inside "..." in a .reg file. Written
// in place: a backup is mostly such text, and a call per character shows.
void AppendQuoted(Text &out, const wchar_t *text, size_t length)
{
    size_t escapes = 0;
    for (size_t i = 0; i < length; ++i)
        escapes += text[i] == L'\\' || text[i] == L'"';
    wchar_t *at = out.Extend(length + escapes + 2);
    if (!at)
        return;
    *at++ = L'"';
    for (size_t i = 0; i < length; ++i) {
        if (text[i] == L'\\' || text[i] == L'"')
            *at++ = L'\\';
        *at++ = text[i];
    }
    *at = L'"';
}

// String data that one line shows as it is stored: whole UTF-16 units, no
// NUL, CR or LF but for a NUL at the end. `length` gets its units before it.
bool IsLine(const BYTE *data, DWORD size, size_t &length)
{
    const wchar_t *text = reinterpret_cast<const wchar_t *>(data);
    length = size / sizeof(wchar_t);
    if (length && text[length - 1] == L'\0')
        --length;
    for (size_t i = 0; i < length; ++i)
        if (text[i] == L'\0' || text[i] == L'\r' || text[i] == L'\n')
            return false;
    return size % sizeof(wchar_t) == 0;
}

// REG_SZ data that "..." gives back byte for byte: such a line, and its NUL.
bool IsPlainString(const BYTE *data, DWORD size, size_t &length)
{
    return IsLine(data, size, length) && (length + 1) * sizeof(wchar_t) == size;
}

const wchar_t kDigits[] = L"0123456789abcdef";

// `value` in lower-case hex: `width` digits, or as few as it takes for 0.
void AppendHexNumber(Text &out, DWORD value, int width)
{
    wchar_t digits[8];
    int count = 0;
    do
        digits[7 - count++] = kDigits[value & 15];
    while ((value >>= 4) || count < width);
    out.Append(digits + 8 - count, size_t(count));
}

// regedit's own layout: "xx," pairs, a line broken after the comma that
// reaches column 77, continued with a backslash and two spaces.
void AppendHex(Text &out, size_t lineLength, DWORD type, const BYTE *data, DWORD size)
{
    size_t start = out.Length();
    if (type == REG_BINARY) {
        out.Append(L"hex:");
    } else {
        out.Append(L"hex(");
        AppendHexNumber(out, type, 0);
        out.Append(L"):");
    }
    lineLength += out.Length() - start;
    // Room for the longest outcome, in place: every line but the first holds
    // 25 pairs, and the first holds at least one.
    size_t room = size_t(size) * 3 + (size_t(size) / 25 + 2) * 5;
    wchar_t *at = out.Extend(room), *begin = at;
    if (!at)
        return;
    for (DWORD i = 0; i < size; ++i) {
        *at++ = kDigits[data[i] >> 4];
        *at++ = kDigits[data[i] & 15];
        if (i + 1 == size)
            break;
        *at++ = L',';
        lineLength += 3;
        if (lineLength >= 77) {
            static const wchar_t kBreak[] = L"\\\r\n  ";
            CopyMemory(at, kBreak, 5 * sizeof(wchar_t));
            at += 5;
            lineLength = 2;
        }
    }
    out.Truncate(out.Length() - room + size_t(at - begin));
}

} // namespace

bool CanWriteName(const wchar_t *name, size_t length)
{
    for (size_t i = 0; i < length; ++i)
        if (name[i] == L'\r' || name[i] == L'\n' || name[i] == L'\0')
            return false;
    return true;
}

bool CanWriteData(DWORD type, const BYTE *data, DWORD size)
{
    if (type != REG_SZ && type != REG_EXPAND_SZ && type != REG_MULTI_SZ)
        return true;
    return size == 0 || (size >= sizeof(wchar_t) && data[size / 2 * 2 - 1] == 0 && data[size / 2 * 2 - 2] == 0);
}

void AppendKey(Text &out, const Text &path)
{
    out.Append(L"\r\n[").Append(path).Append(L"]\r\n");
}

void AppendValue(Text &out, const wchar_t *name, size_t nameLength, DWORD type, const BYTE *data, DWORD size)
{
    size_t start = out.Length();
    if (nameLength == 0)
        out.Append(L'@');
    else
        AppendQuoted(out, name, nameLength);
    out.Append(L'=');
    size_t length = 0;
    if (type == REG_SZ && IsPlainString(data, size, length)) {
        AppendQuoted(out, reinterpret_cast<const wchar_t *>(data), length);
    } else if (type == REG_DWORD && size == sizeof(DWORD)) {
        DWORD value = 0;
        CopyMemory(&value, data, sizeof value);
        out.Append(L"dword:");
        AppendHexNumber(out, value, 8);
    } else {
        AppendHex(out, out.Length() - start, type, data, size);
    }
    out.Append(L"\r\n");
}

void AppendReadable(Text &out, const wchar_t *name, size_t nameLength, DWORD type, const BYTE *data, DWORD size)
{
    size_t length = 0;
    if ((type != REG_SZ && type != REG_EXPAND_SZ) || !IsLine(data, size, length))
        return;
    out.Append(L"; ").Append(name, nameLength).Append(L'=');
    out.Append(reinterpret_cast<const wchar_t *>(data), length).Append(L"\r\n");
}

void AppendComment(Text &out, const wchar_t *text, size_t length)
{
    for (size_t i = 0; i < length; ++i) {
        switch (text[i]) {
        case L'%': out.Append(L"%25"); break;
        case L'\0': out.Append(L"%00"); break;
        case L'\r': out.Append(L"%0D"); break;
        case L'\n': out.Append(L"%0A"); break;
        case L'"': out.Append(L"%22"); break;
        default: out.Append(text[i]);
        }
    }
}

} // namespace regfile
