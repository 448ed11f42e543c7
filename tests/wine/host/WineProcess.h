// Test support (Linux side of the Wine tests): a Windows program run with `wine` through the
// build's wine-run.sh (QUOR_WINE_RUN), with its stdin writable and its stdout read by line.
#pragma once

#include <csignal>
#include <poll.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace quortest {

class WineProcess {
public:
    WineProcess(const std::string& wineRun, const std::vector<std::string>& args)
    {
        // Everything the child needs is made before the fork: the test process has threads.
        std::vector<char*> argv{const_cast<char*>("/bin/sh"), const_cast<char*>(wineRun.c_str())};
        for (const std::string& a : args) {
            argv.push_back(const_cast<char*>(a.c_str()));
        }
        argv.push_back(nullptr);
        int in[2];
        int out[2];
        if (::pipe(in) != 0 || ::pipe(out) != 0) {
            return;
        }
        pid_ = ::fork();
        if (pid_ == 0) {
            ::dup2(in[0], 0);
            ::dup2(out[1], 1);
            ::close(in[0]);
            ::close(in[1]);
            ::close(out[0]);
            ::close(out[1]);
            ::execv("/bin/sh", argv.data());
            ::_exit(127);
        }
        ::close(in[0]);
        ::close(out[1]);
        in_ = in[1];
        out_ = out[0];
    }
    ~WineProcess()
    {
        if (pid_ > 0 && status_ < 0) {
            ::kill(pid_, SIGKILL);
            (void)Wait(-1);
        }
        for (int fd : {in_, out_}) {
            if (fd >= 0) {
                ::close(fd);
            }
        }
    }
    WineProcess(const WineProcess&) = delete;
    WineProcess& operator=(const WineProcess&) = delete;

    bool Started() const { return pid_ > 0; }
    pid_t Pid() const { return pid_; }
    bool Write(const std::string& text) { return ::write(in_, text.data(), text.size()) == static_cast<ssize_t>(text.size()); }
    // The next output line (without its CR LF); false at the end of the output or when
    // `timeoutMs` passed without one.
    bool Line(std::string& line, int timeoutMs)
    {
        line.clear();
        for (;;) {
            pollfd p{out_, POLLIN, 0};
            if (::poll(&p, 1, timeoutMs) <= 0) {
                return false;
            }
            char c;
            if (::read(out_, &c, 1) != 1) {
                return false;
            }
            output_ += c;
            if (c == '\n') {
                if (!line.empty() && line.back() == '\r') {
                    line.pop_back();
                }
                return true;
            }
            line += c;
        }
    }
    // Everything up to the end of the output, then the exit status (-1 when still running
    // after `timeoutMs`, or when it did not end normally).
    int Wait(int timeoutMs)
    {
        std::string rest;
        while (Line(rest, timeoutMs)) {
        }
        for (int waited = 0; status_ < 0; ++waited) {
            int st = 0;
            const pid_t r = ::waitpid(pid_, &st, timeoutMs < 0 ? 0 : WNOHANG);
            if (r == pid_) {
                status_ = WIFEXITED(st) ? WEXITSTATUS(st) : 128;
                break;
            }
            if (timeoutMs >= 0 && waited >= timeoutMs) {
                return -1;
            }
            ::usleep(1000);
        }
        return status_;
    }
    const std::string& Output() const { return output_; }

private:
    pid_t pid_ = -1;
    int in_ = -1;
    int out_ = -1;
    int status_ = -1;
    std::string output_;
};

// Runs a command to its end; its exit status and output.
inline int RunWine(const std::string& wineRun, const std::vector<std::string>& args, std::string& output,
                   int timeoutMs = 60000)
{
    WineProcess p(wineRun, args);
    const int status = p.Wait(timeoutMs);
    output = p.Output();
    return status;
}

}  // namespace quortest
