// Key input on POSIX systems: a terminal in raw mode for the length of one wait, or
// the bytes of a pipe or file; and a terminal without echo while the walks run.
#include <poll.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "app/console.h"
#include "app/console_keys.h"
#include "app/run_record.h"

namespace {

// How long the rest of an escape sequence may take to arrive after its ESC; a lone
// ESC followed by nothing within this time is the Escape key.
constexpr int ESCAPE_SEQUENCE_WAIT_MS = 50;

// The terminal's settings as the wait found them, for the signal handler that puts
// them back when an interrupt key ends the process during the wait.
termios savedTerminal;
termios rawTerminal;
volatile sig_atomic_t terminalIsRaw = 0;
// The prompt the wait answers, shown again when a stopped run is continued; the shell
// has printed its own lines over it meanwhile.
const char* volatile promptAgain = nullptr;
volatile size_t promptAgainLength = 0;
constexpr int RESTORING_SIGNALS[] = {SIGINT, SIGQUIT, SIGTERM, SIGHUP, SIGTSTP, SIGCONT};
constexpr size_t RESTORING_SIGNAL_COUNT = sizeof RESTORING_SIGNALS / sizeof RESTORING_SIGNALS[0];
// The signals that end a run, and a closed terminal, outside the walks: each leaves the
// record of the interrupted run.
constexpr int ENDING_SIGNALS[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};

const char* signalName(int signalNumber) {
    switch (signalNumber) {
        case SIGINT:
            return "SIGINT";
        case SIGTERM:
            return "SIGTERM";
        case SIGHUP:
            return "SIGHUP";
        default:
            return "SIGQUIT";
    }
}

// Every signal the run handles waits while one handler runs: a second Ctrl-C cannot end
// the process before the first one's record is written.
struct sigaction handling(void (*handler)(int)) {
    struct sigaction action {};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    for (int s : RESTORING_SIGNALS) {
        sigaddset(&action.sa_mask, s);
    }
    return action;
}

// The default effect of the signal, once the record is written.
void recordAndReraise(int signalNumber) {
    recordInterrupted(signalName(signalNumber));
    signal(signalNumber, SIG_DFL);
    raise(signalNumber);
}

// The terminal as the walks found it, and with its echo off: keys typed while the walks
// run must not land on the progress line. Put back on every way out the process sees.
termios walksTerminal;
termios walksQuietTerminal;
volatile sig_atomic_t walksTerminalQuiet = 0;
constexpr int WALKS_TERMINAL_SIGNALS[] = {SIGQUIT, SIGTSTP, SIGCONT};

// Only the terminal's foreground group may change its settings; any other of its session
// would be stopped for trying (a run started with & or continued with bg). A terminal
// that is not the process's controlling one has no foreground for it and stops nobody.
bool inTheForeground() {
    const pid_t foreground = tcgetpgrp(STDIN_FILENO);
    return foreground == -1 || foreground == getpgrp();
}

// Async-signal-safe: called from the handlers, and at any exit during the walks.
void restoreWalksTerminal() {
    if (walksTerminalQuiet && inTheForeground()) {
        tcsetattr(STDIN_FILENO, TCSANOW, &walksTerminal);
    }
}

// Stops the process as Ctrl-Z means. SIGTSTP is blocked while its handler runs: unblocked
// here, the raised one stops the process at once instead of waiting to call the handler
// again on return; the handler is put back for the next Ctrl-Z.
void stopAsTheKeyMeans() {
    struct sigaction stopping {};
    stopping.sa_handler = SIG_DFL;
    sigemptyset(&stopping.sa_mask);
    struct sigaction handler {};
    sigaction(SIGTSTP, &stopping, &handler);
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGTSTP);
    sigprocmask(SIG_UNBLOCK, &stop, nullptr);
    raise(SIGTSTP);
    sigprocmask(SIG_BLOCK, &stop, nullptr);
    sigaction(SIGTSTP, &handler, nullptr);
}

