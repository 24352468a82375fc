// LaunchBrightloom.exe as shipped: x64, GUI subsystem, system imports only, its manifest and
// version.
#include "support/test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <map>
#include <set>

namespace {

using namespace test;

// The executable under test: the one built beside the tests, or another one
// (a release build, for example) named by LB_EXECUTABLE.
std::wstring ExecutableUnderTest() {
    wchar_t path[MAX_PATH] = {};
    if (::GetEnvironmentVariableW(L"LB_EXECUTABLE", path, MAX_PATH) > 0) {
        return path;
    }
    return BinProgram(L"LaunchBrightloom.exe");
}

// A read-only view of a PE file's headers and of data at a virtual address.
class PeFile {
public:
    explicit PeFile(std::string bytes) : bytes_(std::move(bytes)) {}

    const IMAGE_NT_HEADERS64* Headers() const {
        const auto* dos = At<IMAGE_DOS_HEADER>(0);
        if (dos == nullptr || dos->e_magic != IMAGE_DOS_SIGNATURE) {
            return nullptr;
        }
        const auto* nt = At<IMAGE_NT_HEADERS64>(static_cast<size_t>(dos->e_lfanew));
        return nt != nullptr && nt->Signature == IMAGE_NT_SIGNATURE ? nt : nullptr;
    }

    // File offset of a relative virtual address, or 0 if no section holds it.
    size_t Offset(DWORD rva) const {
        const IMAGE_NT_HEADERS64* nt = Headers();
        const auto* section = reinterpret_cast<const IMAGE_SECTION_HEADER*>(
            reinterpret_cast<const char*>(&nt->OptionalHeader) +
            nt->FileHeader.SizeOfOptionalHeader);
        for (WORD i = 0; i < nt->FileHeader.NumberOfSections; ++i, ++section) {
            if (rva >= section->VirtualAddress &&
                rva < section->VirtualAddress +
                          std::max(section->Misc.VirtualSize, section->SizeOfRawData)) {
                return rva - section->VirtualAddress + section->PointerToRawData;
            }
        }
        return 0;
    }

