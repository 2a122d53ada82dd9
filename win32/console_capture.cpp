#include "win32/console_capture.h"

#include <fcntl.h>
#include <io.h>

#include <cstdint>
#include <cstdio>

#include "window/log.h"

namespace {

constexpr DWORD CAPTURE_CHUNK = 1024;
constexpr int STDOUT_DESCRIPTOR = 1;
constexpr int STDERR_DESCRIPTOR = 2;

void make_unbuffered(FILE* stream) {
    std::setvbuf(stream, nullptr, _IONBF, 0);
    std::clearerr(stream);
}

// Text mode turns every "\n" into "\r\n" on its way into the pipe, so printed
// lines break in the edit control. Both streams are unbuffered before they
// are rebound, so nothing printed afterwards waits in a buffer. Takes over
// the write handle.
bool rebind_standard_streams(HANDLE pipe_write) {
    const int descriptor = _open_osfhandle(reinterpret_cast<std::intptr_t>(pipe_write), _O_TEXT);
    if (descriptor < 0) {
        CloseHandle(pipe_write);
        return false;
    }
    // Never closed: the streams write through it until the process ends.
    FILE* stream = _fdopen(descriptor, "w");
    if (stream == nullptr) {
        _close(descriptor);
        return false;
    }
    make_unbuffered(stream);
    make_unbuffered(stdout);
    make_unbuffered(stderr);
    return _dup2(descriptor, STDOUT_DESCRIPTOR) == 0 && _dup2(descriptor, STDERR_DESCRIPTOR) == 0;
}

// A chunk may end inside a line or a "\r\n" pair; it is appended as it came.
void copy_into_log(HANDLE pipe_read) {
    char buffer[CAPTURE_CHUNK + 1];
    for (;;) {
        WaitForSingleObject(pipe_read, INFINITE);
        DWORD received = 0;
        // The write end stays open for the process's life, so a failed read
        // means the pipe is gone; reading on would only spin.
        if (!ReadFile(pipe_read, buffer, CAPTURE_CHUNK, &received, nullptr) && received == 0) {
            return;
        }
        if (received > 0) {
            buffer[received] = '\0';
            log_append(buffer);
        }
    }
}

}  // namespace

DWORD WINAPI console_capture_thread(LPVOID) {
    HANDLE pipe_read = nullptr;
    HANDLE pipe_write = nullptr;
    if (!CreatePipe(&pipe_read, &pipe_write, nullptr, 0)) {
        log_append("CreatePipe error");
        log_end_line();
        return 0;
    }
    if (!rebind_standard_streams(pipe_write)) {
        CloseHandle(pipe_read);
        return 0;
    }
    copy_into_log(pipe_read);
    CloseHandle(pipe_read);
    return 0;
}

void console_capture_start() {
    HANDLE thread = CreateThread(nullptr, 0, console_capture_thread, nullptr, 0, nullptr);
    if (thread != nullptr) {
        CloseHandle(thread);
    }
}
