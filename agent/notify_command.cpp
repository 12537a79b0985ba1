#include "agent/notify_command.hpp"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>

#include <fcntl.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

namespace agent {
namespace {

constexpr int kPollMs = 20;
constexpr int kMostFds = 65536;  // when close_range is missing, the fds walked to close
// Signals whose disposition the agent may have changed; a child starts with the defaults.
constexpr int kResetSignals[] = {SIGPIPE, SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGCHLD, SIGUSR1, SIGUSR2};

int64_t steady_ms()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

class Fd {
public:
    Fd() = default;
    explicit Fd(int fd) : fd_(fd) {}
    ~Fd() { reset(); }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return fd_; }
    void reset(int fd = -1)
    {
        if (fd_ >= 0) ::close(fd_);
        fd_ = fd;
    }

private:
    int fd_ = -1;
};

struct Pipe {
    Fd read;
    Fd write;
};

bool make_pipe(Pipe& pipe)
{
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) return false;
    pipe.read.reset(fds[0]);
    pipe.write.reset(fds[1]);
    return true;
}

// Between fork and exec only async-signal-safe calls: everything the child
// needs was made before the fork.
[[noreturn]] void become_command(char* const* argv, char* const* envp, int input, int output, int failure, pid_t agent)
{
    ::setpgid(0, 0);
    // An agent killed outright takes the command with it: the next start runs
    // it again, so a run that went on alone would tell the event twice.
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (::getppid() != agent) ::_exit(127);  // gone before the line above
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    for (int signal : kResetSignals) ::signal(signal, SIG_DFL);
    if (::dup2(input, 0) < 0 || ::dup2(output, 1) < 0 || ::dup2(output, 2) < 0) {
        const int error = errno;
        (void)!::write(failure, &error, sizeof error);
        ::_exit(127);
    }
    // The store, the sockets and the lines stay the agent's: every fd from 3
    // on closes at exec (the failure pipe with them, which tells the exec worked).
    if (::syscall(SYS_close_range, 3U, ~0U, 4U /* CLOSE_RANGE_CLOEXEC */) != 0)
        for (int fd = 3; fd < kMostFds; ++fd)
            if (fd != failure) ::close(fd);
    ::execve(argv[0], argv, envp);
    const int error = errno;
    (void)!::write(failure, &error, sizeof error);
    ::_exit(127);
}

// Reaped: true, with its status.
bool reaped(pid_t pid, int& status, bool block)
{
    for (;;) {
        const pid_t done = ::waitpid(pid, &status, block ? 0 : WNOHANG);
        if (done == pid) return true;
        if (done < 0 && errno == EINTR) continue;
        if (done < 0) {  // not ours to reap (SIGCHLD ignored): gone
            status = 0;
            return true;
        }
        return false;
    }
}

// SIGTERM to the group, then SIGKILL after the grace; reaped either way.
void end_group(pid_t pid, int& status)
{
    ::kill(-pid, SIGTERM);
    const int64_t until = steady_ms() + kCommandKillGraceMs;
    while (steady_ms() < until) {
        if (reaped(pid, status, false)) {
            ::kill(-pid, SIGKILL);  // what it left behind in its group
            return;
        }
        ::poll(nullptr, 0, kPollMs);
    }
    ::kill(-pid, SIGKILL);
    reaped(pid, status, true);
}

std::string shown_output(const std::string& output)
{
    std::string shown;
    for (char c : output) shown += (static_cast<unsigned char>(c) < ' ' || c == 0x7f) ? ' ' : c;
    const auto end = shown.find_last_not_of(' ');
    return end == std::string::npos ? "" : shown.substr(0, end + 1);
}

std::string seconds_text(int64_t ms)
{
    return ms % 1000 == 0 ? std::to_string(ms / 1000) + " s" : std::to_string(ms) + " ms";
}

}  // namespace

