// standin_helper: the guest side of the Wine end-to-end tests, run by the Linux-side test
// with `wine`. Each command is one other application of the guest desktop, or the agent.
//
//   wait-devices <ports> <fs> <ms>   until SetupDi lists that many virtio-serial port and
//                                     virtio-fs interfaces (exit 1 when the time passed)
//   clip-set-text <text>             one application's clipboard set: CF_UNICODETEXT
//   clip-set-files <path>...         the same with CF_HDROP
//   clip-get                         prints "text <utf-8>", "html <bytes>", "dib <w> <h> <bits>"
//                                     for what the clipboard holds
//   agent <n>                        the agent: listens on \\.\pipe\quorsharepipe<n>, prints
//                                     "listening", then "connected"; on a line from stdin sends
//                                     "\CLOSE" and prints "answer <text>"; exit 0 on "\CLOSED"
//
// Output lines are flushed at once: the test reads them while the command still runs.
#include <windows.h>
#include <setupapi.h>
#include <shlobj.h>

#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <cstring>
#include <string>
#include <vector>

namespace {

const GUID kSerialPortClass = {0x6FDE7521, 0x1B65, 0x48AE, {0xB6, 0x28, 0x80, 0xBE, 0x62, 0x01, 0x60, 0x26}};
const GUID kVirtioFsClass = {0xA1B0CBF2, 0xF488, 0x4B29, {0xB8, 0x9F, 0x16, 0xC7, 0x8E, 0x68, 0xC7, 0x37}};

void Say(const std::string& line)
{
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

std::string Utf8(const std::wstring& w)
{
    if (w.empty()) {
        return {};
    }
    const int n = ::WideCharToMultiByte(CP_UTF8, 0, w.data(), static_cast<int>(w.size()), nullptr, 0, nullptr, nullptr);
    std::string s(static_cast<std::size_t>(n), '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, w.data(), static_cast<int>(w.size()), s.data(), n, nullptr, nullptr);
    return s;
}

int CountInterfaces(const GUID& guid)
{
    HDEVINFO set = ::SetupDiGetClassDevsW(&guid, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    if (set == INVALID_HANDLE_VALUE) {
        return 0;
    }
    int count = 0;
    SP_DEVICE_INTERFACE_DATA data{};
    data.cbSize = sizeof data;
    while (::SetupDiEnumDeviceInterfaces(set, nullptr, &guid, static_cast<DWORD>(count), &data)) {
        ++count;
    }
    ::SetupDiDestroyDeviceInfoList(set);
    return count;
}

int WaitDevices(int ports, int fs, DWORD timeoutMs)
{
    const ULONGLONG end = ::GetTickCount64() + timeoutMs;
    int seenPorts = 0;
    int seenFs = 0;
    for (;;) {
        seenPorts = CountInterfaces(kSerialPortClass);
        seenFs = CountInterfaces(kVirtioFsClass);
        if (seenPorts >= ports && seenFs >= fs) {
            Say("devices " + std::to_string(seenPorts) + " " + std::to_string(seenFs));
            return 0;
        }
        if (::GetTickCount64() > end) {
            break;
        }
        ::Sleep(50);  // polling a state, bounded by the caller's time-out
    }
    std::fprintf(stderr, "stand-in devices missing: %d port and %d virtio-fs interfaces (wanted %d and %d)\n",
                 seenPorts, seenFs, ports, fs);
    return 1;
}

// Opens the clipboard for this application, waiting while another holds it.
bool Open()
{
    for (int i = 0; i < 1000; ++i) {
        if (::OpenClipboard(nullptr)) {
            return true;
        }
        ::Sleep(10);
    }
    return false;
}

bool Place(UINT format, const void* bytes, std::size_t size)
{
    HGLOBAL block = ::GlobalAlloc(GMEM_MOVEABLE, size);
    if (block == nullptr) {
        return false;
    }
    std::memcpy(::GlobalLock(block), bytes, size);
    ::GlobalUnlock(block);
    if (::SetClipboardData(format, block) == nullptr) {
        ::GlobalFree(block);
        return false;
    }
    return true;
}

int SetClipboard(UINT format, const std::vector<unsigned char>& bytes)
{
    if (!Open()) {
        std::fprintf(stderr, "OpenClipboard failed: %lu\n", ::GetLastError());
        return 1;
    }
    const bool ok = ::EmptyClipboard() && Place(format, bytes.data(), bytes.size());
    ::CloseClipboard();
    return ok ? 0 : 1;
}

std::vector<unsigned char> Bytes(const std::wstring& w)
{
    const auto* p = reinterpret_cast<const unsigned char*>(w.c_str());
    return {p, p + (w.size() + 1) * sizeof(wchar_t)};
}

int SetFiles(int argc, wchar_t** argv, int first)
{
    DROPFILES header{};
    header.pFiles = sizeof header;
    header.fWide = TRUE;
    std::vector<unsigned char> bytes(sizeof header);
    std::memcpy(bytes.data(), &header, sizeof header);
    for (int i = first; i < argc; ++i) {
        const std::vector<unsigned char> path = Bytes(argv[i]);
        bytes.insert(bytes.end(), path.begin(), path.end());
    }
    bytes.push_back(0);
    bytes.push_back(0);
    return SetClipboard(CF_HDROP, bytes);
}

int GetClipboard()
{
    if (!Open()) {
        std::fprintf(stderr, "OpenClipboard failed: %lu\n", ::GetLastError());
        return 1;
    }
    const UINT html = ::RegisterClipboardFormatW(L"HTML Format");
    for (UINT f = ::EnumClipboardFormats(0); f != 0; f = ::EnumClipboardFormats(f)) {
        HANDLE h = ::GetClipboardData(f);
        if (h == nullptr) {
            continue;
        }
        const auto* p = static_cast<const unsigned char*>(::GlobalLock(h));
        const SIZE_T size = ::GlobalSize(h);
        if (f == CF_UNICODETEXT) {
            Say("text " + Utf8(std::wstring(reinterpret_cast<const wchar_t*>(p), ::wcsnlen(reinterpret_cast<const wchar_t*>(p), size / 2))));
        } else if (f == html) {
            Say("html " + std::string(reinterpret_cast<const char*>(p), ::strnlen(reinterpret_cast<const char*>(p), size)));
        } else if (f == CF_DIB && size >= sizeof(BITMAPINFOHEADER)) {
            BITMAPINFOHEADER bi;
            std::memcpy(&bi, p, sizeof bi);
            Say("dib " + std::to_string(bi.biWidth) + " " + std::to_string(bi.biHeight) + " " + std::to_string(bi.biBitCount));
        }
        ::GlobalUnlock(h);
    }
    ::CloseClipboard();
    return 0;
}

int Agent(const std::wstring& suffix)
{
    const std::wstring name = L"\\\\.\\pipe\\quorsharepipe" + suffix;
    HANDLE pipe = ::CreateNamedPipeW(name.c_str(), PIPE_ACCESS_DUPLEX, PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT, 1,
                                     4096, 4096, 0, nullptr);
    if (pipe == INVALID_HANDLE_VALUE) {
        std::fprintf(stderr, "CreateNamedPipeW failed: %lu\n", ::GetLastError());
        return 1;
    }
    Say("listening");
    if (!::ConnectNamedPipe(pipe, nullptr) && ::GetLastError() != ERROR_PIPE_CONNECTED) {
        std::fprintf(stderr, "ConnectNamedPipe failed: %lu\n", ::GetLastError());
        return 1;
    }
    Say("connected");
    char line[64];
    if (std::fgets(line, sizeof line, stdin) == nullptr) {
        return 1;
    }
    const wchar_t close[] = L"\\CLOSE";
    DWORD n = 0;
    if (!::WriteFile(pipe, close, sizeof close, &n, nullptr)) {
        return 1;
    }
    std::wstring answer;
    wchar_t c = 0;
    while (::ReadFile(pipe, &c, sizeof c, &n, nullptr) && n == sizeof c && c != 0) {
        answer.push_back(c);
    }
    Say("answer " + Utf8(answer));
    ::CloseHandle(pipe);
    return answer == L"\\CLOSED" ? 0 : 1;
}

int Usage()
{
    std::fprintf(stderr, "usage: standin_helper wait-devices <ports> <fs> <ms> | clip-set-text <text> |\n"
                         "       clip-set-files <path>... | clip-get | agent <n>\n");
    return 2;
}

}  // namespace

int main()
{
    int argc = 0;
    wchar_t** argv = ::CommandLineToArgvW(::GetCommandLineW(), &argc);
    if (argv == nullptr || argc < 2) {
        return Usage();
    }
    const std::wstring command = argv[1];
    if (command == L"wait-devices" && argc == 5) {
        return WaitDevices(_wtoi(argv[2]), _wtoi(argv[3]), static_cast<DWORD>(_wtoi(argv[4])));
    }
    if (command == L"clip-set-text" && argc == 3) {
        return SetClipboard(CF_UNICODETEXT, Bytes(argv[2]));
    }
    if (command == L"clip-set-files" && argc >= 3) {
        return SetFiles(argc, argv, 2);
    }
    if (command == L"clip-get" && argc == 2) {
        return GetClipboard();
    }
    if (command == L"agent" && argc == 3) {
        return Agent(argv[2]);
    }
    return Usage();
}
