// The built brisvane.exe read back as a file and as a data module: its PE
// header, imports and every resource it carries.
#include "app/resource.h"
#include "tests/support/ui.h"

#include <gtest/gtest.h>

#include <cstring>
#include <iterator>
#include <set>
#include <string>
#include <vector>

namespace {

// The tool mapped as an image, with nothing of it run.
struct Image {
    HMODULE module = LoadLibraryExW(ui::ToolPath().c_str(), nullptr, DONT_RESOLVE_DLL_REFERENCES);
    ~Image() { FreeLibrary(module); }
    const BYTE *At(DWORD rva) const { return reinterpret_cast<const BYTE *>(module) + rva; }
    const IMAGE_NT_HEADERS32 *Nt() const
    {
        auto dos = reinterpret_cast<const IMAGE_DOS_HEADER *>(At(0));
        return reinterpret_cast<const IMAGE_NT_HEADERS32 *>(At(dos->e_lfanew));
    }
};

TEST(Executable, PeHeader)
{
    Image image;
    ASSERT_NE(nullptr, image.module);
    const IMAGE_NT_HEADERS32 *nt = image.Nt();
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

// Only DLLs present on every Windows from XP on; no MinGW runtime DLLs.
TEST(Executable, ImportsOnlySystemDlls)
{
    Image image;
    ASSERT_NE(nullptr, image.module);
    const auto &directories = image.Nt()->OptionalHeader.DataDirectory;
    std::set<std::string> imported;
    for (auto imp = reinterpret_cast<const IMAGE_IMPORT_DESCRIPTOR *>(
             image.At(directories[IMAGE_DIRECTORY_ENTRY_IMPORT].VirtualAddress));
         imp->Name; ++imp) {
        std::string name = reinterpret_cast<const char *>(image.At(imp->Name));
        for (char &c : name)
            c = char(toupper(static_cast<unsigned char>(c)));
        imported.insert(name);
    }
    EXPECT_EQ((std::set<std::string>{"ADVAPI32.DLL", "COMCTL32.DLL", "KERNEL32.DLL", "MSVCRT.DLL", "SHLWAPI.DLL",
                                     "USER32.DLL"}),
              imported);
    EXPECT_EQ(0u, directories[IMAGE_DIRECTORY_ENTRY_DELAY_IMPORT].Size);
}

struct Resources : ::testing::Test {
    void SetUp() override
    {
        module = LoadLibraryExW(ui::ToolPath().c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
        ASSERT_NE(nullptr, module);
    }
    void TearDown() override { FreeLibrary(module); }

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

// type / id / language
TEST_F(Resources, ExactlyTheDialogIconAndManifest)
{
    std::set<std::string> found;
    EnumResourceTypesW(module, EachType, reinterpret_cast<LONG_PTR>(&found));
    const std::set<std::string> expected = {
        "3/1/2052", "3/2/2052", "3/3/2052", "3/4/2052", "3/5/2052", // RT_ICON
        "14/1/2052",                                                  // RT_GROUP_ICON
        "5/101/2052",                                                 // RT_DIALOG
        "24/1/2052",                                                  // RT_MANIFEST
    };
    EXPECT_EQ(expected, found);
}

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
    WORD count = 0;
    std::memcpy(&count, &group[4], 2);
    ASSERT_EQ(5, count);
    ASSERT_EQ(6 + 5 * sizeof(GroupIconEntry), group.size());
    static const struct {
        int size, bits;
    } expected[] = {{32, 8}, {16, 8}, {48, 32}, {32, 24}, {16, 32}};
    for (int i = 0; i < 5; ++i) {
        SCOPED_TRACE("icon " + std::to_string(i + 1));
        GroupIconEntry entry;
        std::memcpy(&entry, &group[6 + i * sizeof entry], sizeof entry);
        EXPECT_EQ(i + 1, entry.id);
        EXPECT_EQ(expected[i].size, entry.width);
        EXPECT_EQ(expected[i].size, entry.height);
        EXPECT_EQ(expected[i].bits, entry.bitCount);
        std::string image = Data(3, entry.id);
        ASSERT_GE(image.size(), sizeof(BITMAPINFOHEADER));
        EXPECT_EQ(entry.bytes, image.size());
        BITMAPINFOHEADER header;
        std::memcpy(&header, image.data(), sizeof header);
        EXPECT_EQ(sizeof header, header.biSize) << "stored as a BMP, not a PNG";
        EXPECT_EQ(expected[i].size, header.biWidth);
        EXPECT_EQ(expected[i].size * 2, header.biHeight); // colour and mask
        EXPECT_EQ(expected[i].bits, header.biBitCount);
    }
}

TEST_F(Resources, ManifestAsksForCommonControls6AndNoElevation)
{
    std::string manifest = Data(24, 1);
    ASSERT_FALSE(manifest.empty());
    static const char *const present[] = {
        "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>",
        "<assembly xmlns=\"urn:schemas-microsoft-com:asm.v1\" manifestVersion=\"1.0\">",
        "<assemblyIdentity processorArchitecture=\"x86\" version=\"5.1.0.0\" type=\"win32\" name=\"test.exe\"/>",
        "<description>Test Application</description>",
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

// A cursor over a classic dialog template.
struct Reader {
    const std::string &data;
    size_t at = 0;
    WORD Word()
    {
        WORD w = 0;
        if (at + 2 <= data.size())
            std::memcpy(&w, &data[at], 2);
        at += 2;
        return w;
    }
    DWORD Dword()
    {
        DWORD low = Word();
        return low | DWORD(Word()) << 16;
    }
    std::wstring Text()
    {
        std::wstring s;
        while (WORD w = Word())
            s += wchar_t(w);
        return s;
    }
    // A class or a text: an ordinal (0xFFFF then a value) or a string.
    std::wstring SzOrOrdinal()
    {
        if (at + 2 <= data.size() && static_cast<unsigned char>(data[at]) == 0xFF &&
            static_cast<unsigned char>(data[at + 1]) == 0xFF) {
            Word();
            return L"#" + std::to_wstring(Word());
        }
        return Text();
    }
    void Align() { at = (at + 3) & ~size_t(3); }
};

std::wstring Utf16(const char *utf8)
{
    wchar_t buffer[256];
    int n = MultiByteToWideChar(CP_UTF8, 0, utf8, -1, buffer, 256);
    return std::wstring(buffer, n > 0 ? n - 1 : 0);
}

TEST_F(Resources, DialogTemplate)
{
    std::string data = Data(5, IDD_MAIN);
    ASSERT_FALSE(data.empty());
    Reader r{data};
    EXPECT_EQ(0x80C808C0u, r.Dword()) << "style";
    EXPECT_EQ(0u, r.Dword()) << "extended style";
    WORD items = r.Word();
    EXPECT_EQ(0, r.Word()); // x
    EXPECT_EQ(0, r.Word()); // y
    EXPECT_EQ(303, r.Word());
    EXPECT_EQ(140, r.Word());
    EXPECT_EQ(L"", r.SzOrOrdinal()) << "menu";
    EXPECT_EQ(L"", r.SzOrOrdinal()) << "class";
    EXPECT_EQ(L"Brisvane" + std::wstring(37, L' ') + L"Built By Morvessa", r.Text());
    EXPECT_EQ(10, r.Word()) << "point size";
    EXPECT_EQ(L"\u5b8b\u4f53", r.Text()) << "font: SimSun";

    // The UTF-8 texts below are written as escapes of the characters' UTF-8
    // bytes, independent of the resource script's own spelling.
    static const struct {
        const char *label;
        DWORD style;
        short x, y, cx, cy;
        WORD id;
        const wchar_t *cls;
        const char *utf8;
    } controls[] = {
        {"start button", 0x50010001, 125, 41, 48, 15, 1004, L"#128",
         "\xe5\xbc\x80\xe5\xa7\x8b\xe6\xb8\x85\xe7\x90\x86"},
        {"explanation", 0x50020000, 7, 13, 289, 22, 0xFFFF, L"#130",
         "\xe6\x9c\xac\xe7\xa8\x8b\xe5\xba\x8f\xe4\xbc\x9a\xe8\x87\xaa\xe5\x8a\xa8\xe5\x88\xa0\xe9\x99\xa4"
         "VC6.0\xe5\x9c\xa8\xe7\xb3\xbb\xe7\xbb\x9f\xe6\xb3\xa8\xe5\x86\x8c\xe8\xa1\xa8\xe5\x86\x85\xe7\x9a\x84"
         "\xe9\x81\x97\xe7\x95\x99\xe4\xbf\xa1\xe6\x81\xaf\xef\xbc\x8c\xe4\xbd\xbf\xe5\xbe\x97\xe4\xb9\x8b"
         "\xe5\x89\x8d\xe7\x94\xa8\xe6\x88\xb7\xe8\xae\xbe\xe7\xbd\xae\xe5\x85\xa8\xe9\x83\xa8\xe9\x87\x8d"
         "\xe7\xbd\xae\xef\xbc\x8c\xe6\x96\xb9\xe4\xbe\xbf\xe9\x87\x8d\xe6\x96\xb0\xe5\xae\x89\xe8\xa3\x85"
         "\xe3\x80\x82"},
        {"progress list", 0x50A10103, 7, 88, 289, 45, 1005, L"#131", ""},
        {"progress label", 0x50020000, 7, 72, 48, 10, 0xFFFF, L"#130",
         "\xe5\xa4\x84\xe7\x90\x86\xe8\xbf\x9b\xe5\xba\xa6\xef\xbc\x9a"},
        {"blog label", 0x50020000, 161, 74, 135, 9, 0xFFFF, L"#130",
         "\xe4\xbd\x9c\xe8\x80\x85\xe5\x8d\x9a\xe5\xae\xa2\xef\xbc\x9a"},
    };
    ASSERT_EQ(std::size(controls), items);
    for (const auto &c : controls) {
        SCOPED_TRACE(c.label);
        r.Align();
        EXPECT_EQ(c.style, r.Dword());
        EXPECT_EQ(0u, r.Dword()) << "extended style";
        EXPECT_EQ(c.x, short(r.Word()));
        EXPECT_EQ(c.y, short(r.Word()));
        EXPECT_EQ(c.cx, short(r.Word()));
        EXPECT_EQ(c.cy, short(r.Word()));
        EXPECT_EQ(c.id, r.Word());
        EXPECT_EQ(c.cls, r.SzOrOrdinal());
        EXPECT_EQ(Utf16(c.utf8), r.SzOrOrdinal());
        EXPECT_EQ(0, r.Word()) << "creation data";
    }
    EXPECT_LE(data.size() - r.at, 3u) << "nothing after the last control";
}

} // namespace