CommandOutcome run_command(const CommandRun& run, const std::function<bool()>& stop)
{
    CommandOutcome outcome;
    if (run.argv.empty()) {
        outcome.reason = "no command";
        return outcome;
    }
    std::vector<char*> argv;
    for (const std::string& a : run.argv) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    std::vector<char*> envp;
    for (const std::string& e : run.env) envp.push_back(const_cast<char*>(e.c_str()));
    envp.push_back(nullptr);

    Pipe input, output, failure;
    if (!make_pipe(input) || !make_pipe(output) || !make_pipe(failure)) {
        outcome.reason = std::string("cannot make a pipe: ") + std::strerror(errno);
        return outcome;
    }
    // The text fits the pipe's buffer (it is a line): written whole before the
    // command starts, so a command that never reads it cannot hold the agent.
    const std::string text = run.input.substr(0, 4096);
    if (::write(input.write.get(), text.data(), text.size()) != static_cast<ssize_t>(text.size())) {
        outcome.reason = std::string("cannot write the command's input: ") + std::strerror(errno);
        return outcome;
    }
    input.write.reset();

    const pid_t agent = ::getpid();
    const pid_t pid = ::fork();
    if (pid < 0) {
        outcome.reason = std::string("cannot start ") + run.argv[0] + ": " + std::strerror(errno);
        return outcome;
    }
    if (pid == 0) become_command(argv.data(), envp.data(), input.read.get(), output.write.get(), failure.write.get(),
                                 agent);
    ::setpgid(pid, pid);  // also here: the group exists before anything signals it
    input.read.reset();
    output.write.reset();
    failure.write.reset();

    int status = 0;
    int exec_error = 0;
    if (::read(failure.read.get(), &exec_error, sizeof exec_error) == static_cast<ssize_t>(sizeof exec_error)) {
        reaped(pid, status, true);
        outcome.reason = "cannot run " + run.argv[0] + ": " + std::strerror(exec_error);
        return outcome;
    }

    ::fcntl(output.read.get(), F_SETFL, O_NONBLOCK);
    std::string kept;
    bool output_open = true;
    const auto read_output = [&] {
        char buffer[4096];
        for (;;) {
            const ssize_t n = ::read(output.read.get(), buffer, sizeof buffer);
            if (n > 0) {
                kept.append(buffer, std::min<std::size_t>(static_cast<std::size_t>(n),
                                                           kCommandOutputKept - std::min(kept.size(), kCommandOutputKept)));
                continue;
            }
            if (n == 0) output_open = false;
            if (n < 0 && errno == EINTR) continue;
            return;
        }
    };
    const int64_t deadline = steady_ms() + run.timeout_ms;
    bool exited = false;
    while (!exited) {
        if (stop && stop()) {
            end_group(pid, status);
            outcome.stopped = true;
            outcome.reason = "stopped with the agent";
            return outcome;
        }
        if (steady_ms() >= deadline) {
            end_group(pid, status);
            outcome.reason = "still running after " + seconds_text(run.timeout_ms) + ": killed";
            return outcome;
        }
        pollfd watch{output.read.get(), POLLIN, 0};
        if (output_open && ::poll(&watch, 1, kPollMs) > 0) read_output();
        else if (!output_open) ::poll(nullptr, 0, kPollMs);
        exited = reaped(pid, status, false);
    }
    // What it wrote before it ended; a child it left holding the pipe is not waited for.
    if (output_open) read_output();

    const std::string said = shown_output(kept);
    if (WIFEXITED(status) && WEXITSTATUS(status) == 0) {
        outcome.succeeded = true;
        return outcome;
    }
    outcome.reason = WIFSIGNALED(status) ? "killed by signal " + std::to_string(WTERMSIG(status))
                                         : "exit status " + std::to_string(WEXITSTATUS(status));
    if (!said.empty()) outcome.reason += ": " + said;
    return outcome;
}

}  // namespace agent
