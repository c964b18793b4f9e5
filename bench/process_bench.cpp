// Whole-process measurements of a terminal program on a real pseudo-terminal.
//
//   process_bench play ROWS COLS SECONDS KEYS PROGRAM [ARGS...]
//     Runs PROGRAM on a ROWS x COLS terminal for SECONDS, types KEYS ("-" for
//     none) after one second, then ends it with SIGTERM. Prints its CPU use in
//     percent of one core from the third second on (the scheduler's own count
//     of the time it ran, so start-up is left out and no clock tick rounds
//     it), its peak resident memory in KiB, the bytes per second it sent to
//     the terminal after the first second, and the user and system shares of
//     the whole run's CPU use.
//
//   process_bench startup KEYFILE RUNS PROGRAM [ARGS...]
//     In a private mount namespace where KEYFILE is the firmware variable,
//     starts PROGRAM RUNS times on an 80x24 terminal and prints the median
//     milliseconds from exec to the banner's last line.
#include <pty.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <csignal>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <string_view>
#include <vector>

#include <poll.h>

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::string_view kKeyPath = "/sys/firmware/efi/efivars/Tavrel-6295c686-85e2-49db-8650-6f38a25fa7a3";
constexpr int kBannerLines = 7;

double secondsSince(Clock::time_point start)
{
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// Starts PROGRAM on a new pty of the given size; returns its pid and the
// master side in `master`.
pid_t launch(int rows, int cols, char** program, int& master)
{
    winsize size{static_cast<unsigned short>(rows), static_cast<unsigned short>(cols), 0, 0};
    pid_t const child = forkpty(&master, nullptr, nullptr, &size);
    if (child == 0) {
        setenv("TERM", "xterm-256color", 1);
        setenv("LANG", "C.UTF-8", 1);
        unsetenv("LC_ALL");
        unsetenv("LINES");
        unsetenv("COLUMNS");
        execvp(program[0], program);
        std::perror(program[0]);
        _exit(127);
    }
    return child;
}

// Reads what is waiting on `fd` for at most `timeoutMs`; returns the bytes
// read, 0 on time-out, -1 once the other side is gone.
long readSome(int fd, int timeoutMs, std::string* keep = nullptr)
{
    pollfd ready{fd, POLLIN, 0};
    if (poll(&ready, 1, timeoutMs) <= 0) {
        return 0;
    }
    std::array<char, 65536> buffer{};
    ssize_t const got = read(fd, buffer.data(), buffer.size());
    if (got <= 0) {
        return -1;
    }
    if (keep != nullptr) {
        keep->append(buffer.data(), static_cast<std::size_t>(got));
    }
    return got;
}

// Nanoseconds the process has run so far, as the scheduler counts them.
double ranNanoseconds(pid_t pid)
{
    std::ifstream schedstat("/proc/" + std::to_string(pid) + "/schedstat");
    double ran = 0;
    schedstat >> ran;
    return ran;
}

int play(int rows, int cols, double seconds, std::string_view keys, char** program)
{
    constexpr double kSteadyFrom = 2.0;
    int master = -1;
    Clock::time_point const start = Clock::now();
    pid_t const child = launch(rows, cols, program, master);
    if (child < 0) {
        std::perror("forkpty");
        return 1;
    }
    long bytes = 0;
    bool steady = false;
    double steadyStart = 0;
    double ranBefore = -1;
    while (secondsSince(start) < seconds) {
        long const got = readSome(master, 20);
        if (got < 0) {
            std::fprintf(stderr, "%s ended early\n", program[0]);
            return 1;
        }
        bytes += got;
        if (!steady && secondsSince(start) >= 1.0) {
            steady = true;
            bytes = 0;  // from here on: steady play, not the opening screens
            if (keys != "-" && write(master, keys.data(), keys.size()) != static_cast<ssize_t>(keys.size())) {
                std::perror("typing");
            }
        }
        if (ranBefore < 0 && secondsSince(start) >= kSteadyFrom) {
            steadyStart = secondsSince(start);
            ranBefore = ranNanoseconds(child);
        }
    }
    double const steadyCpu = (ranNanoseconds(child) - ranBefore) / 1e7 / (secondsSince(start) - steadyStart);
    kill(child, SIGTERM);
    double const wall = secondsSince(start);
    int status = 0;
    rusage usage{};
    while (wait4(child, &status, WNOHANG, &usage) == 0) {
        readSome(master, 20);  // let it say goodbye without blocking on a full pty
        if (secondsSince(start) > wall + 2.0) {
            kill(child, SIGKILL);  // one that ignores SIGTERM
        }
    }
    close(master);
    auto const inSeconds = [](timeval const& time) {
        return static_cast<double>(time.tv_sec) + (static_cast<double>(time.tv_usec) / 1e6);
    };
    double const user = inSeconds(usage.ru_utime);
    double const system = inSeconds(usage.ru_stime);
    std::printf("%.3f %ld %.0f %.3f %.3f\n", steadyCpu, usage.ru_maxrss, static_cast<double>(bytes) / (wall - 1.0),
                100.0 * user / wall, 100.0 * system / wall);
    return 0;
}

// A private view of /sys/firmware holding the key, as the firmware would.
bool placeKey(char const* keyFile)
{
    if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        mount("firmware", "/sys/firmware", "tmpfs", 0, nullptr) != 0) {
        std::perror("private /sys/firmware");
        return false;
    }
    mkdir("/sys/firmware/efi", 0755);
    mkdir("/sys/firmware/efi/efivars", 0755);
    std::ifstream in(keyFile, std::ios::binary);
    std::ofstream out(std::string(kKeyPath), std::ios::binary);
    out << in.rdbuf();
    return in.good() && out.good();
}

int startup(char const* keyFile, int runs, char** program)
{
    if (!placeKey(keyFile)) {
        std::printf("SKIPPED\n");
        return 0;
    }
    std::vector<double> times;
    for (int run = 0; run < runs; ++run) {
        int master = -1;
        Clock::time_point const start = Clock::now();
        pid_t const child = launch(24, 80, program, master);
        std::string seen;
        double banner = -1.0;
        long got = 0;
        while ((got = readSome(master, 5000, &seen)) > 0) {
            if (banner < 0.0 && std::count(seen.begin(), seen.end(), '\n') >= kBannerLines) {
                banner = secondsSince(start);
            }
        }
        int status = 0;
        waitpid(child, &status, 0);
        close(master);
        if (banner < 0.0) {
            std::fprintf(stderr, "no banner from %s\n", program[0]);
            return 1;
        }
        times.push_back(banner * 1000.0);
    }
    std::ranges::sort(times);
    std::printf("%.2f\n", times[times.size() / 2]);
    return 0;
}

}  // namespace

int main(int argc, char** argv)
{
    std::string_view const mode = argc > 1 ? argv[1] : "";
    if (mode == "play" && argc >= 7) {
        return play(std::atoi(argv[2]), std::atoi(argv[3]), std::atof(argv[4]), argv[5], argv + 6);
    }
    if (mode == "startup" && argc >= 5) {
        return startup(argv[2], std::atoi(argv[3]), argv + 4);
    }
    std::fprintf(stderr,
                 "usage: %s play ROWS COLS SECONDS KEYS PROGRAM [ARGS...]\n"
                 "       %s startup KEYFILE RUNS PROGRAM [ARGS...]\n",
                 argv[0], argv[0]);
    return 2;
}
