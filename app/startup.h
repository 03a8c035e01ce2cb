// The utility's whole run, from the banner to the exit prompt.
#pragma once

// Never returns. The command line and the DOVEL_* variables are read and checked first
// (app/run_settings.h); an update ends through the exit prompt, "--check IMAGE..." with 0
// when every image passes and 1 when not, "--status" with 0 when all four controllers run
// their main firmware and 1 when not.
[[noreturn]] void runDovelflash(int argc, char** argv);

constexpr int FIRMWARE_PATH_SIZE = 1024;
