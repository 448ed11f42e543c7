// quorstart.exe: what the Run key starts at every user's logon. A console program started
// from there gets a console window, and closing that window would end it; this launcher is
// a windows-subsystem program that starts quorsharemgr.exe from its own folder with
// CREATE_NO_WINDOW (a console without a window, so the program's console handling still
// works) and ends at once: it holds nothing and never delays the logoff.
#include <windows.h>

#include <cwchar>

int main()
{
    static wchar_t program[MAX_PATH * 4];
    const DWORD length = GetModuleFileNameW(nullptr, program, MAX_PATH * 4);
    if (length == 0 || length >= MAX_PATH * 4) {
        return 1;
    }
    wchar_t* const separator = std::wcsrchr(program, L'\\');
    if (separator == nullptr) {
        return 1;
    }
    static constexpr wchar_t kProgramName[] = L"quorsharemgr.exe";
    const size_t folderLength = static_cast<size_t>(separator - program) + 1;
    if (folderLength + sizeof kProgramName / sizeof(wchar_t) > MAX_PATH * 4) {
        return 1;
    }
    std::wmemcpy(separator + 1, kProgramName, sizeof kProgramName / sizeof(wchar_t));

    // The command line is the quoted program path alone: no pipe number, no agent.
    static wchar_t commandLine[MAX_PATH * 4 + 2];
    commandLine[0] = L'"';
    std::wcscpy(commandLine + 1, program);
    std::wcscat(commandLine, L"\"");

    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    if (!CreateProcessW(program, commandLine, nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr, nullptr,
                        &startup, &process)) {
        return static_cast<int>(GetLastError());
    }
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return 0;
}