    template <typename T> const T* At(size_t offset) const {
        return offset + sizeof(T) <= bytes_.size()
                   ? reinterpret_cast<const T*>(bytes_.data() + offset)
                   : nullptr;
    }
    std::string StringAt(size_t offset) const { return std::string(bytes_.c_str() + offset); }

private:
    std::string bytes_;
};

std::string Lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

class Executable : public ::testing::Test {
protected:
    void SetUp() override {
        auto bytes = ReadBytes(ExecutableUnderTest());
        ASSERT_TRUE(bytes);
        pe_ = std::make_unique<PeFile>(std::move(*bytes));
        ASSERT_NE(pe_->Headers(), nullptr);
    }
    std::unique_ptr<PeFile> pe_;
};

TEST_F(Executable, IsAnX64GuiProgram) {
    const IMAGE_NT_HEADERS64* nt = pe_->Headers();
    EXPECT_EQ(nt->FileHeader.Machine, IMAGE_FILE_MACHINE_AMD64);
    EXPECT_EQ(nt->OptionalHeader.Magic, IMAGE_NT_OPTIONAL_HDR64_MAGIC);
    EXPECT_EQ(nt->OptionalHeader.Subsystem, IMAGE_SUBSYSTEM_WINDOWS_GUI);
}

TEST_F(Executable, ImportsOnlySystemLibraries) {
    const IMAGE_DATA_DIRECTORY& directory =
        pe_->Headers()->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    std::set<std::string> imports;
    for (size_t at = pe_->Offset(directory.VirtualAddress);;
         at += sizeof(IMAGE_IMPORT_DESCRIPTOR)) {
        const auto* descriptor = pe_->At<IMAGE_IMPORT_DESCRIPTOR>(at);
        ASSERT_NE(descriptor, nullptr);
        if (descriptor->Name == 0) {
            break;
        }
        imports.insert(Lower(pe_->StringAt(pe_->Offset(descriptor->Name))));
    }
    // Only KnownDLLs, which Windows always takes from System32, and ntdll, which
    // every process has loaded first: any other DLL imported at load time is
    // looked for first in the program's own folder.
    const std::set<std::string> knownDlls = {"ntdll.dll",    "kernel32.dll", "shell32.dll",
                                             "advapi32.dll", "msvcrt.dll",   "user32.dll"};
    EXPECT_TRUE(imports.count("kernel32.dll"));
    for (const std::string& name : imports) {
        EXPECT_TRUE(knownDlls.count(name)) << "imports " << name;
    }
}

TEST_F(Executable, LoadsAtARandomAddressWithDataNeverExecuted) {
    const IMAGE_OPTIONAL_HEADER64& header = pe_->Headers()->OptionalHeader;
    for (const unsigned flag :
         {IMAGE_DLLCHARACTERISTICS_DYNAMIC_BASE, IMAGE_DLLCHARACTERISTICS_HIGH_ENTROPY_VA,
          IMAGE_DLLCHARACTERISTICS_NX_COMPAT}) {
        EXPECT_TRUE(header.DllCharacteristics & flag) << "missing flag " << flag;
    }
    // Without relocations the loader cannot move the image, whatever the flags say.
    EXPECT_GT(header.DataDirectory[IMAGE_DIRECTORY_ENTRY_BASERELOC].Size, 0u);
    EXPECT_FALSE(pe_->Headers()->FileHeader.Characteristics & IMAGE_FILE_RELOCS_STRIPPED);
}

std::vector<std::pair<ULONG_PTR, ULONG_PTR>> ResourcesOf(HMODULE module) {
    std::vector<std::pair<ULONG_PTR, ULONG_PTR>> found;
    std::vector<ULONG_PTR> types;
    ::EnumResourceTypesW(
        module,
        [](HMODULE, LPWSTR type, LONG_PTR list) -> BOOL {
            reinterpret_cast<std::vector<ULONG_PTR>*>(list)->push_back(
                reinterpret_cast<ULONG_PTR>(type));
            return TRUE;
        },
        reinterpret_cast<LONG_PTR>(&types));
    for (const ULONG_PTR type : types) {
        EXPECT_TRUE(IS_INTRESOURCE(type)) << "a resource type with a name";
        std::vector<ULONG_PTR> names;
        ::EnumResourceNamesW(
            module, MAKEINTRESOURCEW(type),
            [](HMODULE, LPCWSTR, LPWSTR name, LONG_PTR list) -> BOOL {
                reinterpret_cast<std::vector<ULONG_PTR>*>(list)->push_back(
                    reinterpret_cast<ULONG_PTR>(name));
                return TRUE;
            },
            reinterpret_cast<LONG_PTR>(&names));
        for (const ULONG_PTR name : names) {
            found.emplace_back(type, name);
        }
    }
    return found;
}

// The four-part version CMake gave the build (tests/CMakeLists.txt), as the resource writes it.
std::string FileVersion() {
    return std::to_string(LB_VERSION_MAJOR) + "." + std::to_string(LB_VERSION_MINOR) + "." +
           std::to_string(LB_VERSION_PATCH) + "." + std::to_string(LB_VERSION_TWEAK);
}

// The commit the executable under test was built from: the one this build was configured
// with, or, for another executable (the release test's), the one LB_EXPECTED_COMMIT names.
std::string ExpectedCommit() {
    const char* given = std::getenv("LB_EXPECTED_COMMIT");
    return given != nullptr && *given != '\0' ? given : LB_COMMIT;
}

TEST(ExecutableResources, TheManifestAndTheVersionAreTheOnlyResources) {
    const HMODULE module =
        ::LoadLibraryExW(ExecutableUnderTest().c_str(), nullptr,
                         LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
    ASSERT_NE(module, nullptr);
    const auto resources = ResourcesOf(module);
    const std::set<std::pair<ULONG_PTR, ULONG_PTR>> expected = {
        {reinterpret_cast<ULONG_PTR>(RT_MANIFEST), 1u},
        {reinterpret_cast<ULONG_PTR>(RT_VERSION), VS_VERSION_INFO}};
    using Resources = std::set<std::pair<ULONG_PTR, ULONG_PTR>>;
    EXPECT_EQ(Resources(resources.begin(), resources.end()), expected);
    EXPECT_EQ(resources.size(), expected.size());

    const HRSRC found = ::FindResourceW(module, MAKEINTRESOURCEW(1), RT_MANIFEST);
    ASSERT_NE(found, nullptr);
    const auto* data = static_cast<const char*>(::LockResource(::LoadResource(module, found)));
    const std::string manifest(data, ::SizeofResource(module, found));
    ::FreeLibrary(module);

    const std::string identity = R"(<assemblyIdentity name=")" + std::string(LB_PROJECT_NAME) +
                                 R"(" type="win32" version=")" + FileVersion() + R"("/>)";
    for (const std::string& field : {
             identity,
             std::string(R"(<requestedExecutionLevel level="asInvoker" uiAccess="false"/>)"),
             std::string(R"(<supportedOS Id="{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}"/>)"),
         }) {
        EXPECT_NE(manifest.find(field), std::string::npos) << field;
    }
    size_t supportedOs = 0;
    for (size_t at = manifest.find("<supportedOS"); at != std::string::npos;
         at = manifest.find("<supportedOS", at + 1)) {
        ++supportedOs;
    }
    EXPECT_EQ(supportedOs, 1u);
}

