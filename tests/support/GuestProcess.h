// Test support (simulation only): the quorguest program (QUORGUEST_EXE, given by the build)
// run as a child process on a test's machine folder, its output read line by line.
#pragma once

#include <csignal>
#include <cstring>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace quortest {

class GuestProcess {
public:
    GuestProcess(const std::string& simDir, const std::vector<std::string>& args)
    {
        // Everything the child needs is made before the fork: the test process has threads.
        std::vector<char*> argv{const_cast<char*>(QUORGUEST_EXE)};
        for (const std::string& a : args) {
            argv.push_back(const_cast<char*>(a.c_str()));
        }
        argv.push_back(nullptr);
        env_.push_back("QUOR_SIM_DIR=" + simDir);
        for (char** e = environ; *e != nullptr; ++e) {
            if (std::strncmp(*e, "QUOR_SIM_DIR=", 13) != 0) {
                env_.emplace_back(*e);
            }
        }
        std::vector<char*> envp;
        for (std::string& e : env_) {
            envp.push_back(e.data());
        }
        envp.push_back(nullptr);
        int fds[2];
        if (::pipe(fds) != 0) {
            return;
        }
        pid_ = ::fork();
        if (pid_ == 0) {
            ::dup2(fds[1], 1);
            ::dup2(fds[1], 2);
            ::close(fds[0]);
            ::close(fds[1]);
            ::execve(QUORGUEST_EXE, argv.data(), envp.data());
            ::_exit(127);
        }
        ::close(fds[1]);
        out_ = fds[0];
    }
    ~GuestProcess()
    {
        if (pid_ > 0 && status_ < 0) {
            ::kill(pid_, SIGKILL);
            Wait();
        }
        if (out_ >= 0) {
            ::close(out_);
        }
    }
    // The output up to the next newline (without it); false at the end of the output.
    bool Line(std::string& line)
    {
        line.clear();
        char c;
        while (::read(out_, &c, 1) == 1) {
            output_ += c;
            if (c == '\n') {
                return true;
            }
            line += c;
        }
        return false;
    }
    // Reads the rest of the output and waits for the exit status.
    int Wait()
    {
        std::string ignored;
        while (Line(ignored)) {
        }
        int st = 0;
        ::waitpid(pid_, &st, 0);
        status_ = WIFEXITED(st) ? WEXITSTATUS(st) : 128;
        return status_;
    }
    void Terminate() { ::kill(pid_, SIGTERM); }
    const std::string& Output() const { return output_; }

private:
    pid_t pid_ = -1;
    int out_ = -1;
    int status_ = -1;
    std::string output_;
    std::vector<std::string> env_;
};

}  // namespace quortest
