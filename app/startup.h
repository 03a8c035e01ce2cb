// The utility's whole run, from the banner to the exit prompt.
#pragma once

// Never returns: every way out ends the process through exitPrompt with status 0.
[[noreturn]] void runDovelflash(int argc, char** argv);

constexpr int FIRMWARE_PATH_SIZE = 1024;
constexpr const char* DEFAULT_FIRMWARE_PATH = "dovel2.tek";