// Ctrl-Z, fg and Ctrl-\ while the walks run: the shell gets its terminal back with echo,
// the continued walks take it quiet again.
void walksTerminalSignal(int signalNumber) {
    const int savedErrno = errno;
    if (signalNumber == SIGCONT) {
        if (walksTerminalQuiet && inTheForeground()) {
            tcsetattr(STDIN_FILENO, TCSANOW, &walksQuietTerminal);
        }
    } else if (signalNumber == SIGTSTP) {
        restoreWalksTerminal();
        stopAsTheKeyMeans();
    } else {
        restoreWalksTerminal();
        recordAndReraise(signalNumber);
    }
    errno = savedErrno;
}

// Turns the terminal's echo off for the walks; its line mode and interrupt keys stay.
void quietTerminalForTheWalks() {
    if (!isatty(STDIN_FILENO) || !inTheForeground() ||
        tcgetattr(STDIN_FILENO, &walksTerminal) != 0) {
        return;
    }
    walksQuietTerminal = walksTerminal;
    walksQuietTerminal.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL);
    const struct sigaction handler = handling(walksTerminalSignal);
    for (int s : WALKS_TERMINAL_SIGNALS) {
        sigaction(s, &handler, nullptr);
    }
    static bool restoredAtExit = false;
    if (!restoredAtExit) {
        restoredAtExit = std::atexit(restoreWalksTerminal) == 0;
    }
    walksTerminalQuiet = 1;
    tcsetattr(STDIN_FILENO, TCSANOW, &walksQuietTerminal);
}

void endQuietTerminal() {
    restoreWalksTerminal();
    walksTerminalQuiet = 0;
    signal(SIGTSTP, SIG_DFL);
    signal(SIGCONT, SIG_DFL);
    // Ctrl-\ after the walks leaves the record of the interrupted run, as before them.
    const struct sigaction ending = handling(recordAndReraise);
    sigaction(SIGQUIT, &ending, nullptr);
}

void restoreTerminalAndReraise(int signalNumber) {
    const int savedErrno = errno;
    if (signalNumber == SIGCONT) {
        // Back from a stop: the shell may have put its own settings on the terminal.
        if (terminalIsRaw) {
            tcsetattr(STDIN_FILENO, TCSANOW, &rawTerminal);
            if (promptAgain != nullptr) {
                (void)!write(STDOUT_FILENO, promptAgain, promptAgainLength);
            }
        }
        errno = savedErrno;
        return;
    }
    if (terminalIsRaw) {
        tcsetattr(STDIN_FILENO, TCSANOW, &savedTerminal);
    }
    if (signalNumber == SIGTSTP) {
        // Stop as the key means, with the terminal as the shell expects it; the
        // SIGCONT handler makes it raw again when the run is continued.
        stopAsTheKeyMeans();
        errno = savedErrno;
        return;
    }
    recordAndReraise(signalNumber);
}

// The walks' own handler for Ctrl-C and termination requests.
void reportInterruptAndReraise(int signalNumber) {
    restoreWalksTerminal();
    (void)!write(STDOUT_FILENO, UPDATE_INTERRUPTED_LINE, sizeof UPDATE_INTERRUPTED_LINE - 1);
    recordAndReraise(signalNumber);
}

constexpr int INTERRUPT_SIGNALS[] = {SIGINT, SIGTERM};
constexpr int OUTPUT_LOSS_SIGNALS[] = {SIGPIPE, SIGHUP};

// 1 with the byte, 0 at end of input or on a failure that will not pass.
int readByte(unsigned char* byte) {
    for (;;) {
        const ssize_t n = read(STDIN_FILENO, byte, 1);
        if (n == 1) {
            return 1;
        }
        if (n < 0 && errno == EINTR) {
            continue;
        }
        return 0;
    }
}

bool byteArrivesWithin(int ms) {
    pollfd p{STDIN_FILENO, POLLIN, 0};
    return poll(&p, 1, ms) > 0;
}

