// Runs a Windows program as a child process with scripted standard input, and hands
// back what it printed and how it ended.
#pragma once

#include <string>
#include <utility>
#include <vector>

struct ProgramRun {
    bool finished;  // ended by itself within the time limit
    unsigned long exitCode;
    std::string out;
    std::string err;
};

struct ProgramLaunch {
    std::string program;      // path of the executable
    std::string commandLine;  // the whole command line, argv[0] included
    std::string directory;    // working directory
    std::string stdinBytes;   // standard input holds these bytes, then ends; none: NUL
    std::vector<std::pair<std::string, std::string>> environment;  // added for the child
    unsigned long timeLimitMs;
};

ProgramRun runProgram(const ProgramLaunch& launch);
