// Child processes on POSIX systems: fork and exec, the child in a process
// group of its own so that a terminal's Ctrl+C reaches only the parent, which
// passes it on once (a child that saw it twice would end at once).
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>

#if defined(__linux__)
#include <sys/prctl.h>
#endif

#include "cli/child_process.h"

namespace {

class FileDescriptor {
public:
    explicit FileDescriptor(int fd = -1) : fd_(fd) {}
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    ~FileDescriptor() { reset(); }
    int get() const { return fd_; }
    // Gives the descriptor up without closing it.
    int release() {
        const int fd = fd_;
        fd_ = -1;
        return fd;
    }
    void reset(int fd = -1) {
        if (fd_ >= 0) {
            close(fd_);
        }
        fd_ = fd;
    }

private:
    int fd_;
};

// Both ends close on exec; the child's copy becomes its stdout or stderr.
bool make_pipe(FileDescriptor& read_end, FileDescriptor& write_end) {
    int ends[2];
    if (pipe2(ends, O_CLOEXEC) != 0) {
        return false;
    }
    read_end.reset(ends[0]);
    write_end.reset(ends[1]);
    return true;
}

// In the forked child: only async-signal-safe calls until exec.
[[noreturn]] void become_child(char* const* argv, int output, int error, pid_t parent) {
    setpgid(0, 0);
#if defined(__linux__)
    // A parent that is killed leaves no child running on without it: the child
    // is asked to stop at its next safe point, as by a signal of the user's.
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (getppid() != parent) {
        _exit(127);
    }
#else
    (void)parent;
#endif
    const int nothing = open("/dev/null", O_RDONLY);
    if (nothing < 0 || dup2(nothing, 0) < 0 || dup2(output, 1) < 0 || dup2(error, 2) < 0) {
        _exit(127);
    }
    // The parent's handlers and ignored signals do not carry over.
    signal(SIGPIPE, SIG_DFL);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    execv(argv[0], argv);
    _exit(127);
}

class PosixChild final : public ChildProcess {
public:
    PosixChild(pid_t pid, FileDescriptor& output, FileDescriptor& error) : pid_(pid) {
        output_.reset(output.release());
        error_.reset(error.release());
    }
    ~PosixChild() override {
        if (!waited_) {
            kill(pid_, SIGKILL);
            wait();
        }
    }

    std::size_t read(Stream stream, std::span<char> buffer) override {
        const int fd = stream == Stream::output ? output_.get() : error_.get();
        for (;;) {
            const ssize_t got = ::read(fd, buffer.data(), buffer.size());
            if (got >= 0) {
                return static_cast<std::size_t>(got);
            }
            if (errno != EINTR) {
                return 0;
            }
        }
    }

    void interrupt() override { kill(pid_, SIGINT); }

    int wait() override {
        if (waited_) {
            return status_;
        }
        int raw = 0;
        while (waitpid(pid_, &raw, 0) < 0) {
            if (errno != EINTR) {
                raw = 0;
                status_ = 1;
                waited_ = true;
                return status_;
            }
        }
        waited_ = true;
        status_ = WIFEXITED(raw) ? WEXITSTATUS(raw) : WIFSIGNALED(raw) ? 128 + WTERMSIG(raw) : 1;
        return status_;
    }

private:
    pid_t pid_;
    FileDescriptor output_, error_;
    bool waited_ = false;
    int status_ = 0;
};

}  // namespace

std::unique_ptr<ChildProcess> start_child_process(const std::vector<std::string>& arguments,
                                                  std::string& error) {
    if (arguments.empty()) {
        error = "no program to start";
        return nullptr;
    }
    std::vector<std::string> copies(arguments);
    std::vector<char*> argv;
    for (std::string& argument : copies) {
        argv.push_back(argument.data());
    }
    argv.push_back(nullptr);
    FileDescriptor output_read, output_write, error_read, error_write;
    if (!make_pipe(output_read, output_write) || !make_pipe(error_read, error_write)) {
        error = std::string("cannot make a pipe: ") + std::strerror(errno);
        return nullptr;
    }
    const pid_t parent = getpid();
    const pid_t pid = fork();
    if (pid < 0) {
        error = std::string("cannot start a process: ") + std::strerror(errno);
        return nullptr;
    }
    if (pid == 0) {
        become_child(argv.data(), output_write.get(), error_write.get(), parent);
    }
    // Also from here, so that a signal sent to the group at once finds it.
    setpgid(pid, pid);
    output_write.reset();
    error_write.reset();
    return std::make_unique<PosixChild>(pid, output_read, error_read);
}

std::string own_program_path(const char* argv0) {
    std::array<char, 4096> path{};
    const ssize_t length = readlink("/proc/self/exe", path.data(), path.size() - 1);
    if (length > 0) {
        return std::string(path.data(), static_cast<std::size_t>(length));
    }
    return argv0 != nullptr ? argv0 : "";
}
