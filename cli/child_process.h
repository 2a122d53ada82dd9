#pragma once
// A child process of the command-line program: one per instrument in a run of
// every attached instrument. Its standard output and standard error are pipes
// that the parent reads; its standard input is empty.
#include <cstddef>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

class ChildProcess {
public:
    virtual ~ChildProcess() = default;

    enum class Stream { output, error };

    // Blocks until some bytes of the stream arrive; 0 at its end (or when it
    // cannot be read). One thread per stream may read.
    virtual std::size_t read(Stream stream, std::span<char> buffer) = 0;

    // Asks the child to stop at its next safe point, as Ctrl+C or SIGINT asks
    // the program; a second call ends it at once, as a second one does.
    virtual void interrupt() = 0;

    // Waits for the child to end: its exit status, 128 + N when signal N
    // ended it.
    virtual int wait() = 0;
};

// Starts program with arguments (arguments[0] is the program's own path).
// nullptr with the reason in error when it cannot be started.
std::unique_ptr<ChildProcess> start_child_process(const std::vector<std::string>& arguments,
                                                  std::string& error);

// The running program's own path, to start itself again.
std::string own_program_path(const char* argv0);
