#include "tests/support/child_run.h"

#if !defined(_WIN32)
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

namespace {

// A child that runs longer than this is taken for a hang and killed.
constexpr unsigned CHILD_TIME_LIMIT_S = 60;

std::string readWhole(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

void writeWhole(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
}

}  // namespace

ChildRun runInChild(const std::function<void()>& body, const std::string& stdinBytes) {
    static int serial = 0;
    const std::string base = testing::TempDir() + "dovel_child_" + std::to_string(getpid()) + "_" +
                             std::to_string(++serial);
    const std::string inPath = base + ".in", outPath = base + ".out", errPath = base + ".err";
    writeWhole(inPath, stdinBytes);
    std::fflush(stdout);
    std::fflush(stderr);

    const pid_t pid = fork();
    if (pid == 0) {
        const int in = open(inPath.c_str(), O_RDONLY);
        const int out = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        const int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        dup2(in, STDIN_FILENO);
        dup2(out, STDOUT_FILENO);
        dup2(err, STDERR_FILENO);
        alarm(CHILD_TIME_LIMIT_S);
        body();
        std::fflush(stdout);
        _exit(99);  // the body was expected to end the process itself
    }
    int status = 0;
    waitpid(pid, &status, 0);
    ChildRun run{WIFEXITED(status), WIFEXITED(status) ? WEXITSTATUS(status) : -1,
                 readWhole(outPath), readWhole(errPath)};
    std::remove(inPath.c_str());
    std::remove(outPath.c_str());
    std::remove(errPath.c_str());
    return run;
}
#endif
