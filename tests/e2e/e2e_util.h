// Helpers for tests that start the built programs: run a command with
// given standard input and collect its output and status; scratch
// directories that remove themselves; whole-file reads and writes.
#ifndef TESTS_E2E_E2E_UTIL_H
#define TESTS_E2E_E2E_UTIL_H

#include <sys/types.h>

#include <string>
#include <vector>

struct RunResult {
    int status;       // exit status, or 128 + signal number
    std::string out;  // everything written on standard output
    std::string err;  // everything written on standard error
};

// Runs argv[0] (a path, or a name looked up in PATH) to its end. A run
// that outlives timeout_seconds is killed and reported with status -1.
RunResult RunProgram(const std::vector<std::string> &argv,
                     const std::string &input = "",
                     const std::string &cwd = "",
                     int timeout_seconds = 120);

// Starts argv in the background with standard input from /dev/null and
// standard output and error into the files out and err; returns its pid.
// The caller waits for it or kills it.
pid_t SpawnProgram(const std::vector<std::string> &argv, const std::string &out,
                   const std::string &err);

// The path of a program the build left in the build directory.
std::string BuiltProgram(const char *name);

struct ScratchDir {
    std::string path;
    ScratchDir();
    ~ScratchDir();
    ScratchDir(const ScratchDir &) = delete;
    ScratchDir &operator=(const ScratchDir &) = delete;
    std::string file(const std::string &name) const { return path + "/" + name; }
};

std::string ReadFile(const std::string &path);
bool FileExists(const std::string &path);
void WriteFile(const std::string &path, const std::string &content);

#endif
