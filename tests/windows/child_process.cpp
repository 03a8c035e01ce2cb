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

StartedProgram startProgram(const ProgramLaunch& launch) {
    StartedProgram started{nullptr, tempPath("dout"),  tempPath("derr"), tempPath("din"),
                           "",      launch.timeLimitMs};
    std::ofstream(started.inPath, std::ios::binary) << launch.stdinBytes;
    EnvironmentScope scope(launch.environment);
    // No bytes: the null device, as for a program started with input from /dev/null.
    HANDLE in = openInherited(launch.stdinBytes.empty() ? "NUL" : started.inPath, GENERIC_READ,
                              OPEN_EXISTING);
    HANDLE out = openInherited(started.outPath, GENERIC_WRITE, CREATE_ALWAYS);
    HANDLE err = openInherited(started.errPath, GENERIC_WRITE, CREATE_ALWAYS);

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
        CloseHandle(process.hThread);
        started.process = process.hProcess;
    } else {
        started.error = "CreateProcess failed with Windows error " + std::to_string(GetLastError());
    }
    CloseHandle(in);
    CloseHandle(out);
    CloseHandle(err);
    return started;
}

std::string outputSoFar(const StartedProgram& started) { return readWhole(started.outPath); }

ProgramRun finishProgram(StartedProgram started) {
    ProgramRun run{false, 0, "", started.error};
    if (started.process != nullptr) {
        if (WaitForSingleObject(started.process, started.timeLimitMs) == WAIT_OBJECT_0) {
            run.finished = true;
            GetExitCodeProcess(started.process, &run.exitCode);
        } else {
            TerminateProcess(started.process, 1);
            WaitForSingleObject(started.process, INFINITE);
        }
        CloseHandle(started.process);
    }
    run.out = readWhole(started.outPath);
    run.err += readWhole(started.errPath);
    DeleteFileA(started.inPath.c_str());
    DeleteFileA(started.outPath.c_str());
    DeleteFileA(started.errPath.c_str());
    return run;
}

ProgramRun runProgram(const ProgramLaunch& launch) { return finishProgram(startProgram(launch)); }
