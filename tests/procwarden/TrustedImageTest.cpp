// The trusted-image test and the case-sensitive key-name search.
#include "tests/procwarden/DriverTestSupport.h"

#include <memory>

namespace pwtest {
namespace {

// A counted string over a heap buffer of exactly `units` units, so reading past Length would be
// an out-of-bounds access the sanitizers report.
struct ExactString {
    explicit ExactString(const std::u16string& text, int lengthBytes = -1)
        : buffer(new WCHAR[text.empty() ? 1 : text.size()]) {
        std::copy(text.begin(), text.end(), buffer.get());
        value.Buffer = buffer.get();
        value.Length = static_cast<USHORT>(lengthBytes >= 0 ? lengthBytes : static_cast<int>(text.size() * 2));
        value.MaximumLength = static_cast<USHORT>(text.size() * 2);
    }
    std::unique_ptr<WCHAR[]> buffer;
    UNICODE_STRING value{};
};

struct TrustCase {
    const char* why;
    std::u16string name;
    int lengthBytes;  // -1: the whole name
    bool trusted;
};

TEST(TrustedImage, Table) {
    const TrustCase cases[] = {
        {"system folder", u"\\??\\C:\\Windows\\System32\\notepad.exe", -1, true},
        {"Program Files (x86)", u"\\??\\C:\\Program Files (x86)\\app.exe", -1, true},
        {"Program Files", u"\\??\\C:\\Program Files\\app.exe", -1, true},
        {"short name", u"\\??\\C:\\PROGRA~1\\app.exe", -1, true},
        {"short name, other number", u"\\??\\C:\\progra~2\\app.exe", -1, true},
        {"other drive", u"\\??\\D:\\Windows\\x.exe", -1, false},
        {"user folder", u"\\??\\C:\\Users\\a\\x.exe", -1, false},
        {"second unit not '?'", u"\\Device\\HarddiskVolume2\\x.exe", -1, true},
        {"case ignored", u"\\??\\c:\\WINDOWS\\system32\\x.exe", -1, true},
        {"case ignored, Program Files", u"\\??\\c:\\pROGRAM fILES\\x.exe", -1, true},
        {"ProgramData is not Program Files", u"\\??\\C:\\ProgramData\\x.exe", -1, false},
        {"Programs", u"\\??\\C:\\Programs\\x.exe", -1, false},
        {"Windows without separator", u"\\??\\C:\\WindowsApps\\x.exe", -1, false},
        {"exactly the folder, no separator", u"\\??\\C:\\Windows", -1, false},
        {"exactly the folder with separator", u"\\??\\C:\\Windows\\", -1, true},
        {"cut after Progra", u"\\??\\C:\\Progra", -1, false},
        {"cut inside 'm Files'", u"\\??\\C:\\Program Fil", -1, false},
        {"18 bytes", u"\\Device\\abc", 18, false},
        {"19 bytes", u"\\Device\\abc", 19, true},
        {"\\?? name of 18 bytes", u"\\??\\C:\\Win", 18, false},
        {"UNC-style \\??\\UNC", u"\\??\\UNC\\server\\share\\x.exe", -1, false},
        // Trusted by design, though a user may be able to write there: the test looks only at
        // the start of the name ("Progra" + "m Files" or "~", "Windows\\") and does not resolve
        // short names or check the folder's owner.
        {"Program FilesX (prefix)", u"\\??\\C:\\Program FilesX\\a.exe", -1, true},
        {"Progra~x (any short name)", u"\\??\\C:\\Progra~x\\a.exe", -1, true},
        {"Windows\\Temp (writable by users)", u"\\??\\C:\\Windows\\Temp\\a.exe", -1, true},
    };
    for (const auto& c : cases) {
        ExactString s(c.name, c.lengthBytes);
        EXPECT_EQ(PwIsTrustedImage(&s.value), c.trusted ? TRUE : FALSE) << c.why;
    }
}

TEST(TrustedImage, MissingNameIsNotTrusted) {
    EXPECT_FALSE(PwIsTrustedImage(nullptr));
    UNICODE_STRING noBuffer{40, 40, nullptr};
    EXPECT_FALSE(PwIsTrustedImage(&noBuffer));
}

TEST(KeyNameSearch, CaseSensitiveSubstring) {
    struct Case {
        std::u16string haystack;
        bool found;
    } cases[] = {
        {u"\\REGISTRY\\MACHINE\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\App", true},
        {u"\\CurrentVersion\\Uninstall\\", true},
        {u"\\CurrentVersion\\Uninstall", false},
        {u"\\REGISTRY\\MACHINE\\SOFTWARE\\Microsoft\\Windows\\currentversion\\uninstall\\App", false},
        {u"\\CurrentVersion\\CurrentVersion\\Uninstall\\x", true},
        {u"", false},
    };
    ExactString needle(u"\\CurrentVersion\\Uninstall\\");
    for (const auto& c : cases) {
        ExactString hay(c.haystack);
        EXPECT_EQ(PwContainsCaseSensitive(&hay.value, &needle.value), c.found ? TRUE : FALSE)
            << shim::ToUtf8(c.haystack);
    }
}

}  // namespace
}  // namespace pwtest
