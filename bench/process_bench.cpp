// Whole-process measurement of a terminal program on a real pseudo-terminal.
//
//   process_bench ROWS COLS SECONDS KEYS PROGRAM [ARGS...]
//
// Runs PROGRAM on a ROWS x COLS terminal for SECONDS, types KEYS ("-" for
// none) after one second, then ends it with SIGTERM. Prints its CPU use in
// percent of one core from the third second on (the scheduler's own count of
// the time it ran, so start-up is left out and no clock tick rounds it) and
// its peak resident memory in KiB.
#include <poll.h>
#include <pty.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <string_view>

namespace {

using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point start)
{
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// Nanoseconds the process has run so far, as the scheduler counts them.
double ranNanoseconds(pid_t pid)
{
    std::ifstream schedstat("/proc/" + std::to_string(pid) + "/schedstat");
    double ran = 0;
    schedstat >> ran;
    return ran;
}

// Reads what is waiting on `fd` for at most 20 ms, so that the program never
// blocks on a full terminal; false once the other side is gone.
bool drain(int fd)
{
    pollfd ready{fd, POLLIN, 0};
    std::array<char, 65536> buffer{};
    return poll(&ready, 1, 20) <= 0 || read(fd, buffer.data(), buffer.size()) > 0;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc < 6) {
        std::fprintf(stderr, "usage: %s ROWS COLS SECONDS KEYS PROGRAM [ARGS...]\n", argv[0]);
        return 2;
    }
    winsize size{static_cast<unsigned short>(std::atoi(argv[1])), static_cast<unsigned short>(std::atoi(argv[2])), 0,
                 0};
    double const seconds = std::atof(argv[3]);
    std::string_view const keys = argv[4];
    int master = -1;
    Clock::time_point const start = Clock::now();
    pid_t const child = forkpty(&master, nullptr, nullptr, &size);
    if (child == 0) {
        setenv("TERM", "xterm-256color", 1);
        setenv("LANG", "C.UTF-8", 1);
        unsetenv("LC_ALL");
        unsetenv("LINES");
        unsetenv("COLUMNS");
        execvp(argv[5], argv + 5);
        std::perror(argv[5]);
        _exit(127);
    }
    if (child < 0) {
        std::perror("forkpty");
        return 1;
    }
    bool typed = false;
    double steadyStart = 0;
    double ranBefore = -1;
    while (secondsSince(start) < seconds) {
        if (!drain(master)) {
            std::fprintf(stderr, "%s ended early\n", argv[5]);
            return 1;
        }
        if (!typed && secondsSince(start) >= 1.0) {
            typed = true;
            if (keys != "-" && write(master, keys.data(), keys.size()) != static_cast<ssize_t>(keys.size())) {
                std::perror("typing");
            }
        }
        if (ranBefore < 0 && secondsSince(start) >= 2.0) {
            steadyStart = secondsSince(start);
            ranBefore = ranNanoseconds(child);
        }
    }
    double const steadyCpu = (ranNanoseconds(child) - ranBefore) / 1e7 / (secondsSince(start) - steadyStart);
    kill(child, SIGTERM);
    double const ended = secondsSince(start);
    int status = 0;
    rusage usage{};
    while (wait4(child, &status, WNOHANG, &usage) == 0) {
        drain(master);  // let it say goodbye
        if (secondsSince(start) > ended + 2.0) {
            kill(child, SIGKILL);  // one that ignores SIGTERM
        }
    }
    close(master);
    std::printf("%.3f %ld\n", steadyCpu, usage.ru_maxrss);
    return 0;
}
