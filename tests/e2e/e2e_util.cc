#include "e2e_util.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <stdexcept>

// Standard streams from and to the files in io; SIGALRM after alarm_s seconds (0: never).
static pid_t startChild(const std::vector<std::string> &argv, const std::string &cwd,
    const std::string io[3], unsigned alarm_s)
{
    std::vector<char *> args;
    for (const std::string &a : argv)
        args.push_back(const_cast<char *>(a.c_str()));
    args.push_back(nullptr);
    pid_t pid = fork();
    if (pid != 0)
        return pid;
    for (int i = 0; i < 3; i++) {
        int flags = i ? O_WRONLY | O_CREAT | O_TRUNC : O_RDONLY;
        dup2(open(io[i].c_str(), flags | O_CLOEXEC, 0644), i);
    }
    alarm(alarm_s);
    if (cwd.empty() || chdir(cwd.c_str()) == 0)
        execvp(args[0], args.data());
    _exit(127);
}

RunResult RunProgram(
    const std::vector<std::string> &argv, const std::string &input, const std::string &cwd)
{
    ScratchDir dir;
    const std::string io[3] = {dir.file("in"), dir.file("out"), dir.file("err")};
    WriteFile(io[0], input);
    int st = 0;
    waitpid(startChild(argv, cwd, io, 120), &st, 0);
    return {WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st), ReadFile(io[1]), ReadFile(io[2])};
}

pid_t SpawnProgram(
    const std::vector<std::string> &argv, const std::string &out, const std::string &err)
{
    const std::string io[3] = {"/dev/null", out, err};
    return startChild(argv, "", io, 0);
}

// The program's path and the emulator it runs under ("" for none).
static std::pair<std::string, std::string> programAndEmulator(const char *name)
{
    const char *dir = getenv("E2E_PROGRAM_DIR");
    const char *emulator = getenv("E2E_EMULATOR");
    // A folder that is not there must not pass for the build's own programs.
    if (dir && *dir && !std::filesystem::is_directory(dir))
        throw std::runtime_error(std::string("E2E_PROGRAM_DIR is no folder: ") + dir);
    std::string path = std::string(dir ? dir : "") + "/" + name;
    if (dir && *dir && FileExists(path))
        return {std::filesystem::absolute(path), emulator ? emulator : PROGRAM_EMULATOR};
    return {std::string(BUILD_DIR) + "/" + name, PROGRAM_EMULATOR};
}

// The script passes on argv[0]; written aside and renamed, as tests run in parallel.
std::string BuiltProgram(const char *name)
{
    auto [path, runner] = programAndEmulator(name);
    if (runner.empty())
        return path;
    std::string body = "#!/bin/sh\nexec " + runner + " -0 \"$0\" '" + path + "' \"$@\"\n";
    std::string dir = BUILD_DIR "/e2e-emulated-" + std::to_string(std::hash<std::string>{}(body));
    std::string script = dir + "/" + name;
    std::string part = script + "." + std::to_string(getpid());
    if (ReadFile(script) == body)
        return script;
    std::filesystem::create_directories(dir);
    WriteFile(part, body);
    if (chmod(part.c_str(), 0755) != 0 || rename(part.c_str(), script.c_str()) != 0)
        throw std::runtime_error("rename " + part);
    return script;
}

bool ProgramEmulated(const char *name)
{
    return !programAndEmulator(name).second.empty();
}

int ProgramSigRtMin()
{
    const char *number = getenv("E2E_SIGRTMIN");
    return number && *number ? atoi(number) : SIGRTMIN;
}

ScratchDir::ScratchDir()
    : path(std::string(getenv("TMPDIR") && *getenv("TMPDIR") ? getenv("TMPDIR") : "/tmp")
        + "/e2e.XXXXXX")
{
    if (!mkdtemp(path.data()))
        throw std::runtime_error("mkdtemp");
}

ScratchDir::~ScratchDir()
{
    std::error_code ec;
    std::filesystem::remove_all(path, ec);
}

std::string ReadFile(const std::string &path)
{
    std::ifstream f(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(f), {});
}

bool FileExists(const std::string &path)
{
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

void WriteFile(const std::string &path, const std::string &content)
{
    std::ofstream(path, std::ios::binary | std::ios::trunc) << content;
}
