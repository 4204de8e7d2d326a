// The shipped brisvane.exe and brisvane-backup.exe read back as files and as
// data modules: their PE headers, imports and every resource they carry.
// Every arrangement reads the same 32-bit exes, the 64-bit twin's tests
// included.
#include "app/resource.h"
#include "harness/program.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace {

// Where the test runner says the shipped exes are; beside the tests otherwise.
std::wstring ShippedPath(const wchar_t *name = L"brisvane.exe")
{
    wchar_t path[MAX_PATH] = L"";
    DWORD n = GetEnvironmentVariableW(L"BRISVANE_SHIPPED", path, MAX_PATH);
    std::wstring tool = n && n < MAX_PATH ? path : harness::PathBeside();
    return tool.substr(0, tool.find_last_of(L"\\/") + 1) + name;
}

// The exe laid out as the loader would map it, by hand: a 64-bit process
// cannot map a 32-bit image.
struct Image {
    std::vector<BYTE> bytes;
    const IMAGE_NT_HEADERS32 *nt = nullptr;   // null where the file could not be read
    explicit Image(const wchar_t *name)
    {
        std::ifstream in(ShippedPath(name).c_str(), std::ios::binary);
        std::vector<BYTE> file(std::istreambuf_iterator<char>(in), {});
        if (file.size() < sizeof(IMAGE_DOS_HEADER))
            return;
        LONG at = reinterpret_cast<const IMAGE_DOS_HEADER *>(file.data())->e_lfanew;
        auto headers = reinterpret_cast<const IMAGE_NT_HEADERS32 *>(&file[at]);
        bytes.assign(headers->OptionalHeader.SizeOfImage, 0);
        std::memcpy(bytes.data(), file.data(), headers->OptionalHeader.SizeOfHeaders);
        auto section = IMAGE_FIRST_SECTION(headers);
        for (WORD i = 0; i < headers->FileHeader.NumberOfSections; ++i, ++section)
            std::memcpy(&bytes[section->VirtualAddress], &file[section->PointerToRawData],
                        std::min(section->SizeOfRawData, section->Misc.VirtualSize));
        nt = At<IMAGE_NT_HEADERS32>(at);
    }
    template <class T> const T *At(DWORD rva) const { return reinterpret_cast<const T *>(bytes.data() + rva); }
};

TEST(Executable, PeHeader)
{
    for (const wchar_t *name : {L"brisvane.exe", L"brisvane-backup.exe", L"brisvane-path.exe"}) {
        SCOPED_TRACE(harness::ToUtf8(name));
        Image image(name);
        const IMAGE_NT_HEADERS32 *nt = image.nt;
        ASSERT_NE(nullptr, nt);
        ASSERT_EQ(DWORD(IMAGE_NT_SIGNATURE), nt->Signature);
        const auto &opt = nt->OptionalHeader;
        const struct {
            const char *field;
            unsigned actual, expected;
        } rows[] = {
            {"machine", nt->FileHeader.Machine, IMAGE_FILE_MACHINE_I386},
            {"optional header magic", opt.Magic, IMAGE_NT_OPTIONAL_HDR32_MAGIC},
            {"subsystem", opt.Subsystem, IMAGE_SUBSYSTEM_WINDOWS_GUI},
            {"subsystem major version", opt.MajorSubsystemVersion, 4},
            {"subsystem minor version", opt.MinorSubsystemVersion, 0},
            {"DYNAMIC_BASE", unsigned(opt.DllCharacteristics & IMAGE_DLLCHARACTERISTICS_DYNAMIC_BASE), 0x40},
            {"NX_COMPAT", unsigned(opt.DllCharacteristics & IMAGE_DLLCHARACTERISTICS_NX_COMPAT), 0x100},
            {"time stamp (reproducible)", nt->FileHeader.TimeDateStamp, 0},
            {"executable image", unsigned(nt->FileHeader.Characteristics & IMAGE_FILE_EXECUTABLE_IMAGE), 2},
            {"not a DLL", unsigned(nt->FileHeader.Characteristics & IMAGE_FILE_DLL), 0},
        };
        for (const auto &row : rows)
            EXPECT_EQ(row.expected, row.actual) << row.field;
    }
}

