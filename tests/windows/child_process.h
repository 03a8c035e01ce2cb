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

// A program started and not yet waited for, so that a test can act while it runs.
struct StartedProgram {
    void* process;  // nullptr: it did not start (the reason is in error)
    std::string outPath, errPath, inPath;
    std::string error;
    unsigned long timeLimitMs;
};

StartedProgram startProgram(const ProgramLaunch& launch);
// What it has written on standard output so far.
std::string outputSoFar(const StartedProgram& started);
// Waits for it within its time limit (ending it past that) and hands back its run.
ProgramRun finishProgram(StartedProgram started);