char waitScriptedKey() {
    unsigned char byte = 0;
    while (readByte(&byte)) {
        if (byte != 0) {
            return static_cast<char>(byte);
        }
    }
    return KEY_END_OF_INPUT;
}

char waitTerminalKey() {
    unsigned char sequence[TERMINAL_SEQUENCE_MAX];
    for (;;) {
        int count = 0;
        int key = TERMINAL_KEY_INCOMPLETE;
        while (key == TERMINAL_KEY_INCOMPLETE) {
            if (count > 0 && !byteArrivesWithin(ESCAPE_SEQUENCE_WAIT_MS)) {
                key = decodeTerminalKey(sequence, count, false);
                break;
            }
            if (!readByte(&sequence[count])) {
                return KEY_END_OF_INPUT;
            }
            ++count;
            key = decodeTerminalKey(sequence, count, true);
        }
        if (key != 0) {
            return static_cast<char>(key);
        }
    }
}

}  // namespace

void consoleSetUp() {
    std::setvbuf(stdout, nullptr, _IONBF, 0);
    // A reader that went away (dovelflash --status | head -c1) loses the text, not the
    // run: the failed write is dropped and the run goes on to its record and its status.
    signal(SIGPIPE, SIG_IGN);
    const struct sigaction ending = handling(recordAndReraise);
    for (int s : ENDING_SIGNALS) {
        sigaction(s, &ending, nullptr);
    }
}

void guardUpdateWalks() {
    for (int s : OUTPUT_LOSS_SIGNALS) {
        signal(s, SIG_IGN);
    }
    const struct sigaction interrupt = handling(reportInterruptAndReraise);
    for (int s : INTERRUPT_SIGNALS) {
        sigaction(s, &interrupt, nullptr);
    }
    quietTerminalForTheWalks();
}

void endUpdateGuard() {
    endQuietTerminal();
    const struct sigaction ending = handling(recordAndReraise);
    for (int s : INTERRUPT_SIGNALS) {
        sigaction(s, &ending, nullptr);
    }
}

char waitKey() {
    std::fflush(stdout);
    if (!isatty(STDIN_FILENO) || tcgetattr(STDIN_FILENO, &savedTerminal) != 0) {
        return waitScriptedKey();
    }
    // Keys pressed while the update ran are not answers to this prompt.
    tcflush(STDIN_FILENO, TCIFLUSH);
    termios& raw = rawTerminal;
    raw = savedTerminal;
    // No echo, no line editing, Enter arrives as CR; interrupt keys keep their effect.
    raw.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
    raw.c_iflag &= ~static_cast<tcflag_t>(ICRNL | INLCR | IGNCR);
    raw.c_cc[VMIN] = 1;
    raw.c_cc[VTIME] = 0;

    const struct sigaction restoring = handling(restoreTerminalAndReraise);
    struct sigaction previous[RESTORING_SIGNAL_COUNT];
    for (size_t i = 0; i < RESTORING_SIGNAL_COUNT; ++i) {
        sigaction(RESTORING_SIGNALS[i], &restoring, &previous[i]);
    }
    terminalIsRaw = 1;
    tcsetattr(STDIN_FILENO, TCSANOW, &raw);

    const char key = waitTerminalKey();

    tcsetattr(STDIN_FILENO, TCSANOW, &savedTerminal);
    terminalIsRaw = 0;
    for (size_t i = 0; i < RESTORING_SIGNAL_COUNT; ++i) {
        sigaction(RESTORING_SIGNALS[i], &previous[i], nullptr);
    }
    return key;
}

char promptKey(const char* prompt) {
    std::printf("%s", prompt);
    const char* shown = prompt;
    while (*shown == '\n') {
        ++shown;
    }
    promptAgainLength = std::strlen(shown);
    promptAgain = shown;
    const char key = waitKey();
    promptAgain = nullptr;
    return key;
}
