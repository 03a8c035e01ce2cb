// Console key input, the exit prompt, and how output reaches the console.
#pragma once

// What waitKey returns when standard input has ended (a pipe or file read to its
// end, a closed terminal): no key press ever gives 0.
constexpr char KEY_END_OF_INPUT = 0;

// Makes every print reach the console before it returns when standard output is
// a console; leaves it buffered when it is a file or a pipe.
void consoleSetUp();

// Blocks until a key that produces a character is pressed and returns it, without
// echo and without Enter. Tab with Shift gives 10, Enter with Shift 14. When standard
// input is not a console, returns its next non-NUL byte.
char waitKey();

// Asks for a key, prints the closing line and ends the process with status 0.
[[noreturn]] void exitPrompt();
