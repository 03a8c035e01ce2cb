// The utility's whole run, from the banner to the exit prompt.
#pragma once

// Never returns: every way out ends the process through exitPrompt with status 0, but
// "--check IMAGE", which only checks the image and exits with 0 when it passes, 1 when not.
[[noreturn]] void runDovelflash(int argc, char** argv);

constexpr int FIRMWARE_PATH_SIZE = 1024;
