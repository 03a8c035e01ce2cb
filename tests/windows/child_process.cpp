#include "tests/windows/child_process.h"

#include <windows.h>

#include <cstdio>
#include <fstream>
#include <sstream>

namespace {

std::string readWhole(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

std::string tempPath(const char* prefix) {
    char directory[MAX_PATH] = {};
    char path[MAX_PATH] = {};
    GetTempPathA(sizeof directory, directory);
    GetTempFileNameA(directory, prefix, 0, path);
    return path;
}

HANDLE openInherited(const std::string& path, DWORD access, DWORD creation) {
    SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    return CreateFileA(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit, creation,
                       FILE_ATTRIBUTE_NORMAL, nullptr);
}

// Sets the variables for the time of one launch and puts the old values back.
struct EnvironmentScope {
    std::vector<std::pair<std::string, std::string>> saved;
    std::vector<std::string> absent;

    explicit EnvironmentScope(const std::vector<std::pair<std::string, std::string>>& vars) {
        for (const auto& [name, value] : vars) {
            char old[32768];
            const DWORD length = GetEnvironmentVariableA(name.c_str(), old, sizeof old);
            if (length == 0 || length >= sizeof old) {
                absent.push_back(name);
            } else {
                saved.emplace_back(name, old);
            }
            SetEnvironmentVariableA(name.c_str(), value.c_str());
        }
    }
    ~EnvironmentScope() {
        for (const auto& [name, value] : saved) {
            SetEnvironmentVariableA(name.c_str(), value.c_str());
        }
        for (const std::string& name : absent) {
            SetEnvironmentVariableA(name.c_str(), nullptr);
        }
    }
};

}  // namespace

ProgramRun runProgram(const ProgramLaunch& launch) {
    const std::string inPath = tempPath("din"), outPath = tempPath("dout"),
                      errPath = tempPath("derr");
    std::ofstream(inPath, std::ios::binary) << launch.stdinBytes;

    ProgramRun run{false, 0, "", ""};
    {
        EnvironmentScope scope(launch.environment);
        // No bytes: the null device, as for a program started with input from /dev/null.
        HANDLE in =
            openInherited(launch.stdinBytes.empty() ? "NUL" : inPath, GENERIC_READ, OPEN_EXISTING);
        HANDLE out = openInherited(outPath, GENERIC_WRITE, CREATE_ALWAYS);
        HANDLE err = openInherited(errPath, GENERIC_WRITE, CREATE_ALWAYS);

        STARTUPINFOA startup{};
        startup.cb = sizeof startup;
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdInput = in;
        startup.hStdOutput = out;
        startup.hStdError = err;
        PROCESS_INFORMATION process{};
        std::string commandLine = launch.commandLine;
        if (CreateProcessA(launch.program.c_str(), commandLine.data(), nullptr, nullptr, TRUE, 0,
                           nullptr, launch.directory.empty() ? nullptr : launch.directory.c_str(),
                           &startup, &process)) {
            if (WaitForSingleObject(process.hProcess, launch.timeLimitMs) == WAIT_OBJECT_0) {
                run.finished = true;
                GetExitCodeProcess(process.hProcess, &run.exitCode);
            } else {
                TerminateProcess(process.hProcess, 1);
                WaitForSingleObject(process.hProcess, INFINITE);
            }
            CloseHandle(process.hThread);
            CloseHandle(process.hProcess);
        } else {
            run.err = "CreateProcess failed with Windows error " + std::to_string(GetLastError());
        }
        CloseHandle(in);
        CloseHandle(out);
        CloseHandle(err);
    }
    run.out = readWhole(outPath);
    run.err += readWhole(errPath);
    DeleteFileA(inPath.c_str());
    DeleteFileA(outPath.c_str());
    DeleteFileA(errPath.c_str());
    return run;
}
