// Helpers for tests that start the built programs, scratch directories and files.
#ifndef TESTS_E2E_E2E_UTIL_H
#define TESTS_E2E_E2E_UTIL_H

#include <sys/types.h>

#include <string>
#include <vector>

struct RunResult {
    int status; // exit status, or 128 + signal number
    std::string out, err;
};

// Runs argv[0] (a path, or a name in PATH) to its end.
RunResult RunProgram(const std::vector<std::string> &argv, const std::string &input = "",
    const std::string &cwd = "");
// Starts argv in the background, input from /dev/null; the caller reaps it.
pid_t SpawnProgram(
    const std::vector<std::string> &argv, const std::string &out, const std::string &err);
// A program of the build or E2E_PROGRAM_DIR; an emulated one as a script that starts it.
std::string BuiltProgram(const char *name);
bool ProgramEmulated(const char *name);
// E2E_SIGRTMIN when set: C libraries differ, and qemu-user moves real-time signals.
int ProgramSigRtMin();

struct ScratchDir {
    std::string path;
    ScratchDir();
    ~ScratchDir();
    ScratchDir(const ScratchDir &) = delete;
    std::string file(const std::string &name) const { return path + "/" + name; }
};

std::string ReadFile(const std::string &path);
bool FileExists(const std::string &path);
void WriteFile(const std::string &path, const std::string &content);

#endif
