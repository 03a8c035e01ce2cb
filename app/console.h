// Console key input, the exit prompt, and how output reaches the console.
#pragma once

// What waitKey returns when standard input has ended (a pipe or file read to its
// end, a closed terminal): no key press ever gives 0.
constexpr char KEY_END_OF_INPUT = 0;

// Makes every print reach standard output before it returns, whether that is a
// console, a file or a pipe: a prompt is on the screen while its key is awaited, and
// the text keeps its order with what the adapter layer writes to standard error.
void consoleSetUp();

// From here the update walks run to their end: output that can no longer be written
// (the reader of a pipe went away, the terminal closed) is dropped instead of ending
// the process; Ctrl-C and a termination request still end it as they would, after one
// line saying that the update was interrupted and that running it again finishes it.
void guardUpdateWalks();
// The walks are over: Ctrl-C and termination requests have their usual effect again.
// Lost output stays harmless to the end, so the run still ends through its exit prompt.
void endUpdateGuard();

// Blocks until a key that produces a character is pressed and returns it, without
// echo and without Enter. Keys typed before the call are dropped first, so a key pressed
// while the update ran never answers a later prompt; one key press is one answer. Tab with Shift
// gives 10, Enter with Shift 14. When standard input is not a console, returns its next non-NUL
// byte.
char waitKey();

// Prints the prompt, then waitKey. A run stopped at the prompt (Ctrl-Z) and continued
// (fg) shows the prompt again, without its leading line ends, on the line the shell left.
char promptKey(const char* prompt);

// Exit statuses under DOVEL_EXIT_STATUS=report; without it every way out gives 0.
constexpr int EXIT_ALL_UPDATED = 0;
constexpr int EXIT_NOT_ALL_UPDATED = 1;
constexpr int EXIT_UPDATE_NOT_STARTED = 2;

// Whether the exit prompt ends the process with the status the caller reports
// (DOVEL_EXIT_STATUS=report) rather than 0; set once from the run's settings.
void exitStatusReportsOutcome(bool report);

// Lets go of the bus (canFinish), asks for a key, prints the closing line and ends the
// process with status 0, or with reportStatus when the outcome is reported.
[[noreturn]] void exitPromptReporting(int reportStatus);
// Whether DOVEL_EXIT_STATUS asks for the outcome in the exit status.
bool exitStatusReported();
// An early way out, before the update began.
[[noreturn]] void exitPrompt();

// The interrupted-update line (one line, printed by the interrupt handlers).
constexpr const char UPDATE_INTERRUPTED_LINE[] =
    "\n\nUpdate interrupted: controllers may be left in their monitors. Run the update again "
    "to finish it.\n";
