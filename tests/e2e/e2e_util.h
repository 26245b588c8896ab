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

// The path of a program the build left in the build directory, or in the
// folder E2E_PROGRAM_DIR names when it has one of that name: the same tests
// then run against the programs of another build (another C library,
// another processor). A program for another processor comes back as a
// script that starts it through its emulator (E2E_EMULATOR for the other
// folder, the cross build's own emulator for the build directory), so it
// can be run, exec'd from a shell and linked to like the program itself.
std::string BuiltProgram(const char *name);

// Whether BuiltProgram(name) runs through an emulator, which holds
// descriptors of its own in the program's process.
bool ProgramEmulated(const char *name);

// SIGRTMIN of the programs under test, as this process must send it:
// E2E_SIGRTMIN when set, else this process's own. C libraries differ
// (glibc 34, musl 35), and qemu-user moves a guest's real-time signal n to
// host signal n + 2, so a native test sending to an emulated program needs
// the number spelled out.
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