// Every function each exe imports, by DLL: each one checked to be in that
// DLL on Windows XP. A new import fails here until it has been checked and
// added. What MinGW-w64's start-up code imports comes with every exe.
using Imports = std::map<std::string, std::set<std::string>>;
const Imports kStartUp = {
    {"KERNEL32.DLL",
     {"DeleteCriticalSection", "EnterCriticalSection", "FreeLibrary", "GetLastError", "GetModuleHandleA",
      "GetProcAddress", "GetStartupInfoA", "InitializeCriticalSection", "LeaveCriticalSection", "LoadLibraryA",
      "SetUnhandledExceptionFilter", "Sleep", "TlsGetValue", "VirtualProtect", "VirtualQuery"}},
    {"MSVCRT.DLL",
     {"__getmainargs", "__initenv", "__p__acmdln", "__p__commode", "__p__fmode", "__set_app_type",
      "__setusermatherr", "_amsg_exit", "_cexit", "_initterm", "_iob", "_onexit", "abort", "calloc", "exit",
      "fprintf", "free", "fwrite", "malloc", "memcpy", "signal", "strlen", "strncmp", "vfprintf"}},
};

TEST(Executable, ImportsOnlyWhatWindowsXpHas)
{
    static const struct {
        const wchar_t *name;
        Imports own;
    } rows[] = {
        {L"brisvane.exe",
         {{"ADVAPI32.DLL", {"RegCloseKey", "RegCreateKeyExA", "RegDeleteValueA"}},
          {"COMCTL32.DLL", {"InitCommonControls"}},
          {"KERNEL32.DLL", {"lstrcatA", "lstrcpyA"}},
          {"SHLWAPI.DLL", {"SHDeleteKeyA"}},
          {"USER32.DLL", {"DialogBoxParamA", "EnableWindow", "EndDialog", "GetDlgItem", "MessageBoxA", "SendMessageA"}}}},
        {L"brisvane-backup.exe",
         {{"ADVAPI32.DLL", {"RegCloseKey", "RegEnumKeyExW", "RegEnumValueW", "RegOpenKeyExW", "RegQueryInfoKeyW"}},
          {"COMCTL32.DLL", {"InitCommonControls"}},
          {"KERNEL32.DLL",
           {"CloseHandle", "CompareFileTime", "CreateFileW", "DeleteFileW", "FlushFileBuffers", "FormatMessageW",
            "GetCurrentProcess", "GetLocalTime", "GetProcessHeap", "HeapAlloc", "HeapFree", "HeapReAlloc",
            "LCMapStringW", "MoveFileExW", "WriteFile", "lstrlenW"}},
          {"SHELL32.DLL", {"SHGetFolderPathW"}},
          {"USER32.DLL", {"MessageBoxW", "wsprintfW", "wvsprintfW"}}}},
        {L"brisvane-path.exe",
         {{"ADVAPI32.DLL", {"RegOpenKeyExW", "RegQueryValueExW", "RegSetValueExW"}},
          {"COMCTL32.DLL", {"InitCommonControls"}},
          {"KERNEL32.DLL",
           {"CloseHandle", "CompareFileTime", "CreateFileW", "ExpandEnvironmentStringsW", "FindClose", "FindFirstFileW",
            "FindNextFileW", "FormatMessageW", "GetCommandLineW", "GetFileAttributesW", "GetFileSizeEx",
            "GetProcessHeap", "HeapAlloc", "ReadFile", "SetLastError", "lstrcmpiW", "lstrcpynW", "lstrlenW"}},
          {"SHELL32.DLL", {"CommandLineToArgvW", "SHGetFolderPathW"}},
          {"SHLWAPI.DLL", {"PathIsRootW", "PathRemoveBackslashW", "PathRemoveFileSpecW"}},
          {"USER32.DLL", {"CharUpperW", "MessageBoxW", "SendMessageTimeoutW", "wsprintfW", "wvsprintfW"}}}},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(harness::ToUtf8(row.name));
        Image image(row.name);
        ASSERT_NE(nullptr, image.nt);
        const auto &directories = image.nt->OptionalHeader.DataDirectory;
        Imports expected = row.own, imported;
        for (const auto &[dll, functions] : kStartUp)
            expected[dll].insert(functions.begin(), functions.end());
        for (auto imp = image.At<IMAGE_IMPORT_DESCRIPTOR>(directories[IMAGE_DIRECTORY_ENTRY_IMPORT].VirtualAddress);
             imp->Name; ++imp) {
            std::string name = image.At<char>(imp->Name);
            std::set<std::string> &functions = imported[CharUpperA(&name[0])];
            // By ordinal, a function has no name to check.
            for (auto thunk = image.At<DWORD>(imp->OriginalFirstThunk); *thunk; ++thunk)
                functions.insert(*thunk & IMAGE_ORDINAL_FLAG32 ? "#" + std::to_string(IMAGE_ORDINAL32(*thunk))
                                                              : image.At<char>(*thunk + 2));
        }
        for (const auto &[dll, functions] : imported)
            for (const std::string &function : functions)
                EXPECT_EQ(1u, expected[dll].count(function)) << dll << " " << function << ": not on the list";
        for (const auto &[dll, functions] : expected)
            for (const std::string &function : functions)
                EXPECT_EQ(1u, imported[dll].count(function)) << dll << " " << function << ": no longer imported";
        EXPECT_EQ(0u, directories[IMAGE_DIRECTORY_ENTRY_DELAY_IMPORT].Size);
    }
}

