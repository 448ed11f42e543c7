// The win32 backend where Windows itself decides: a file that another process holds
// open without delete sharing cannot be deleted (-1), and an open file of the host
// keeps its data through the runtime's descriptor.
#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "fileshare/src/FuseServer.h"
#include "shared/lib/platform/win32/LongPath.h"
#include "tests/fileshare/support/DirectClient.h"
#include "tests/fileshare/support/FsSandbox.h"

using namespace quor::fs;
using fstest::DirectClient;

TEST(BackendWin32, UnlinkOfAFileHeldOpenElsewhereFails)
{
    quortest::ProcessLogPath();
    fstest::FsSandbox sb;
    sb.WriteFile("held.txt", "held");
    FuseServer server;
    ASSERT_TRUE(server.AddShareName("s", {{"held.txt", sb.Local("held.txt")}}, 0, false, false));
    DirectClient c(server);
    HANDLE other = ::CreateFileW(sb.Host("held.txt").wstring().c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                 OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(other, INVALID_HANDLE_VALUE);
    quortest::LogTail tail;
    EXPECT_EQ(c.Call(FUSE_UNLINK, "/s/held.txt").error(), -1);
    EXPECT_TRUE(tail.Contains("Can't remove file <HIDDEN-DATA>, error: 32"));
    ::CloseHandle(other);
    EXPECT_EQ(c.Call(FUSE_UNLINK, "/s/held.txt").error(), 0);
    EXPECT_EQ(c.Call(FUSE_UNLINK, "/s/held.txt").error(), -2);
}

TEST(BackendWin32, NonAsciiNamesTravelAsUtf8)
{
    quortest::ProcessLogPath();
    fstest::FsSandbox sb;
    const std::wstring name = L"caf\u00e9 \u65e5\u672c.txt";
    const std::filesystem::path p = sb.Host() / name;
    HANDLE h = ::CreateFileW(p.wstring().c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    ::CloseHandle(h);
    FuseServer server;
    ASSERT_TRUE(server.AddShareName("s", {{"d", sb.Local()}}, 0, false, false));
    DirectClient c(server);
    const fstest::Reply list = c.Call(FUSE_READDIR, "/s/d");
    ASSERT_EQ(list.error(), 0);
    std::vector<std::string> names;
    ForEachDirRecord(list.payload.data(), list.payload.size(), [&](std::string_view n) { names.emplace_back(n); });
    const std::string utf8 = "caf\xC3\xA9 \xE6\x97\xA5\xE6\x9C\xAC.txt";
    EXPECT_NE(std::find(names.begin(), names.end(), utf8), names.end());
    EXPECT_EQ(c.Call(FUSE_GETATTR, "/s/d/" + utf8).error(), 0);
    EXPECT_EQ(c.Call(FUSE_UNLINK, "/s/d/" + utf8).error(), 0);
}

// The extended-length form the backend's file calls take: full, with the rules of the
// ordinary form applied first, and nothing that is not an absolute drive or UNC path.
TEST(BackendWin32, ExtendedLengthForms)
{
    const std::wstring longName(300, L'a');
    struct Case {
        std::wstring path;
        std::wstring extended;
    };
    const Case cases[] = {
        {L"C:\\a\\b", L"\\\\?\\C:\\a\\b"},
        {L"C:/a/b/../c", L"\\\\?\\C:\\a\\c"},
        {L"C:\\a\\.\\b.", L"\\\\?\\C:\\a\\b"},
        {L"C:\\" + longName + L"\\f", L"\\\\?\\C:\\" + longName + L"\\f"},
        {L"\\\\srv\\sh\\x\\y", L"\\\\?\\UNC\\srv\\sh\\x\\y"},
        {L"//srv/sh/x", L"\\\\?\\UNC\\srv\\sh\\x"},
        {L"\\\\?\\C:\\x\\..\\y", L"\\\\?\\C:\\x\\..\\y"},
        {L"\\\\.\\pipe\\p", L"\\\\.\\pipe\\p"},
        {L"rel\\x", L"rel\\x"},
        {L"C:rel", L"C:rel"},
        {L"\\rooted", L"\\rooted"},
        {L"C:\\dir\\CON", L"C:\\dir\\CON"},  // a device, not a file
    };
    for (const Case& c : cases) {
        EXPECT_EQ(quor::platform::ExtendedLengthPath(c.path.c_str()), c.extended) << std::string(c.path.begin(), c.path.end());
    }
}
