#include "shared/lib/platform/SimLayout.h"

#include <cctype>
#include <system_error>
#include <filesystem>

#include "shared/lib/platform/posix/SimMachine.h"

namespace quor::platform {

std::string SimDir() { return sim::SimMachine::Get().Dir(); }

std::string SerialPortSocket(std::uint32_t hostIndex) { return SimDir() + "/vport" + std::to_string(hostIndex); }

std::string VirtioFsSocket() { return SimDir() + "/viofs"; }

std::string DesktopSocket() { return SimDir() + "/desktop"; }

std::string PipeSocket(const std::string& name) { return SimDir() + "/pipe/" + name; }

namespace {

std::string Slashes(std::string s)
{
    for (char& c : s) {
        if (c == '\\') {
            c = '/';
        }
    }
    return s;
}

// Splits a Windows path into its simulated root folder and the rest.
bool SplitRoot(const std::string& p, std::string& root, std::string& rest)
{
    if (p.size() >= 2 && std::isalpha(static_cast<unsigned char>(p[0])) && p[1] == ':') {
        root = SimDir() + "/drives/" + static_cast<char>(std::toupper(static_cast<unsigned char>(p[0])));
        rest = p.substr(2);
        return true;
    }
    if (p.size() >= 2 && p[0] == '\\' && p[1] == '\\') {
        // \\server\share\rest
        const auto serverEnd = p.find_first_of("\\/", 2);
        if (serverEnd == std::string::npos) {
            root = SimDir() + "/unc/" + p.substr(2);
            rest.clear();
            return true;
        }
        const auto shareEnd = p.find_first_of("\\/", serverEnd + 1);
        const std::string server = p.substr(2, serverEnd - 2);
        const std::string share = p.substr(serverEnd + 1, shareEnd == std::string::npos ? std::string::npos
                                                                                          : shareEnd - serverEnd - 1);
        root = SimDir() + "/unc/" + server + "/" + share;
        rest = shareEnd == std::string::npos ? std::string() : p.substr(shareEnd);
        return true;
    }
    if (!p.empty() && p[0] == '\\') {
        // Rooted on the current drive, which the simulation takes to be C:.
        root = SimDir() + "/drives/C";
        rest = p;
        return true;
    }
    return false;
}

}  // namespace

std::string ToHostPath(const std::string& windowsPath)
{
    std::string root;
    std::string rest;
    if (!SplitRoot(windowsPath, root, rest)) {
        return Slashes(windowsPath);
    }
    rest = Slashes(rest);
    if (!rest.empty() && rest[0] != '/') {
        rest.insert(rest.begin(), '/');
    }
    // "C:" and "C:\" are the same folder.
    return rest == "/" ? root : root + rest;
}

bool EnsureSimRoot(const std::string& windowsPath)
{
    std::string root;
    std::string rest;
    if (!SplitRoot(windowsPath, root, rest)) {
        return true;
    }
    std::error_code ec;
    std::filesystem::create_directories(root, ec);
    return !ec;
}

}  // namespace quor::platform
