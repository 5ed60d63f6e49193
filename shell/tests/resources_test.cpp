// The resources as compiled into vestibra.exe, read back from the file.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "resource.h"
#include "shell_test_support.h"

namespace {

// Builds the expected bytes of a template, little-endian as in the file.
class Bytes {
 public:
  Bytes& word(std::uint16_t value) {
    bytes.push_back(static_cast<std::uint8_t>(value & 0xFF));
    bytes.push_back(static_cast<std::uint8_t>(value >> 8));
    return *this;
  }
  Bytes& dword(std::uint32_t value) {
    word(static_cast<std::uint16_t>(value & 0xFFFF));
    return word(static_cast<std::uint16_t>(value >> 16));
  }
  Bytes& text(const wchar_t* value) {
    for (; *value != L'\0'; ++value) word(static_cast<std::uint16_t>(*value));
    return word(0);
  }
  Bytes& alignToDword() {
    while (bytes.size() % 4 != 0) bytes.push_back(0);
    return *this;
  }
  std::vector<std::uint8_t> bytes;
};

class BuiltModule : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    module_ = LoadLibraryExA(windowsPath(VESTIBRA_EXE).c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
  }
  static void TearDownTestSuite() {
    if (module_ != nullptr) FreeLibrary(module_);
    module_ = nullptr;
  }
  void SetUp() override { ASSERT_NE(module_, nullptr) << "cannot load " << VESTIBRA_EXE; }

  static std::vector<std::uint8_t> resource(LPCSTR type, int id) {
    HRSRC found = FindResourceA(module_, MAKEINTRESOURCEA(id), type);
    if (found == nullptr) return {};
    auto* data = static_cast<const std::uint8_t*>(LockResource(LoadResource(module_, found)));
    return std::vector<std::uint8_t>(data, data + SizeofResource(module_, found));
  }
  static std::vector<WORD> languages(LPCSTR type, int id) {
    std::vector<WORD> found;
    EnumResourceLanguagesA(
        module_, type, MAKEINTRESOURCEA(id),
        [](HMODULE, LPCSTR, LPCSTR, WORD language, LONG_PTR list) -> BOOL {
          reinterpret_cast<std::vector<WORD>*>(list)->push_back(language);
          return TRUE;
        },
        reinterpret_cast<LONG_PTR>(&found));
    return found;
  }

  static HMODULE module_;
};
HMODULE BuiltModule::module_ = nullptr;

constexpr WORD usEnglish = MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US);
constexpr std::uint16_t noId = 0xFFFF;
constexpr std::uint16_t buttonClass = 0x0080;
constexpr std::uint16_t staticClass = 0x0082;
constexpr std::uint16_t comboBoxClass = 0x0085;

TEST_F(BuiltModule, MenuTemplateBitForBit) {
  Bytes expected;
  expected.word(0).word(0);  // standard menu template header
  expected.word(MF_POPUP).text(L"File");
  expected.word(MF_END).word(IDM_FILE_EXIT).text(L"Exit");
  expected.word(MF_POPUP | MF_END).text(L"Help");
  expected.word(MF_END).word(IDM_HELP_ABOUT).text(L"About");
  EXPECT_EQ(resource(RT_MENU, 100), expected.bytes);
  EXPECT_EQ(languages(RT_MENU, 100), std::vector<WORD>{usEnglish});
}

void control(Bytes& bytes, DWORD style, short x, short y, short cx, short cy, std::uint16_t id,
             std::uint16_t classOrdinal, const wchar_t* text) {
  bytes.alignToDword();
  bytes.dword(style).dword(0);
  bytes.word(static_cast<std::uint16_t>(x)).word(static_cast<std::uint16_t>(y));
  bytes.word(static_cast<std::uint16_t>(cx)).word(static_cast<std::uint16_t>(cy));
  bytes.word(id).word(0xFFFF).word(classOrdinal).text(text).word(0);
}

TEST_F(BuiltModule, DialogTemplateBitForBit) {
  Bytes expected;
  expected.dword(WS_POPUP | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME | DS_SETFONT).dword(0);
  expected.word(5).word(0).word(0).word(239).word(100);
  expected.word(0).word(0).text(L"My About Box");  // no menu, the system dialog class
  expected.word(8).text(L"MS Sans Serif");
  const DWORD child = WS_CHILD | WS_VISIBLE;
  control(expected, child | WS_TABSTOP | BS_DEFPUSHBUTTON, 174, 18, 50, 14, IDOK, buttonClass, L"&OK");
  control(expected, child | WS_TABSTOP | BS_PUSHBUTTON, 174, 35, 50, 14, IDCANCEL, buttonClass, L"&Cancel");
  control(expected, child | BS_GROUPBOX, 7, 7, 225, 85, noId, buttonClass, L"About this program...");
  control(expected, child | WS_GROUP | SS_CENTER, 16, 18, 144, 33, noId, staticClass,
          L"Vestibra V1.0\r\nReception notifier\r\nWatches for your guests");
  control(expected, child | WS_VSCROLL | WS_TABSTOP | CBS_DROPDOWNLIST, 16, 60, 100, 50, IDC_USER_COMBO,
          comboBoxClass, L"");
  std::vector<std::uint8_t> actual = resource(RT_DIALOG, 103);
  EXPECT_EQ(actual, expected.bytes);
  EXPECT_EQ(languages(RT_DIALOG, 103), std::vector<WORD>{usEnglish});
  // Spelled out for a readable failure on the style words.
  ASSERT_GE(actual.size(), 4u);
  EXPECT_EQ(actual[0] | actual[1] << 8 | actual[2] << 16 | static_cast<std::uint32_t>(actual[3]) << 24, 0x80C800C0u);
}

TEST_F(BuiltModule, VersionInformationAndManifest) {
  std::string path = windowsPath(VESTIBRA_EXE);
  DWORD ignored = 0;
  std::vector<char> info(GetFileVersionInfoSizeA(path.c_str(), &ignored));
  ASSERT_FALSE(info.empty());
  ASSERT_TRUE(GetFileVersionInfoA(path.c_str(), 0, static_cast<DWORD>(info.size()), info.data()));
  VS_FIXEDFILEINFO* fixed = nullptr;
  UINT length = 0;
  ASSERT_TRUE(VerQueryValueA(info.data(), "\\", reinterpret_cast<void**>(&fixed), &length));
  EXPECT_EQ(fixed->dwFileVersionMS, 0x00010000u);
  EXPECT_EQ(fixed->dwFileType, static_cast<DWORD>(VFT_APP));
  char* product = nullptr;
  ASSERT_TRUE(VerQueryValueA(info.data(), "\\StringFileInfo\\040904E4\\ProductName", reinterpret_cast<void**>(&product),
                             &length));
  EXPECT_STREQ(product, "Vestibra");

  std::vector<std::uint8_t> manifest = resource(RT_MANIFEST, 1);
  std::string text(manifest.begin(), manifest.end());
  EXPECT_NE(text.find("<assembly"), std::string::npos);
  EXPECT_NE(text.find("level=\"asInvoker\""), std::string::npos);
}

}  // namespace
