// The key wait on a real terminal: a pseudo-terminal stands in for the console.
#if !defined(_WIN32)
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "app/console.h"

namespace {

constexpr unsigned CHILD_TIME_LIMIT_S = 20;
// How long the parent looks for the child's terminal settings to change: 5 s at most.
constexpr int MODE_POLLS = 5000;
constexpr useconds_t MODE_POLL_US = 1000;

struct PtyRun {
    int exitStatus;
    std::string keys;  // what the child's waitKey calls returned, one byte each
    bool settingsRestored;
    std::string shown;  // what the child wrote to the terminal, with a prompt
};

// Whether the terminal behind the master is in the key wait's raw mode; the wait is
// seen from outside only through the settings it puts on the terminal.
bool awaitTerminalMode(int master, bool raw) {
    for (int polls = 0; polls < MODE_POLLS; ++polls) {
        termios now{};
        if (tcgetattr(master, &now) == 0 && ((now.c_lflag & ICANON) == 0) == raw) {
            return true;
        }
        usleep(MODE_POLL_US);
    }
    return false;
}

// The child takes one key press for each entry of `presses`, each typed once the child
// waits for it; `typedAhead` is typed before the first wait begins. With
// `stopBeforeLast`, the shell's work around Ctrl-Z and fg is played before the last press:
// the terminal is set back to line mode and the child gets SIGCONT.
PtyRun waitKeysOnTerminal(const std::vector<std::string>& presses,
                          const std::string& typedAhead = "", bool stopBeforeLast = false,
                          const char* prompt = nullptr) {
    const int master = posix_openpt(O_RDWR | O_NOCTTY);
    EXPECT_GE(master, 0);
    grantpt(master);
    unlockpt(master);
    const std::string slavePath = ptsname(master);
    int toParent[2];
    int go[2];
    EXPECT_EQ(pipe(toParent), 0);
    EXPECT_EQ(pipe(go), 0);
    std::fflush(stdout);

    const pid_t pid = fork();
    if (pid == 0) {
        close(toParent[0]);
        close(go[1]);
        // A group of its own whose parent is in another group of the session: SIGTSTP is
        // not ignored as it is in an orphaned group.
        setpgid(0, 0);
        const int slave = open(slavePath.c_str(), O_RDWR);
        dup2(slave, STDIN_FILENO);
        if (prompt != nullptr) {
            dup2(slave, STDOUT_FILENO);
        }
        alarm(CHILD_TIME_LIMIT_S);
        termios before{};
        tcgetattr(STDIN_FILENO, &before);
        char ready = 0;
        (void)!read(go[0], &ready, 1);
        for (size_t i = 0; i < presses.size(); ++i) {
            const char key = prompt != nullptr ? promptKey(prompt) : waitKey();
            (void)!write(toParent[1], &key, 1);
        }
        termios after{};
        tcgetattr(STDIN_FILENO, &after);
        const char restored =
            before.c_lflag == after.c_lflag && before.c_iflag == after.c_iflag ? 'R' : 'X';
        (void)!write(toParent[1], &restored, 1);
        _exit(0);
    }
    close(toParent[1]);
    close(go[0]);
    termios cooked{};
    tcgetattr(master, &cooked);
    (void)!write(master, typedAhead.data(), typedAhead.size());
    (void)!write(go[1], "g", 1);
    std::string received;
    for (size_t i = 0; i < presses.size(); ++i) {
        EXPECT_TRUE(awaitTerminalMode(master, true)) << "press " << i;
        if (stopBeforeLast && i + 1 == presses.size()) {
            kill(pid, SIGTSTP);
            int stopped = 0;
            for (int polls = 0; polls < MODE_POLLS && !WIFSTOPPED(stopped); ++polls) {
                if (waitpid(pid, &stopped, WNOHANG | WUNTRACED) == 0) {
                    stopped = 0;
                    usleep(MODE_POLL_US);
                }
            }
            EXPECT_TRUE(WIFSTOPPED(stopped)) << "Ctrl-Z at a prompt stops the process";
            tcsetattr(master, TCSANOW, &cooked);
            kill(pid, SIGCONT);
            EXPECT_TRUE(awaitTerminalMode(master, true)) << "raw mode back after SIGCONT";
        }
        (void)!write(master, presses[i].data(), presses[i].size());
        char key = 0;
        if (read(toParent[0], &key, 1) == 1) {
            received.push_back(key);
        }
    }
    char restored = 0;
    const bool gotRestored = read(toParent[0], &restored, 1) == 1;
    int status = 0;
    waitpid(pid, &status, 0);
    std::string shown;
    fcntl(master, F_SETFL, O_NONBLOCK);
    char piece[256];
    for (ssize_t n = read(master, piece, sizeof piece); n > 0;
         n = read(master, piece, sizeof piece)) {
        shown.append(piece, static_cast<size_t>(n));
    }
    close(toParent[0]);
    close(go[1]);
    close(master);
    return PtyRun{WIFEXITED(status) ? WEXITSTATUS(status) : -1, received,
                  gotRestored && restored == 'R', shown};
}

TEST(TerminalKeyWait, PassesOverArrowsMapsShiftTabAndRestoresTheTerminal) {
    const PtyRun run = waitKeysOnTerminal({"\x1b[A\x1b[Z", "q", "\x1b[15~N"});
    EXPECT_EQ(run.exitStatus, 0);
    EXPECT_EQ(run.keys, std::string("\x0aqN"));
    EXPECT_TRUE(run.settingsRestored);
}

// Keys pressed while the update ran do not answer the prompt; a UTF-8 character is one
// press; a run stopped with Ctrl-Z and continued waits in raw mode again.
TEST(TerminalKeyWait, DropsTypedAheadKeysCountsUtf8OnceAndSurvivesStopAndContinue) {
    const PtyRun run = waitKeysOnTerminal({"\xc3\xa9", "y", "n"}, "nnn", true);
    EXPECT_EQ(run.exitStatus, 0);
    EXPECT_EQ(run.keys, std::string("\xc3yn"));
    EXPECT_TRUE(run.settingsRestored);
}

// After Ctrl-Z and fg the shell has written its own lines: the prompt is shown again.
TEST(TerminalKeyWait, ShowsThePromptAgainAfterStopAndContinue) {
    const PtyRun run = waitKeysOnTerminal({"x"}, "", true, "\nPress any key to exit...");
    EXPECT_EQ(run.keys, "x");
    EXPECT_EQ(run.shown, "\r\nPress any key to exit...Press any key to exit...");
}

bool awaitEcho(int master, bool echo) {
    for (int polls = 0; polls < MODE_POLLS; ++polls) {
        termios now{};
        if (tcgetattr(master, &now) == 0 && ((now.c_lflag & ECHO) != 0) == echo) {
            return true;
        }
        usleep(MODE_POLL_US);
    }
    return false;
}

bool awaitStopped(pid_t pid, bool stopped) {
    int status = 0;
    for (int polls = 0; polls < MODE_POLLS; ++polls) {
        if (waitpid(pid, &status, WNOHANG | (stopped ? WUNTRACED : WCONTINUED)) == pid &&
            (stopped ? WIFSTOPPED(status) : WIFCONTINUED(status))) {
            return true;
        }
        usleep(MODE_POLL_US);
    }
    return false;
}

// Keys typed while the walks run are not echoed onto the progress line, also after Ctrl-Z
// and fg (the shell gets its echo back meanwhile), and they never answer the exit prompt;
// the terminal is as it was once the walks are over, and after Ctrl-C in them.
TEST(TerminalDuringTheWalks, TypedKeysAreNeitherEchoedNorTakenAndTheTerminalComesBack) {
    for (const bool interrupted : {false, true}) {
        const int master = posix_openpt(O_RDWR | O_NOCTTY);
        ASSERT_GE(master, 0);
        grantpt(master);
        unlockpt(master);
        const std::string slavePath = ptsname(master);
        int toParent[2];
        int go[2];
        ASSERT_EQ(pipe(toParent), 0);
        ASSERT_EQ(pipe(go), 0);
        std::fflush(stdout);
        const pid_t pid = fork();
        if (pid == 0) {
            close(toParent[0]);
            close(go[1]);
            setpgid(0, 0);
            const int slave = open(slavePath.c_str(), O_RDWR);
            dup2(slave, STDIN_FILENO);
            dup2(slave, STDOUT_FILENO);
            alarm(CHILD_TIME_LIMIT_S);
            consoleSetUp();
            char step = 0;
            (void)!read(go[0], &step, 1);
            guardUpdateWalks();
            (void)!read(go[0], &step, 1);
            std::printf("\rDownload progress: 50%%   ");
            endUpdateGuard();
            const char key = waitKey();
            (void)!write(toParent[1], &key, 1);
            _exit(0);
        }
        close(toParent[1]);
        close(go[0]);
        termios cooked{};
        tcgetattr(master, &cooked);
        ASSERT_NE(cooked.c_lflag & ECHO, 0u);
        (void)!write(go[1], "g", 1);
        EXPECT_TRUE(awaitEcho(master, false)) << "no echo while the walks run";
        // A line typed in the walks; the terminal takes it in a little after it is typed,
        // and echoes it then or not, so Ctrl-Z waits until it is in.
        (void)!write(master, "{|}~^\n", 6);
        const int reader = open(slavePath.c_str(), O_RDWR | O_NOCTTY);
        int typed = 0;
        for (int polls = 0; polls < MODE_POLLS && typed < 6; ++polls) {
            ioctl(reader, FIONREAD, &typed);
            usleep(MODE_POLL_US);
        }
        close(reader);
        EXPECT_EQ(typed, 6);
        kill(pid, SIGTSTP);
        EXPECT_TRUE(awaitStopped(pid, true)) << "Ctrl-Z in the walks stops the process";
        EXPECT_TRUE(awaitEcho(master, true)) << "the shell gets its echo back";
        kill(pid, SIGCONT);
        EXPECT_TRUE(awaitStopped(pid, false));
        EXPECT_TRUE(awaitEcho(master, false)) << "quiet again after fg";
        int status = 0;
        if (interrupted) {
            kill(pid, SIGINT);
            waitpid(pid, &status, 0);
            EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGINT);
        } else {
            (void)!write(go[1], "g", 1);
            EXPECT_TRUE(awaitTerminalMode(master, true)) << "the exit prompt's wait";
            (void)!write(master, "x", 1);
            char key = 0;
            EXPECT_EQ(read(toParent[0], &key, 1), 1);
            EXPECT_EQ(key, 'x') << "a key typed in the walks answered the prompt";
            waitpid(pid, &status, 0);
            EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
        }
        termios after{};
        tcgetattr(master, &after);
        EXPECT_EQ(after.c_lflag, cooked.c_lflag) << interrupted;
        std::string shown;
        fcntl(master, F_SETFL, O_NONBLOCK);
        char piece[256];
        for (ssize_t n = read(master, piece, sizeof piece); n > 0;
             n = read(master, piece, sizeof piece)) {
            shown.append(piece, static_cast<size_t>(n));
        }
        EXPECT_EQ(shown.find_first_of("{|}~^"), std::string::npos) << shown;
        if (!interrupted) {
            EXPECT_EQ(shown, "\rDownload progress: 50%   ");
        }
        close(toParent[0]);
        close(go[1]);
        close(master);
    }
}

}  // namespace
#endif
