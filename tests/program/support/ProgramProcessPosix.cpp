#include <chrono>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "shared/lib/platform/SimLayout.h"
#include "tests/program/support/ProgramProcess.h"

extern char** environ;

namespace quortest {

struct ProgramProcess::Impl {
    pid_t pid = -1;
    int status = -1;
};

ProgramProcess::ProgramProcess(const std::vector<std::string>& args) : impl_(new Impl)
{
    // Everything the child needs is made before the fork: the test process has threads.
    std::vector<std::string> argStore{QUORSHAREMGR_EXE};
    argStore.insert(argStore.end(), args.begin(), args.end());
    std::vector<std::string> envStore{"QUOR_SIM_DIR=" + quor::platform::SimDir(), "QUOR_SIM_PORTS=none"};
    for (char** e = environ; *e != nullptr; ++e) {
        if (std::strncmp(*e, "QUOR_SIM_DIR=", 13) != 0 && std::strncmp(*e, "QUOR_SIM_PORTS=", 15) != 0) {
            envStore.emplace_back(*e);
        }
    }
    std::vector<char*> argv;
    for (std::string& a : argStore) {
        argv.push_back(a.data());
    }
    argv.push_back(nullptr);
    std::vector<char*> envp;
    for (std::string& e : envStore) {
        envp.push_back(e.data());
    }
    envp.push_back(nullptr);
    impl_->pid = ::fork();
    if (impl_->pid == 0) {
        ::execve(QUORSHAREMGR_EXE, argv.data(), envp.data());
        ::_exit(127);
    }
}

ProgramProcess::~ProgramProcess()
{
    if (impl_->pid > 0 && impl_->status < 0) {
        ::kill(impl_->pid, SIGKILL);
        ::waitpid(impl_->pid, nullptr, 0);
    }
    delete impl_;
}

bool ProgramProcess::Started() const { return impl_->pid > 0; }

bool ProgramProcess::SendConsoleEvent(ConsoleEvent event)
{
    const int signal = event == ConsoleEvent::CtrlC ? SIGINT : event == ConsoleEvent::Close ? SIGHUP : SIGTERM;
    return impl_->pid > 0 && ::kill(impl_->pid, signal) == 0;
}

int ProgramProcess::WaitExit(int timeoutMs)
{
    if (impl_->status >= 0 || impl_->pid <= 0) {
        return impl_->status;
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        int st = 0;
        if (::waitpid(impl_->pid, &st, WNOHANG) == impl_->pid) {
            impl_->status = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
            return impl_->status;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

namespace {

std::filesystem::path LogPath()
{
    return std::filesystem::path(quor::platform::SimDir()) / "drives/C/ProgramData/QUOR/log/quor.log";
}

}  // namespace

std::string ProgramLog()
{
    std::ifstream in(LogPath(), std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

void RemoveProgramLog()
{
    std::error_code ec;
    std::filesystem::remove(LogPath(), ec);
}

}  // namespace quortest
