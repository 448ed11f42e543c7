// The clipboard window's Win32-only parts under Wine: the real hidden window, and host
// files on the OLE clipboard (the shell's data object for `\\Velt\<share>`, wrapped in
// ShareDataObject). The share is a folder of the Wine prefix: Wine maps `\\server\share`
// to `dosdevices/unc/server/share` there.
#include <gtest/gtest.h>

#include <windows.h>
#include <shlobj.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "quorsharemgr/ClipboardShareWindow.h"
#include "quorsharemgr/ShareDataObject.h"
#include "quorsharemgr/ShareFormat.h"
#include "quorsharemgr/platform/OleClipboard.h"
#include "quorsharemgr/platform/ShellItems.h"
#include "shared/lib/platform/TextConv.h"
#include "tests/clipboard/support/ClipboardHarness.h"
#include "tests/clipboard/support/ClipboardTestUtil.h"
#include "tests/clipboard/support/OtherApp.h"
#include "tests/support/TestLog.h"
#include "tests/support/WaitUntil.h"

namespace p = quor::platform;
using quortest::WaitUntil;
using Sent = std::vector<std::pair<std::string, std::uint32_t>>;

namespace {

// The Windows path of `\\Velt` in the Wine prefix; empty when not under Wine.
std::filesystem::path VeltFolder()
{
    using ToDos = WCHAR*(CDECL*)(const char*);
    const auto toDos = reinterpret_cast<ToDos>(
        reinterpret_cast<void*>(::GetProcAddress(::GetModuleHandleW(L"kernel32.dll"), "wine_get_dos_file_name")));
    char prefix[1024];
    const DWORD n = ::GetEnvironmentVariableA("WINEPREFIX", prefix, sizeof prefix);
    if (toDos == nullptr || n == 0 || n >= sizeof prefix) {
        return {};
    }
    WCHAR* dos = toDos((std::string(prefix) + "/dosdevices/unc/Velt").c_str());
    if (dos == nullptr) {
        return {};
    }
    std::wstring path(dos);
    ::HeapFree(::GetProcessHeap(), 0, dos);
    if (path.rfind(L"\\\\?\\", 0) == 0) {
        path.erase(0, 4);  // the drive path, as the shell parses it
    }
    return path;
}

// The paths of a CF_HDROP block.
std::vector<std::string> DropPaths(const quortest::Bytes& block)
{
    std::vector<std::string> out;
    if (block.size() < sizeof(DROPFILES)) {
        return out;
    }
    DROPFILES head;
    std::memcpy(&head, block.data(), sizeof head);
    EXPECT_TRUE(head.fWide);
    for (std::size_t at = head.pFiles; at + 1 < block.size();) {
        std::string path;
        for (; at + 1 < block.size(); at += 2) {
            const char16_t c = static_cast<char16_t>(block[at] | (block[at + 1] << 8));
            if (c == 0) {
                break;
            }
            path.push_back(static_cast<char>(c));  // the test's names are ASCII
        }
        at += 2;
        if (path.empty()) {
            break;
        }
        out.push_back(path);
    }
    std::sort(out.begin(), out.end());
    return out;
}

class ShareWindowWin32 : public ::testing::Test {
protected:
    void SetUp() override
    {
        quortest::ProcessLogPath();
        ASSERT_EQ(window_.Init(), 0U);
    }
    void TearDown() override
    {
        window_.Destroy();
        EXPECT_EQ(quor::ShareDataObject::Alive(), 0);
        if (!share_.empty()) {
            std::error_code ec;
            std::filesystem::remove_all(share_, ec);
        }
    }

