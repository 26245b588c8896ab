#include "e2e_util.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <stdexcept>

static pid_t startChild(
    const std::vector<std::string> &argv, const std::string &cwd, int in, int out, int err)
{
    pid_t pid = fork();
    if (pid != 0)
        return pid;
    dup2(in, 0), dup2(out, 1), dup2(err, 2);
    std::vector<char *> args;
    for (const std::string &a : argv)
        args.push_back(const_cast<char *>(a.c_str()));
    args.push_back(nullptr);
    if (cwd.empty() || chdir(cwd.c_str()) == 0)
        execvp(args[0], args.data());
    _exit(cwd.empty() ? 127 : 126);
}

// Feeds the input and drains both outputs until the child closes them; a
// child past its time is killed and reported with status -1.
RunResult RunProgram(const std::vector<std::string> &argv, const std::string &input,
    const std::string &cwd, int timeout_seconds)
{
    int in[2], out[2], err[2];
    if (pipe2(in, O_CLOEXEC) || pipe2(out, O_CLOEXEC) || pipe2(err, O_CLOEXEC))
        throw std::runtime_error("pipe");
    signal(SIGPIPE, SIG_IGN);
    pid_t pid = startChild(argv, cwd, in[0], out[1], err[1]);
    close(in[0]), close(out[1]), close(err[1]);
    RunResult r{0, "", ""};
    pollfd p[3] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}, {in[1], POLLOUT, 0}};
    std::string *sink[2] = {&r.out, &r.err};
    size_t sent = 0;
    time_t deadline = time(nullptr) + timeout_seconds;
    while (p[0].fd >= 0 || p[1].fd >= 0) {
        if (p[2].fd >= 0 && sent == input.size())
            close(p[2].fd), p[2].fd = -1;
        if (poll(p, 3, 200) > 0) {
            for (int i = 0; i < 2; i++) {
                char buf[65536];
                ssize_t got = p[i].revents ? read(p[i].fd, buf, sizeof buf) : -2;
                if (got > 0)
                    sink[i]->append(buf, got);
                else if (got == 0 || (got == -1 && errno != EINTR))
                    close(p[i].fd), p[i].fd = -1;
            }
            ssize_t put
                = p[2].revents ? write(p[2].fd, input.data() + sent, input.size() - sent) : 0;
            sent = put < 0 ? input.size() : sent + put;
        }
        if (r.status == 0 && time(nullptr) > deadline)
            kill(pid, SIGKILL), r.status = -1;
    }
    if (p[2].fd >= 0)
        close(p[2].fd);
    int st = 0;
    waitpid(pid, &st, 0);
    if (r.status != -1)
        r.status = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
    return r;
}

pid_t SpawnProgram(
    const std::vector<std::string> &argv, const std::string &out, const std::string &err)
{
    int fd[3] = {open("/dev/null", O_RDONLY | O_CLOEXEC),
        open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644),
        open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644)};
    pid_t pid = startChild(argv, "", fd[0], fd[1], fd[2]);
    close(fd[0]), close(fd[1]), close(fd[2]);
    return pid;
}

// The program's path and the emulator it runs under ("" for none).
static std::pair<std::string, std::string> programAndEmulator(const char *name)
{
    const char *dir = getenv("E2E_PROGRAM_DIR"), *emulator = getenv("E2E_EMULATOR");
    // A folder that is not there must not pass for the build's own programs.
    if (dir && *dir && !std::filesystem::is_directory(dir))
        throw std::runtime_error(std::string("E2E_PROGRAM_DIR is no folder: ") + dir);
    if (dir && *dir && FileExists(std::string(dir) + "/" + name))
        return {std::filesystem::absolute(std::string(dir) + "/" + name),
            emulator ? emulator : PROGRAM_EMULATOR};
    return {std::string(BUILD_DIR) + "/" + name, PROGRAM_EMULATOR};
}

// An emulated program comes back as a script beside the build that execs it
// under the emulator with the name it was started by as argv[0]; written
// under a temporary name and renamed, since tests run in parallel.
std::string BuiltProgram(const char *name)
{
    auto [path, runner] = programAndEmulator(name);
    if (runner.empty())
        return path;
    std::string body = "#!/bin/sh\nexec", word;
    for (std::istringstream words(runner); words >> word;)
        body += " '" + word + "'";
    body += " -0 \"$0\" '" + path + "' \"$@\"\n";
    std::string dir
        = BUILD_DIR "/e2e-emulated-" + std::to_string(std::hash<std::string>{}(body) % 1000000007);
    std::string script = dir + "/" + std::filesystem::path(path).filename().string(),
                part = script + ".";
    if (ReadFile(script) == body)
        return script;
    std::filesystem::create_directories(dir);
    WriteFile(part += std::to_string(getpid()), body);
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
