// Test support: a folder that the file-share backend reaches by a Windows path. On the
// simulated machine that is C:\fsroot inside a fresh $QUOR_SIM_DIR; on Windows a temp
// folder.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "tests/support/TestLog.h"

namespace fstest {

class FsSandbox {
public:
    FsSandbox();
    // The Windows path of `rel` ("a/b" becomes "<root>\a\b").
    std::string Local(const std::string& rel = {}) const;
    // Where the test itself finds `rel`.
    std::filesystem::path Host(const std::string& rel = {}) const;
    const quortest::TempDir& Dir() const { return dir_; }

    void WriteFile(const std::string& rel, const std::vector<unsigned char>& bytes) const;
    void WriteFile(const std::string& rel, const std::string& text) const;
    std::vector<unsigned char> ReadFile(const std::string& rel) const;
    void SetReadOnly(const std::string& rel, bool readOnly) const;

    // Makes `rel` a link of `kind` to `target` (a host path, see Host and MachineRoot):
    // with `relative`, the link holds the target relative to its own folder. False when
    // the platform cannot make such a link (the simulation has no junctions; Wine may
    // have neither). RemoveLink removes the link itself, never its target.
    enum class LinkKind { File, Directory, Junction };
    bool MakeLink(const std::string& rel, const std::filesystem::path& target, LinkKind kind, bool relative) const;
    bool RemoveLink(const std::string& rel, LinkKind kind) const;
    // The root of the machine's system drive, as a host path ("/" or "C:\").
    static std::filesystem::path MachineRoot();

private:
    quortest::TempDir dir_;
    std::string localRoot_;
    std::filesystem::path hostRoot_;
};

// Pseudo-random bytes, different for each seed.
std::vector<unsigned char> Pattern(std::size_t size, std::uint32_t seed);

}  // namespace fstest