    // A share of the host with a file, a folder and a hidden file; its name.
    std::string MakeShare()
    {
        const std::filesystem::path velt = VeltFolder();
        if (velt.empty()) {
            return {};
        }
        const std::string name = "clip_" + std::to_string(::GetCurrentProcessId());
        share_ = velt / name;
        std::filesystem::create_directories(share_ / "sub");
        std::ofstream(share_ / "a.txt") << "a";
        std::ofstream(share_ / ".hidden") << "h";
        return name;
    }
    Sent SentNow()
    {
        std::lock_guard<std::mutex> g(m_);
        return sent_;
    }
    std::size_t Released(const std::string& name)
    {
        const Sent s = SentNow();
        return static_cast<std::size_t>(
            std::count(s.begin(), s.end(), std::make_pair(name, std::uint32_t{quor::ShareFormatReleaseShareName})));
    }
    // Runs `f` on the window thread (through the sync request's handler) and waits for it.
    void OnWindowThread(std::function<void()> f)
    {
        std::atomic<bool> done{false};
        std::function<void()> job = [&] {
            f();
            done.store(true);
        };
        runner_.store(&job);
        ASSERT_TRUE(::PostMessageW(static_cast<HWND>(window_.Hwnd()), quor::SyncClipboardDataToHostMessage(), 0, 0));
        ASSERT_TRUE(WaitUntil([&] { return done.load(); }));
        runner_.store(nullptr);
    }
    // The host's files are on the clipboard once another application reads them there.
    std::vector<std::string> FilesOnTheClipboard()
    {
        quortest::Bytes block;
        EXPECT_TRUE(WaitUntil([&] { return !(block = app_.Gets(CF_HDROP)).empty(); }, 10000));
        return DropPaths(block);
    }
    // Every event queued for the window thread before this call has been handled.
    void WindowThreadCaughtUp()
    {
        ASSERT_TRUE(window_.PostDeleteShareName("marker"));
        ASSERT_TRUE(WaitUntil([&] { return Released("marker") == 1; }));
    }

