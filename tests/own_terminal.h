// Puts the rest of the process on a terminal of its own: a new session whose
// controlling terminal is a fresh pseudo-terminal, which is also standard
// input, where the game reads its keys. The game's screen reaches it through
// /dev/tty only while standard output is not a terminal, so where standard
// output is one (the program run by hand) the work moves to a child whose
// output the parent passes on. Include it in exactly one source file.
#pragma once

#include <array>
#include <csignal>
#include <cstdio>
#include <cstdlib>

#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

// Returns the pty's master side (the terminal's other end), or -1.
inline int ownTerminal()
{
    bool const relay = isatty(STDOUT_FILENO) != 0;
    std::array<int, 2> output{-1, -1};
    if (relay && pipe(output.data()) != 0) {
        return -1;
    }
    if (relay || setsid() < 0) {  // a group leader cannot start a session
        pid_t const child = fork();
        if (child < 0) {
            return -1;
        }
        if (child > 0) {
            if (relay) {
                close(output[1]);
                std::array<char, 4096> chunk{};
                ssize_t got = 0;
                while ((got = read(output[0], chunk.data(), chunk.size())) > 0) {
                    if (write(STDOUT_FILENO, chunk.data(), static_cast<std::size_t>(got)) != got) {
                        break;
                    }
                }
                close(output[0]);  // a child still writing gets SIGPIPE rather than a full pipe
            }
            int status = 0;
            waitpid(child, &status, 0);
            std::exit(WIFEXITED(status) ? WEXITSTATUS(status) : 1);
        }
        // In a session of its own the child misses the Ctrl-C that ends the
        // parent; it goes with the parent instead.
        prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (relay) {
            dup2(output[1], STDOUT_FILENO);
            close(output[0]);
            close(output[1]);
        }
        setsid();
    }
    int const master = posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0 ||
        dup2(open(ptsname(master), O_RDWR), STDIN_FILENO) < 0) {
        std::perror("pty");
        return -1;
    }
    return master;
}
