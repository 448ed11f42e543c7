#include "quorsharemgr/platform/Volume.h"

#include <filesystem>
#include <fstream>

#include "shared/lib/platform/WinErrors.h"
#include "shared/lib/platform/posix/SimMachine.h"

namespace quor::platform {

namespace {
std::u16string Widen(const std::string& s)
{
    return std::u16string(s.begin(), s.end());  // labels and names of the simulation are ASCII
}
std::string ReadSmallFile(const std::filesystem::path& p)
{
    std::ifstream in(p);
    std::string s;
    std::getline(in, s);
    return s;
}
}  // namespace

// Drive X: is the folder drives/X; its label is the first line of drives/X.label and its
// file-system name that of drives/X.fs ("NTFS" without the file). \\Velt\<share>\ reports
// the file system "Velt"; another \\server\share\ is "NTFS" when its folder exists.
bool GetVolumeInformationW(const char16_t* root, std::u16string* label, std::u16string* fileSystemName)
{
    if (sim::FailsAt("Volume.GetVolumeInformationW")) {
        return false;
    }
    const std::u16string r = root == nullptr ? std::u16string() : std::u16string(root);
    const std::filesystem::path dir = sim::SimMachine::Get().Dir();
    std::string labelText;
    std::string fsText = "NTFS";
    const bool drive = r.size() == 3 && r[1] == u':' && (r[2] == u'\\' || r[2] == u'/') &&
                       ((r[0] >= u'A' && r[0] <= u'Z') || (r[0] >= u'a' && r[0] <= u'z'));
    if (drive) {
        const char letter = static_cast<char>(r[0] >= u'a' ? r[0] - u'a' + u'A' : r[0]);
        const std::filesystem::path base = dir / "drives";
        if (!std::filesystem::is_directory(base / std::string(1, letter))) {
            sim::SetLastError(kErrorPathNotFound);
            return false;
        }
        labelText = ReadSmallFile(base / (std::string(1, letter) + ".label"));
        if (std::filesystem::exists(base / (std::string(1, letter) + ".fs"))) {
            fsText = ReadSmallFile(base / (std::string(1, letter) + ".fs"));
        }
    } else if (r.size() > 2 && r[0] == u'\\' && r[1] == u'\\') {
        const std::u16string server = r.substr(2, r.find(u'\\', 2) - 2);
        std::u16string upper = server;
        for (char16_t& ch : upper) {
            if (ch >= u'a' && ch <= u'z') {
                ch = static_cast<char16_t>(ch - u'a' + u'A');
            }
        }
        if (upper == u"VELT") {
            fsText = "Velt";
        } else if (!std::filesystem::is_directory(sim::HostPathOf(r.c_str()))) {
            sim::SetLastError(kErrorBadNetPath);
            return false;
        }
    } else {
        sim::SetLastError(kErrorInvalidName);
        return false;
    }
    if (label != nullptr) {
        *label = Widen(labelText);
    }
    if (fileSystemName != nullptr) {
        *fileSystemName = Widen(fsText);
    }
    return true;
}

}  // namespace quor::platform