    quortest::ClipboardHarness machine_;
    quortest::OtherApp app_;
    std::filesystem::path share_;
    std::mutex m_;
    Sent sent_;
    std::atomic<std::function<void()>*> runner_{nullptr};
    quor::ClipboardShareWindow window_{[this] {
                                           if (auto* f = runner_.load()) {
                                               (*f)();
                                           }
                                       },
                                       [](std::uintptr_t, std::intptr_t) {},
                                       [](const quor::ShareFileMap&) { return std::string("unused"); },
                                       [this](const char* name, std::uint32_t format) {
                                           std::lock_guard<std::mutex> g(m_);
                                           sent_.emplace_back(name, format);
                                       }};
};

TEST_F(ShareWindowWin32, TheWindowIsHiddenAndBelongsToItsOwnThread)
{
    const HWND hwnd = static_cast<HWND>(window_.Hwnd());
    ASSERT_TRUE(::IsWindow(hwnd));
    EXPECT_FALSE(::IsWindowVisible(hwnd));
    const DWORD owner = ::GetWindowThreadProcessId(hwnd, nullptr);
    EXPECT_EQ(owner, ::GetThreadId(static_cast<HANDLE>(window_.ThreadHandle())));
    EXPECT_NE(owner, ::GetCurrentThreadId());
    window_.Destroy();
    EXPECT_FALSE(::IsWindow(hwnd));
}

// The shell's data object for every item of `folder` (what PutFilesToClipboard makes for
// the share), built on the calling thread.
void* ShellDataObjectOf(const std::string& folder, HWND owner)
{
    PIDLIST_ABSOLUTE pidl = ::ILCreateFromPathA(folder.c_str());
    if (pidl == nullptr) {
        ADD_FAILURE() << "no item list for " << folder;
        return nullptr;
    }
    IShellFolder* shellFolder = nullptr;
    void* dataObject = nullptr;
    const HRESULT bound = ::SHBindToObject(nullptr, pidl, nullptr, IID_IShellFolder, reinterpret_cast<void**>(&shellFolder));
    EXPECT_EQ(bound, S_OK) << folder;
    if (SUCCEEDED(bound)) {
        IEnumIDList* items = nullptr;
        std::vector<PITEMID_CHILD> children;
        if (shellFolder->EnumObjects(nullptr, SHCONTF_FOLDERS | SHCONTF_NONFOLDERS | SHCONTF_INCLUDEHIDDEN, &items) ==
                S_OK &&
            items != nullptr) {
            PITEMID_CHILD child = nullptr;
            while (items->Next(1, &child, nullptr) == S_OK) {
                children.push_back(child);
            }
            items->Release();
        }
        EXPECT_FALSE(children.empty()) << folder;
        const HRESULT made = shellFolder->GetUIObjectOf(owner, static_cast<UINT>(children.size()),
                                         const_cast<PCUITEMID_CHILD_ARRAY>(children.data()), IID_IDataObject, nullptr,
                                         &dataObject);
        EXPECT_EQ(made, S_OK) << folder;
        for (PITEMID_CHILD c : children) {
            ::ILFree(c);
        }
        shellFolder->Release();
    }
    ::ILFree(pidl);
    return dataObject;
}

// Host files on the OLE clipboard: the shell's items of the share wrapped in the share's
// data object, which is released once, the host hearing ReleaseShareName once, whichever
// way the clipboard lets go of it: another application copies, the clipboard is flushed,
// or the window's thread ends (the program's shutdown).
TEST_F(ShareWindowWin32, FilesDataObjectIsPlacedAndReleasedOnce)
{
    // A folder of the system drive stands in for the share: the data object does not care
    // where its items live (and Wine's shell parses no UNC path, see the test below).
    quortest::TempDir dir;
    std::filesystem::create_directories(dir.Path() / "sub");
    std::ofstream(dir.Path() / "a.txt") << "a";
    std::ofstream(dir.Path() / ".hidden") << "h";
    const std::string share = "clip_files";
    const std::string folder = dir.Path().string();
    const std::vector<std::string> items = {folder + "\\.hidden", folder + "\\a.txt", folder + "\\sub"};
    struct Case {
        const char* name;
        std::function<void()> letGo;
        bool stillReadable;  // a flushed clipboard keeps the rendered files
    };
    const std::vector<Case> cases = {
        {"another application copies",
         [&] { app_.Sets({{CF_UNICODETEXT, quortest::Utf16(u"replaced", true)}}); }, false},
        {"flushed", [&] { OnWindowThread([] { EXPECT_EQ(p::OleFlushClipboard(), S_OK); }); }, true},
        // Last: the window thread ends with the files still on the clipboard.
        {"the window ends", [&] { window_.Destroy(); }, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        {
            std::lock_guard<std::mutex> g(m_);
            sent_.clear();
        }
        window_.ClipboardChanged().store(0);
        bool placed = false;
        OnWindowThread([&] {
            void* inner = ShellDataObjectOf(folder, static_cast<HWND>(window_.Hwnd()));
            ASSERT_NE(inner, nullptr);
            placed = window_.SetFilesDataObject(inner, share.c_str());
        });
        ASSERT_TRUE(placed);
        EXPECT_EQ(quor::ShareDataObject::Alive(), 1);
        EXPECT_EQ(FilesOnTheClipboard(), items);
        // The program's own OLE write was no change.
        WindowThreadCaughtUp();
        EXPECT_EQ(window_.ClipboardChanged().load(), 0U);
        EXPECT_EQ(Released(share), 0U);

        c.letGo();
        ASSERT_TRUE(WaitUntil([] { return quor::ShareDataObject::Alive() == 0; }));
        EXPECT_EQ(Released(share), 1U);
        EXPECT_EQ(SentNow().size(), 2U);  // the marker and the one release
        if (c.stillReadable) {
            EXPECT_EQ(DropPaths(app_.Gets(CF_HDROP)), items);
        } else {
            EXPECT_TRUE(app_.Gets(CF_HDROP).empty());
        }
    }
}

// A share name outside ASCII (UTF-8 from the host) reaches the shell as UTF-16, the way
// PutFilesToClipboard converts it; read in the ANSI code page its bytes would name another
// folder. A folder of the system drive stands in for the share (Wine's shell parses no UNC
// path, see below).
TEST_F(ShareWindowWin32, NonAsciiNamesReachTheShellAsUtf16)
{
    quortest::TempDir dir;
    const std::wstring name = L"\u5171\u6709 \u00e9t\u00e9";
    std::filesystem::create_directories(dir.Path() / name);
    std::ofstream(dir.Path() / name / "f.txt") << "f";
    const std::string utf8 = "\xE5\x85\xB1\xE6\x9C\x89 \xC3\xA9t\xC3\xA9";
    std::u16string converted(utf8.size() + 1, u'\0');
    const int units = p::Utf8ToWideUnits(utf8.c_str(), converted.data(), static_cast<int>(converted.size()));
    ASSERT_GT(units, 0);
    converted.resize(static_cast<std::size_t>(units - 1));
    const std::wstring root = dir.Path().wstring();
    const std::u16string wide = std::u16string(root.begin(), root.end()) + u"\\" + converted;
    int items = 0;
    OnWindowThread([&] {
        p::IdList pidl = p::ILCreateFromPathW(wide.c_str());
        ASSERT_NE(pidl, nullptr);
        p::ShellFolder folder = nullptr;
        ASSERT_EQ(p::SHBindToObject(pidl, &folder), S_OK);
        p::ShellEnum list = nullptr;
        ASSERT_EQ(p::EnumObjects(folder, p::kShcontfAll, &list), S_OK);
        p::IdList child = nullptr;
        while (p::EnumNext(list, &child) == S_OK) {
            ++items;
            p::ILFree(child);
        }
        p::ReleaseEnum(list);
        p::ReleaseFolder(folder);
        p::ILFree(pidl);
    });
    EXPECT_EQ(items, 1);  // f.txt
}

// The whole path from the host's share name: the items of `\\Velt\<share>`.
TEST_F(ShareWindowWin32, PutFilesToClipboardPlacesTheShareItems)
{
    const std::string share = MakeShare();
    if (share.empty()) {
        GTEST_SKIP() << "no \\\\Velt server here (needs the Wine prefix's unc folder)";
    }
    const std::string unc = "\\\\Velt\\" + share;
    const DWORD attributes = ::GetFileAttributesA(unc.c_str());
    ASSERT_NE(attributes, INVALID_FILE_ATTRIBUTES) << "the share is not reachable as " << unc;
    ASSERT_NE(attributes & FILE_ATTRIBUTE_DIRECTORY, 0U);
    if (PIDLIST_ABSOLUTE pidl = ::ILCreateFromPathA(unc.c_str()); pidl != nullptr) {
        ::ILFree(pidl);
    } else {
        // Wine's shell (8.0) parses a UNC path as a name on the desktop and fails, though
        // the file system reaches the folder; Windows parses it through the network folder.
        GTEST_SKIP() << "this shell cannot make an item list of a UNC path: " << unc;
    }
    quortest::LogTail log;
    ASSERT_TRUE(window_.PostClipboardPutFiles(share.c_str()));
    const std::vector<std::string> items = {unc + "\\.hidden", unc + "\\a.txt", unc + "\\sub"};
    EXPECT_EQ(FilesOnTheClipboard(), items) << log.Since();
    EXPECT_EQ(quor::ShareDataObject::Alive(), 1);
    app_.Sets({{CF_UNICODETEXT, quortest::Utf16(u"replaced", true)}});
    ASSERT_TRUE(WaitUntil([] { return quor::ShareDataObject::Alive() == 0; }));
    EXPECT_EQ(Released(share), 1U);
}

TEST_F(ShareWindowWin32, PutFilesOfAMissingSharePlacesNothing)
{
    if (VeltFolder().empty()) {
        GTEST_SKIP() << "no \\\\Velt server here (needs the Wine prefix's unc folder)";
    }
    std::filesystem::create_directories(VeltFolder());
    quortest::LogTail log;
    bool ok = true;
    OnWindowThread([&] { ok = window_.PutFilesToClipboard("missing_share"); });
    EXPECT_FALSE(ok);
    EXPECT_TRUE(log.Contains("failed")) << log.Since();
    EXPECT_EQ(quor::ShareDataObject::Alive(), 0);
    EXPECT_TRUE(SentNow().empty());
}

}  // namespace
