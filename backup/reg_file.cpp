// Writing keys and values in the .reg format, as regedit itself exports them.
#include "backup/reg_file.h"

namespace regfile {

namespace {

// Backslashes and quotes escaped, as inside "..." in a .reg file.
std::wstring Quoted(const std::wstring &text)
{
    std::wstring out = L"\"";
    for (wchar_t c : text) {
        if (c == L'\\' || c == L'"')
            out += L'\\';
        out += c;
    }
    return out + L"\"";
}

// REG_SZ data that "..." gives back byte for byte: whole UTF-16 units, one
// terminating NUL and no other, and nothing a line cannot hold.
bool IsPlainString(const BYTE *data, DWORD size)
{
    if (size < sizeof(wchar_t) || size % sizeof(wchar_t))
        return false;
    const wchar_t *text = reinterpret_cast<const wchar_t *>(data);
    size_t length = size / sizeof(wchar_t) - 1;
    if (text[length] != L'\0')
        return false;
    for (size_t i = 0; i < length; ++i)
        if (text[i] == L'\0' || text[i] == L'\r' || text[i] == L'\n')
            return false;
    return true;
}

const wchar_t kDigits[] = L"0123456789abcdef";

// regedit's own layout: "xx," pairs, a line broken after the comma that
// reaches column 77, continued with a backslash and two spaces.
void AppendHex(std::wstring &out, size_t lineLength, DWORD type, const BYTE *data, DWORD size)
{
    std::wstring prefix = L"hex:";
    if (type != REG_BINARY) {
        wchar_t buffer[20];
        wsprintfW(buffer, L"hex(%x):", type);
        prefix = buffer;
    }
    out += prefix;
    lineLength += prefix.size();
    for (DWORD i = 0; i < size; ++i) {
        out += kDigits[data[i] >> 4];
        out += kDigits[data[i] & 15];
        if (i + 1 == size)
            break;
        out += L',';
        lineLength += 3;
        if (lineLength >= 77) {
            out += L"\\\r\n  ";
            lineLength = 2;
        }
    }
}

} // namespace

bool CanWriteName(const std::wstring &name)
{
    return name.find_first_of(L"\r\n") == std::wstring::npos;
}

bool CanWriteData(DWORD type, const BYTE *data, DWORD size)
{
    if (type != REG_SZ && type != REG_EXPAND_SZ && type != REG_MULTI_SZ)
        return true;
    return size == 0 || (size >= sizeof(wchar_t) && data[size / 2 * 2 - 1] == 0 && data[size / 2 * 2 - 2] == 0);
}

void AppendKey(std::wstring &out, const std::wstring &path)
{
    out += L"\r\n[" + path + L"]\r\n";
}

void AppendValue(std::wstring &out, const std::wstring &name, DWORD type, const BYTE *data, DWORD size)
{
    size_t start = out.size();
    out += name.empty() ? std::wstring(L"@") : Quoted(name);
    out += L'=';
    if (type == REG_SZ && IsPlainString(data, size)) {
        out += Quoted(reinterpret_cast<const wchar_t *>(data));
    } else if (type == REG_DWORD && size == sizeof(DWORD)) {
        DWORD value = 0;
        CopyMemory(&value, data, sizeof value);
        wchar_t buffer[20];
        wsprintfW(buffer, L"dword:%08x", value);
        out += buffer;
    } else {
        AppendHex(out, out.size() - start, type, data, size);
    }
    out += L"\r\n";
}

std::wstring CommentText(const std::wstring &text)
{
    std::wstring out;
    for (wchar_t c : text) {
        switch (c) {
        case L'%': out += L"%25"; break;
        case L'\r': out += L"%0D"; break;
        case L'\n': out += L"%0A"; break;
        case L'"': out += L"%22"; break;
        default: out += c;
        }
    }
    return out;
}

} // namespace regfile
