#include <gtest/gtest.h>

#include <windows.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

// The templates' fields as the compiled resource holds them (extended dialog template, version 1).
struct ControlRecord {
    DWORD helpId, exStyle, style;
    short x, y, cx, cy;
    DWORD id;
    bool classIsOrdinal;
    WORD classOrdinal;
    std::string className;  // when not an ordinal
    bool textIsOrdinal;
    std::string text;       // cp932
    WORD extraCount;
};

struct DialogRecord {
    WORD version, signature;
    DWORD helpId, exStyle, style;
    WORD count;
    short x, y, cx, cy;
    bool noMenu, defaultClass;
    std::string caption;
    WORD pointSize, weight;
    BYTE italic, charset;
    std::string font;
    std::vector<ControlRecord> controls;
};

// Walks a template of `size` bytes; false when it runs past its end or has another form.
struct TemplateReader {
    const BYTE* at;
    const BYTE* end;
    bool ok = true;

    template <typename T>
    T Take()
    {
        T value{};
        if (at + sizeof(T) > end) {
            ok = false;
            return value;
        }
        memcpy(&value, at, sizeof(T));
        at += sizeof(T);
        return value;
    }
    std::string TakeText()
    {
        std::wstring wide;
        for (WCHAR c = Take<WCHAR>(); ok && c; c = Take<WCHAR>())
            wide += c;
        char text[1024] = "";
        WideCharToMultiByte(932, 0, wide.c_str(), (int)wide.size(), text, sizeof text - 1, nullptr, nullptr);
        return text;
    }
    // sz_Or_Ord: 0 (none), 0xFFFF and an ordinal, or a text.
    void TakeTextOrOrdinal(bool* isOrdinal, WORD* ordinal, std::string* text, bool* none)
    {
        const BYTE* start = at;
        WORD first = Take<WORD>();
        *isOrdinal = first == 0xFFFF;
        if (none)
            *none = first == 0;
        if (*isOrdinal) {
            *ordinal = Take<WORD>();
        } else {
            at = start;
            *text = TakeText();
        }
    }
    void AlignDword(const BYTE* base)
    {
        while ((at - base) % 4)
            ++at;
    }
};

bool ReadDialog(const BYTE* bytes, DWORD size, DialogRecord* dialog)
{
    TemplateReader reader{bytes, bytes + size};
    dialog->version = reader.Take<WORD>();
    dialog->signature = reader.Take<WORD>();
    dialog->helpId = reader.Take<DWORD>();
    dialog->exStyle = reader.Take<DWORD>();
    dialog->style = reader.Take<DWORD>();
    dialog->count = reader.Take<WORD>();
    dialog->x = reader.Take<short>();
    dialog->y = reader.Take<short>();
    dialog->cx = reader.Take<short>();
    dialog->cy = reader.Take<short>();
    bool isOrdinal = false;
    WORD ordinal = 0;
    std::string text;
    reader.TakeTextOrOrdinal(&isOrdinal, &ordinal, &text, &dialog->noMenu);
    reader.TakeTextOrOrdinal(&isOrdinal, &ordinal, &text, &dialog->defaultClass);
    dialog->caption = reader.TakeText();
    if (dialog->style & DS_SETFONT) {
        dialog->pointSize = reader.Take<WORD>();
        dialog->weight = reader.Take<WORD>();
        dialog->italic = reader.Take<BYTE>();
        dialog->charset = reader.Take<BYTE>();
        dialog->font = reader.TakeText();
    }
    for (WORD i = 0; reader.ok && i < dialog->count; ++i) {
        reader.AlignDword(bytes);
        ControlRecord control{};
        control.helpId = reader.Take<DWORD>();
        control.exStyle = reader.Take<DWORD>();
        control.style = reader.Take<DWORD>();
        control.x = reader.Take<short>();
        control.y = reader.Take<short>();
        control.cx = reader.Take<short>();
        control.cy = reader.Take<short>();
        control.id = reader.Take<DWORD>();
        reader.TakeTextOrOrdinal(&control.classIsOrdinal, &control.classOrdinal, &control.className, nullptr);
        WORD textOrdinal = 0;
        reader.TakeTextOrOrdinal(&control.textIsOrdinal, &textOrdinal, &control.text, nullptr);
        control.extraCount = reader.Take<WORD>();
        reader.at += control.extraCount;
        dialog->controls.push_back(control);
    }
    return reader.ok && reader.at <= reader.end;
}

struct ExpectedControl {
    DWORD id;
    WORD classOrdinal;      // 0x80 BUTTON, 0x81 EDIT, 0x82 STATIC
    const char* className;  // a class named by its name instead of an ordinal
    const char* text;
    DWORD style;
    short at100[4];  // x, y, cx, cy; all 0: not in template 100
    short at101[4];
};

static_assert((WS_POPUP | WS_VISIBLE | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME | DS_CENTER | DS_SETFONT) ==
                  0x90C808C0,
              "the dialog style named");

