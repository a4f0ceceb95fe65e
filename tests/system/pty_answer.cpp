// Runs a command on a new pseudo-terminal, as a user at a terminal would,
// copies what it prints to stdout, and types ANSWER and Enter once the
// command prints "Password:" (polkit's terminal agent asking).
//
//   pty_answer ANSWER COMMAND [ARG...]
//
// Exits with the command's exit code; 124 when it has not finished within
// 60 seconds (it is killed then), 125 when it could not be started.
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <string>

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: pty_answer ANSWER COMMAND [ARG...]\n");
        return 125;
    }
    const std::string answer = std::string(argv[1]) + "\n";
    int master = -1;
    const pid_t pid = forkpty(&master, nullptr, nullptr, nullptr);
    if (pid < 0) {
        std::perror("forkpty");
        return 125;
    }
    if (pid == 0) {
        execvp(argv[2], argv + 2);
        std::perror(argv[2]);
        _exit(125);
    }

    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    std::string seen;
    bool answered = false;
    while (true) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
            std::fprintf(stderr, "pty_answer: %s did not finish in time\n", argv[2]);
            return 124;
        }
        pollfd p{master, POLLIN, 0};
        const int r = poll(&p, 1, static_cast<int>(left.count()));
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) continue;
        char buffer[4096];
        const ssize_t n = read(master, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;  // EIO once the command and its children closed the terminal
        std::fwrite(buffer, 1, static_cast<std::size_t>(n), stdout);
        std::fflush(stdout);
        seen.append(buffer, static_cast<std::size_t>(n));
        if (!answered && seen.find("Password:") != std::string::npos) {
            // The agent turns echo off before it reads; give it a moment.
            usleep(200 * 1000);
            if (write(master, answer.data(), answer.size()) < 0) std::perror("pty_answer: write");
            answered = true;
        }
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}