// One value of a version resource, as VerQueryValueW finds it.
template <typename T> const T* VersionValue(const std::vector<BYTE>& info, const wchar_t* path) {
    void* value = nullptr;
    UINT size = 0;
    if (!::VerQueryValueW(info.data(), path, &value, &size) || size == 0) {
        return nullptr;
    }
    return static_cast<const T*>(value);
}

// Read back as Explorer and (Get-Item ...).VersionInfo read it: version.dll on the file.
TEST_F(Executable, NamesItsVersionMakerAndCommit) {
    const std::wstring path = ExecutableUnderTest();
    DWORD ignored = 0;
    const DWORD size = ::GetFileVersionInfoSizeW(path.c_str(), &ignored);
    ASSERT_GT(size, 0u) << ::GetLastError();
    std::vector<BYTE> info(size);
    ASSERT_TRUE(::GetFileVersionInfoW(path.c_str(), 0, size, info.data())) << ::GetLastError();

    const auto* fixed = VersionValue<VS_FIXEDFILEINFO>(info, L"\\");
    ASSERT_NE(fixed, nullptr);
    EXPECT_EQ(fixed->dwSignature, VS_FFI_SIGNATURE);
    const DWORD high = MAKELONG(LB_VERSION_MINOR, LB_VERSION_MAJOR);
    const DWORD low = MAKELONG(LB_VERSION_TWEAK, LB_VERSION_PATCH);
    EXPECT_EQ(fixed->dwFileVersionMS, high);
    EXPECT_EQ(fixed->dwFileVersionLS, low);
    EXPECT_EQ(fixed->dwProductVersionMS, high);
    EXPECT_EQ(fixed->dwProductVersionLS, low);
    EXPECT_EQ(fixed->dwFileFlagsMask, static_cast<DWORD>(VS_FFI_FILEFLAGSMASK));
    // Debugging information only where the build kept it: symbols, never in a release build.
    const bool keepsSymbols = pe_->Headers()->FileHeader.PointerToSymbolTable != 0;
    EXPECT_EQ(fixed->dwFileFlags, keepsSymbols ? static_cast<DWORD>(VS_FF_DEBUG) : 0u);
    EXPECT_EQ(fixed->dwFileOS, static_cast<DWORD>(VOS_NT_WINDOWS32));
    EXPECT_EQ(fixed->dwFileType, static_cast<DWORD>(VFT_APP));
    EXPECT_EQ(fixed->dwFileSubtype, 0u);
    // No build time: two builds of one commit are the same bytes.
    EXPECT_EQ(fixed->dwFileDateMS, 0u);
    EXPECT_EQ(fixed->dwFileDateLS, 0u);

    // US English, Unicode, and no other language.
    void* translations = nullptr;
    UINT translationsSize = 0;
    ASSERT_TRUE(::VerQueryValueW(info.data(), L"\\VarFileInfo\\Translation", &translations,
                                 &translationsSize));
    ASSERT_EQ(translationsSize, 2 * sizeof(WORD));
    EXPECT_EQ(static_cast<const WORD*>(translations)[0], 0x0409);
    EXPECT_EQ(static_cast<const WORD*>(translations)[1], 1200);

    const std::map<std::wstring, std::string> strings = {
        {L"CompanyName", LB_COMPANY},
        {L"FileDescription", LB_DESCRIPTION},
        {L"FileVersion", FileVersion()},
        {L"InternalName", LB_PROJECT_NAME},
        {L"LegalCopyright", LB_COPYRIGHT},
        {L"OriginalFilename", std::string(LB_PROJECT_NAME) + ".exe"},
        {L"ProductName", LB_PROJECT_NAME},
        {L"ProductVersion", std::string(LB_VERSION) + "+" + ExpectedCommit()},
    };
    for (const auto& [name, expected] : strings) {
        const std::wstring query = L"\\StringFileInfo\\040904B0\\" + name;
        const auto* value = VersionValue<wchar_t>(info, query.c_str());
        EXPECT_EQ(value != nullptr ? Narrow(value) : "(none)", expected) << Narrow(name);
    }
}

} // namespace