// Every style below holds WS_CHILD | WS_VISIBLE (0x50000000), except the job's progress bar and file name, which
// are WS_CHILD only: hidden until the job runs. The file name is SS_NOPREFIX | SS_PATHELLIPSIS.
const ExpectedControl Controls[] = {
    {1, 0x80, nullptr, "次へ", 0x50010001, {261, 72, 44, 14}, {258, 202, 44, 14}},
    {2, 0x80, nullptr, "中止", 0x50010000, {313, 72, 44, 14}, {311, 202, 44, 14}},
    {4, 0x80, nullptr, "戻る", 0x50010000, {217, 72, 44, 14}, {214, 202, 44, 14}},
    {1001, 0x82, nullptr, "Info", 0x50020000, {16, 16, 331, 29}, {16, 9, 331, 65}},
    {1000, 0x81, nullptr, "", 0x50A00004, {0, 0, 0, 0}, {6, 81, 351, 92}},
    {1002, 0x80, nullptr, "同意する", 0x50000004, {0, 0, 0, 0}, {10, 177, 225, 10}},
    {1003, 0x80, nullptr, "同意しない", 0x50000004, {0, 0, 0, 0}, {10, 189, 225, 10}},
    {1004, 0, "msctls_progress32", "", 0x40000000, {16, 48, 331, 9}, {16, 84, 331, 9}},
    {1005, 0x82, nullptr, "", 0x40008080, {16, 59, 331, 9}, {16, 96, 331, 9}},
};

BOOL CALLBACK CollectLanguage(HMODULE, LPCSTR, LPCSTR, WORD language, LONG_PTR list)
{
    reinterpret_cast<std::vector<WORD>*>(list)->push_back(language);
    return TRUE;
}

void ExpectTemplates(HMODULE module)
{
    for (int templateId : {100, 101}) {
        SCOPED_TRACE(templateId);
        std::vector<WORD> languages;
        EnumResourceLanguagesA(module, RT_DIALOG, MAKEINTRESOURCEA(templateId), CollectLanguage,
                               (LONG_PTR)&languages);
        EXPECT_EQ(languages, std::vector<WORD>{1041}) << "Japanese only";

        HRSRC found = FindResourceExA(module, RT_DIALOG, MAKEINTRESOURCEA(templateId), 1041);
        ASSERT_NE(found, nullptr);
        const BYTE* bytes = (const BYTE*)LockResource(LoadResource(module, found));
        DialogRecord dialog{};
        ASSERT_TRUE(ReadDialog(bytes, SizeofResource(module, found), &dialog));

        EXPECT_EQ(dialog.version, 1);
        EXPECT_EQ(dialog.signature, 0xFFFF);
        EXPECT_EQ(dialog.helpId, 0u);
        EXPECT_EQ(dialog.exStyle, 0u);
        EXPECT_EQ(dialog.style, 0x90C808C0u);
        EXPECT_EQ(dialog.x, 0);
        EXPECT_EQ(dialog.y, 0);
        EXPECT_EQ(dialog.cx, 364);
        EXPECT_EQ(dialog.cy, templateId == 100 ? 93 : 222);
        EXPECT_TRUE(dialog.noMenu);
        EXPECT_TRUE(dialog.defaultClass);
        EXPECT_EQ(dialog.caption, "UPDATE");
        EXPECT_EQ(dialog.pointSize, 10);
        EXPECT_EQ(dialog.weight, 0);
        EXPECT_EQ(dialog.italic, 0);
        EXPECT_EQ(dialog.charset, SHIFTJIS_CHARSET) << "a Japanese face wherever the named font is missing";
        EXPECT_EQ(dialog.font, "ＭＳ Ｐゴシック");

        std::vector<const ExpectedControl*> expected;
        for (const ExpectedControl& control : Controls)
            if (templateId == 101 || control.at100[2] != 0)
                expected.push_back(&control);
        ASSERT_EQ(dialog.count, expected.size());
        ASSERT_EQ(dialog.controls.size(), expected.size());
        for (size_t i = 0; i < expected.size(); ++i) {
            const ExpectedControl& want = *expected[i];
            const ControlRecord& got = dialog.controls[i];
            const short* at = templateId == 100 ? want.at100 : want.at101;
            SCOPED_TRACE(want.id);
            EXPECT_EQ(got.id, want.id) << "template order";
            EXPECT_EQ(got.helpId, 0u);
            EXPECT_EQ(got.exStyle, 0u);
            EXPECT_EQ(got.style, want.style);
            if (want.className) {
                EXPECT_FALSE(got.classIsOrdinal);
                EXPECT_EQ(lstrcmpiA(got.className.c_str(), want.className), 0) << got.className;
            } else {
                EXPECT_TRUE(got.classIsOrdinal) << got.className;
                EXPECT_EQ(got.classOrdinal, want.classOrdinal);
            }
            EXPECT_FALSE(got.textIsOrdinal);
            EXPECT_EQ(got.text, want.text);
            EXPECT_EQ(got.x, at[0]);
            EXPECT_EQ(got.y, at[1]);
            EXPECT_EQ(got.cx, at[2]);
            EXPECT_EQ(got.cy, at[3]);
            EXPECT_EQ(got.extraCount, 0);
        }
    }
}

