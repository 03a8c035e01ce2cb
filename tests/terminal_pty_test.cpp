// The key wait on a real terminal: a pseudo-terminal stands in for the console.
#if !defined(_WIN32)
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "app/console.h"

namespace {

constexpr unsigned CHILD_TIME_LIMIT_S = 20;

struct PtyRun {
    int exitStatus;
    std::string keys;  // what the child's waitKey calls returned, one byte each
    bool settingsRestored;
};

// The child takes `presses` keys from the terminal; the parent has typed `typed`.
PtyRun waitKeysOnTerminal(const std::string& typed, int presses) {
    const int master = posix_openpt(O_RDWR | O_NOCTTY);
    EXPECT_GE(master, 0);
    grantpt(master);
    unlockpt(master);
    const std::string slavePath = ptsname(master);
    int toParent[2];
    EXPECT_EQ(pipe(toParent), 0);
    std::fflush(stdout);

    const pid_t pid = fork();
    if (pid == 0) {
        close(toParent[0]);
        const int slave = open(slavePath.c_str(), O_RDWR);
        dup2(slave, STDIN_FILENO);
        alarm(CHILD_TIME_LIMIT_S);
        termios before{};
        tcgetattr(STDIN_FILENO, &before);
        std::string keys;
        for (int i = 0; i < presses; ++i) {
            keys.push_back(waitKey());
        }
        termios after{};
        tcgetattr(STDIN_FILENO, &after);
        keys.push_back(before.c_lflag == after.c_lflag && before.c_iflag == after.c_iflag ? 'R'
                                                                                          : 'X');
        (void)!write(toParent[1], keys.data(), keys.size());
        _exit(0);
    }
    close(toParent[1]);
    (void)!write(master, typed.data(), typed.size());
    std::string received;
    char buffer[64];
    ssize_t n;
    while ((n = read(toParent[0], buffer, sizeof buffer)) > 0) {
        received.append(buffer, static_cast<size_t>(n));
    }
    int status = 0;
    waitpid(pid, &status, 0);
    close(toParent[0]);
    close(master);
    PtyRun run{WIFEXITED(status) ? WEXITSTATUS(status) : -1, received, false};
    if (!received.empty()) {
        run.settingsRestored = received.back() == 'R';
        run.keys = received.substr(0, received.size() - 1);
    }
    return run;
}

TEST(TerminalKeyWait, PassesOverArrowsMapsShiftTabAndRestoresTheTerminal) {
    const PtyRun run = waitKeysOnTerminal("\x1b[A\x1b[Zq\x1b[15~N", 3);
    EXPECT_EQ(run.exitStatus, 0);
    EXPECT_EQ(run.keys, std::string("\x0aqN"));
    EXPECT_TRUE(run.settingsRestored);
}

}  // namespace
#endif
