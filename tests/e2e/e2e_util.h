// Helpers for tests that start the built programs, scratch directories and files.
#ifndef TESTS_E2E_E2E_UTIL_H
#define TESTS_E2E_E2E_UTIL_H

#include <sys/types.h>

#include <string>
#include <vector>

struct RunResult {
    int status;  // exit status, 128 + signal number, or -1 when killed for time
    std::string out, err;
};

// Runs argv[0] (a path, or a name in PATH) to its end.
RunResult RunProgram(const std::vector<std::string> &argv, const std::string &input = "",
                     const std::string &cwd = "", int timeout_seconds = 120);
// Starts argv in the background, input from /dev/null; the caller reaps it.
pid_t SpawnProgram(
    const std::vector<std::string> &argv, const std::string &out, const std::string &err);
// The path of a program of the build, or of the folder E2E_PROGRAM_DIR when it
// holds one of that name. One for another processor comes back as a script
// that starts it through its emulator (E2E_EMULATOR, or the cross build's).
std::string BuiltProgram(const char *name);
// Whether BuiltProgram(name) runs through an emulator (which has descriptors of its own).
bool ProgramEmulated(const char *name);
// E2E_SIGRTMIN when set, else our own: C libraries differ (glibc 34, musl 35), and
// qemu-user moves a guest's real-time signal n to host n + 2.
int ProgramSigRtMin();

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