std::string WindowsPath(const char* path)
{
    std::string converted = path;
    for (char& c : converted)
        if (c == '/')
            c = '\\';
    return converted;
}

TEST(Resources, DialogTemplatesOfTheTestProgram)
{
    ExpectTemplates(GetModuleHandleA(nullptr));
}

// The updater itself: its resource script must carry the same templates and the manifest.
struct Updater {
    HMODULE module = nullptr;
    Updater()
    {
        module = LoadLibraryExA(WindowsPath(UPD_UPDATER_EXE).c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    }
    ~Updater()
    {
        if (module)
            FreeLibrary(module);
    }
};

TEST(Resources, DialogTemplatesOfTheUpdater)
{
    Updater updater;
    ASSERT_NE(updater.module, nullptr) << UPD_UPDATER_EXE;
    ExpectTemplates(updater.module);
}

TEST(Resources, ManifestOfTheUpdater)
{
    Updater updater;
    ASSERT_NE(updater.module, nullptr) << UPD_UPDATER_EXE;
    HRSRC found = FindResourceA(updater.module, MAKEINTRESOURCEA(1), MAKEINTRESOURCEA(24));
    ASSERT_NE(found, nullptr);
    std::string manifest((const char*)LockResource(LoadResource(updater.module, found)),
                         SizeofResource(updater.module, found));

    HANDLE source = CreateFileA(WindowsPath(UPD_MANIFEST_SOURCE).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(source, INVALID_HANDLE_VALUE);
    char buffer[8192];
    DWORD read = 0;
    ReadFile(source, buffer, sizeof buffer, &read, nullptr);
    CloseHandle(source);
    EXPECT_EQ(manifest, std::string(buffer, read)) << "embedded byte for byte";

#ifdef _WIN64
#define UPD_OWN_ARCHITECTURE "amd64"
#else
#define UPD_OWN_ARCHITECTURE "X86"
#endif
    const char* required[] = {
        "<assemblyIdentity name=\"QUORVANE.Updater.UPDATE\" version=\"1.0.0.0\" processorArchitecture=\""
        UPD_OWN_ARCHITECTURE "\" type=\"win32\"/>",
        "<requestedExecutionLevel level=\"requireAdministrator\" uiAccess=\"false\"/>",
        "<supportedOS Id=\"{e2011457-1546-43c5-a5fe-008deee3d3f0}\"/>",  // Vista
        "<supportedOS Id=\"{35138b9a-5d96-4fbd-8e2d-a2440225f93a}\"/>",  // 7
        "<supportedOS Id=\"{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}\"/>",  // 8
        "<supportedOS Id=\"{1f676c76-80e1-4239-95bb-83d0f6d0da78}\"/>",  // 8.1
        "<supportedOS Id=\"{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}\"/>",  // 10
    };
    for (const char* text : required)
        EXPECT_NE(manifest.find(text), std::string::npos) << text;
}

// What the system's loader makes of the manifest: the run level it asks for.
TEST(Resources, ManifestAsTheLoaderReadsIt)
{
    ACTCTXA context;
    memset(&context, 0, sizeof context);
    context.cbSize = sizeof context;
    context.dwFlags = ACTCTX_FLAG_RESOURCE_NAME_VALID;
    std::string path = WindowsPath(UPD_UPDATER_EXE);
    context.lpSource = path.c_str();
    context.lpResourceName = MAKEINTRESOURCEA(1);
    HANDLE activation = CreateActCtxA(&context);
    ASSERT_NE(activation, INVALID_HANDLE_VALUE) << GetLastError();

    ACTIVATION_CONTEXT_RUN_LEVEL_INFORMATION runLevel;
    memset(&runLevel, 0, sizeof runLevel);
    SIZE_T written = 0;
    BOOL ok = QueryActCtxW(0, activation, nullptr, RunlevelInformationInActivationContext, &runLevel,
                           sizeof runLevel, &written);

    // DPI awareness: system-aware where per-monitor is unknown, per-monitor (version 2) where it is known.
    struct {
        const wchar_t* space;
        const wchar_t* name;
        const wchar_t* value;
    } settings[] = {
        {L"http://schemas.microsoft.com/SMI/2005/WindowsSettings", L"dpiAware", L"true"},
        {L"http://schemas.microsoft.com/SMI/2016/WindowsSettings", L"dpiAwareness", L"PerMonitorV2, System"},
    };
    for (const auto& setting : settings) {
        wchar_t value[64] = L"";
        SIZE_T length = 0;
        EXPECT_TRUE(QueryActCtxSettingsW(0, activation, setting.space, setting.name, value, 64, &length))
            << GetLastError();
        EXPECT_EQ(std::wstring(value), setting.value);
    }
    ReleaseActCtx(activation);
    ASSERT_TRUE(ok) << GetLastError();
    EXPECT_EQ(runLevel.RunLevel, ACTCTX_RUN_LEVEL_REQUIRE_ADMIN);
    EXPECT_EQ(runLevel.UiAccess, 0u);
}

}  // namespace