struct Resources : ::testing::Test {
    void SetUp() override { Load(L"brisvane.exe"); }
    void TearDown() override { FreeLibrary(module); }
    void Load(const wchar_t *name)
    {
        FreeLibrary(module);
        module = LoadLibraryExW(ShippedPath(name).c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
        ASSERT_NE(nullptr, module);
    }

    std::string Data(WORD type, WORD id)
    {
        HRSRC found = FindResourceExW(module, MAKEINTRESOURCEW(type), MAKEINTRESOURCEW(id),
                                      MAKELANGID(LANG_CHINESE, SUBLANG_CHINESE_SIMPLIFIED));
        if (!found)
            return {};
        auto data = static_cast<const char *>(LockResource(LoadResource(module, found)));
        return std::string(data, SizeofResource(module, found));
    }

    HMODULE module = nullptr;
};

BOOL CALLBACK EachLanguage(HMODULE, LPCWSTR type, LPCWSTR name, WORD language, LONG_PTR param)
{
    reinterpret_cast<std::set<std::string> *>(param)->insert(
        std::to_string(reinterpret_cast<ULONG_PTR>(type)) + "/" + std::to_string(reinterpret_cast<ULONG_PTR>(name)) +
        "/" + std::to_string(language));
    return TRUE;
}
BOOL CALLBACK EachName(HMODULE module, LPCWSTR type, LPWSTR name, LONG_PTR param)
{
    EnumResourceLanguagesW(module, type, name, EachLanguage, param);
    return TRUE;
}
BOOL CALLBACK EachType(HMODULE module, LPWSTR type, LONG_PTR param)
{
    EnumResourceNamesW(module, type, EachName, param);
    return TRUE;
}

// type / id / language: the tool's dialog, and the same icon and a
// manifest in both.
TEST_F(Resources, ExactlyTheDialogIconAndManifest)
{
    const std::set<std::string> icon = {
        "3/1/2052", "3/2/2052", "3/3/2052", "3/4/2052", "3/5/2052", // RT_ICON
        "14/1/2052",                                                  // RT_GROUP_ICON
        "24/1/2052",                                                  // RT_MANIFEST
    };
    std::set<std::string> tool = icon;
    tool.insert("5/101/2052");                                        // RT_DIALOG
    std::string iconData;
    for (const auto &[name, expected] :
         {std::pair{L"brisvane.exe", tool}, {L"brisvane-backup.exe", icon}, {L"brisvane-path.exe", icon}}) {
        SCOPED_TRACE(harness::ToUtf8(name));
        Load(name);
        std::set<std::string> found;
        EnumResourceTypesW(module, EachType, reinterpret_cast<LONG_PTR>(&found));
        EXPECT_EQ(expected, found);
        std::string images;
        for (WORD id = 1; id <= 5; ++id)
            images += Data(3, id);
        EXPECT_TRUE(iconData.empty() || iconData == images) << "the tool's own icon";
        iconData = images;
    }
}

// A cursor over a resource's data: an icon group, a classic dialog template.
struct Reader {
    const std::string &data;
    size_t at = 0;
    // The next T, or zeros past the end.
    template <class T> T Next()
    {
        T value{};
        if (at + sizeof value <= data.size())
            std::memcpy(&value, &data[at], sizeof value);
        at += sizeof value;
        return value;
    }
    WORD Word() { return Next<WORD>(); }
    DWORD Dword() { return Next<DWORD>(); }
    // A string, or an ordinal (0xFFFF, then its value) given as "#value".
    std::wstring Text()
    {
        std::wstring s;
        for (WORD w = Word(); w; w = Word()) {
            if (w == 0xFFFF && s.empty())
                return L"#" + std::to_wstring(Word());
            s += wchar_t(w);
        }
        return s;
    }
};

#pragma pack(push, 2)
struct GroupIconEntry {
    BYTE width, height, colours, reserved;
    WORD planes, bitCount;
    DWORD bytes;
    WORD id;
};
#pragma pack(pop)

TEST_F(Resources, IconGroupHoldsFiveBmpImagesInOrder)
{
    std::string group = Data(14, IDI_APP);
    ASSERT_GE(group.size(), 6u);
    Reader r{group, 4};
    ASSERT_EQ(5, r.Word());
    ASSERT_EQ(6 + 5 * sizeof(GroupIconEntry), group.size());
    static const struct {
        int size, bits;
    } expected[] = {{32, 8}, {16, 8}, {48, 32}, {32, 24}, {16, 32}};
    for (int i = 0; i < 5; ++i) {
        SCOPED_TRACE("icon " + std::to_string(i + 1));
        const auto entry = r.Next<GroupIconEntry>();
        EXPECT_EQ(i + 1, entry.id);
        EXPECT_EQ(expected[i].size, entry.width);
        EXPECT_EQ(expected[i].size, entry.height);
        EXPECT_EQ(expected[i].bits, entry.bitCount);
        std::string image = Data(3, entry.id);
        ASSERT_GE(image.size(), sizeof(BITMAPINFOHEADER));
        EXPECT_EQ(entry.bytes, image.size());
        const auto header = Reader{image}.Next<BITMAPINFOHEADER>();
        EXPECT_EQ(sizeof header, header.biSize) << "stored as a BMP, not a PNG";
        EXPECT_EQ(expected[i].size, header.biWidth);
        EXPECT_EQ(expected[i].size * 2, header.biHeight); // colour and mask
        EXPECT_EQ(expected[i].bits, header.biBitCount);
    }
}

TEST_F(Resources, ManifestAsksForCommonControls6AndNoElevation)
{
    static const struct {
        const wchar_t *name;
        const char *identity;
    } rows[] = {
        {L"brisvane.exe", "<assemblyIdentity processorArchitecture=\"x86\" version=\"5.1.0.0\" type=\"win32\" "
                          "name=\"test.exe\"/>\n  <description>Test Application</description>"},
        {L"brisvane-backup.exe", "<assemblyIdentity processorArchitecture=\"x86\" version=\"1.0.0.0\" "
                                 "type=\"win32\" name=\"Brisvane.Backup\"/>"},
        {L"brisvane-path.exe", "<assemblyIdentity processorArchitecture=\"x86\" version=\"1.0.0.0\" "
                               "type=\"win32\" name=\"Brisvane.Path\"/>"},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(harness::ToUtf8(row.name));
        Load(row.name);
        std::string manifest = Data(24, 1);
        ASSERT_FALSE(manifest.empty());
        const char *const present[] = {
            "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>",
            "<assembly xmlns=\"urn:schemas-microsoft-com:asm.v1\" manifestVersion=\"1.0\">",
            row.identity,
            "<assemblyIdentity type=\"win32\" name=\"Microsoft.Windows.Common-Controls\" version=\"6.0.0.0\" "
            "publicKeyToken=\"6595b64144ccf1df\" language=\"*\" processorArchitecture=\"x86\"/>",
        };
        for (const char *text : present)
            EXPECT_NE(std::string::npos, manifest.find(text)) << text;
        for (const char *text : {"trustInfo", "requestedExecutionLevel", "requireAdministrator"})
            EXPECT_EQ(std::string::npos, manifest.find(text)) << text;
        size_t first = manifest.find("<dependency>");
        EXPECT_NE(std::string::npos, first);
        EXPECT_EQ(std::string::npos, manifest.find("<dependency>", first + 1)) << "one dependency only";
    }
}

TEST_F(Resources, DialogTemplate)
{
    std::string data = Data(5, IDD_MAIN);
    ASSERT_FALSE(data.empty());
    Reader r{data};
    EXPECT_EQ(0x80C808C0u, r.Dword()) << "style";
    EXPECT_EQ(0u, r.Dword()) << "extended style";
    WORD items = r.Word();
    for (WORD expected : {0, 0, 303, 140})
        EXPECT_EQ(expected, r.Word()) << "x, y, width, height";
    EXPECT_EQ(L"", r.Text()) << "menu";
    EXPECT_EQ(L"", r.Text()) << "class";
    EXPECT_EQ(harness::kCaption, r.Text());
    EXPECT_EQ(10, r.Word()) << "point size";
    EXPECT_EQ(L"\u5b8b\u4f53", r.Text()) << "font: SimSun";

    // Texts as code points, independent of the resource script's spelling.
    static const struct {
        const char *label;
        DWORD style;
        short x, y, cx, cy;
        WORD id;
        const wchar_t *cls, *text;
    } controls[] = {
        {"start button", 0x50010001, 125, 41, 48, 15, 1004, L"#128", L"\u5f00\u59cb\u6e05\u7406"},
        {"explanation", 0x50020000, 7, 13, 289, 22, 0xFFFF, L"#130",
         L"\u672c\u7a0b\u5e8f\u4f1a\u81ea\u52a8\u5220\u9664VC6.0\u5728\u7cfb\u7edf\u6ce8\u518c\u8868\u5185"
         L"\u7684\u9057\u7559\u4fe1\u606f\uff0c\u4f7f\u5f97\u4e4b\u524d\u7528\u6237\u8bbe\u7f6e\u5168\u90e8"
         L"\u91cd\u7f6e\uff0c\u65b9\u4fbf\u91cd\u65b0\u5b89\u88c5\u3002"},
        {"progress list", 0x50A10103, 7, 88, 289, 45, 1005, L"#131", L""},
        {"progress label", 0x50020000, 7, 72, 48, 10, 0xFFFF, L"#130", L"\u5904\u7406\u8fdb\u5ea6\uff1a"},
        {"blog label", 0x50020000, 161, 74, 135, 9, 0xFFFF, L"#130", L"\u4f5c\u8005\u535a\u5ba2\uff1a"},
    };
    ASSERT_EQ(std::size(controls), items);
    for (const auto &c : controls) {
        SCOPED_TRACE(c.label);
        r.at = (r.at + 3) & ~size_t(3); // each item starts on a DWORD boundary
        EXPECT_EQ(c.style, r.Dword());
        EXPECT_EQ(0u, r.Dword()) << "extended style";
        for (short expected : {c.x, c.y, c.cx, c.cy})
            EXPECT_EQ(expected, short(r.Word())) << "x, y, width, height";
        EXPECT_EQ(c.id, r.Word());
        EXPECT_EQ(c.cls, r.Text());
        EXPECT_EQ(c.text, r.Text());
        EXPECT_EQ(0, r.Word()) << "creation data";
    }
    EXPECT_LE(data.size() - r.at, 3u) << "nothing after the last control";
}

} // namespace
