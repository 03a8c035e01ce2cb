// Runs a piece of the utility that ends the process (main's body, the exit prompt)
// in a child process, with scripted standard input, and hands back what it printed.
#pragma once

#include <functional>
#include <string>

struct ChildRun {
    bool exited;     // ended through exit, not by a signal or the time limit
    int exitStatus;  // when exited
    std::string out;
    std::string err;
};

// The child's standard input holds stdinBytes and then ends.
ChildRun runInChild(const std::function<void()>& body, const std::string& stdinBytes);
