#include "e2e_util.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <functional>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace {

void childExec(const std::vector<std::string> &argv, const std::string &cwd,
               int in_fd, int out_fd, int err_fd)
{
    dup2(in_fd, 0);
    dup2(out_fd, 1);
    dup2(err_fd, 2);
    if (!cwd.empty() && chdir(cwd.c_str()) != 0)
        _exit(126);
    std::vector<char *> args;
    for (const std::string &a : argv)
        args.push_back(const_cast<char *>(a.c_str()));
    args.push_back(nullptr);
    execvp(args[0], args.data());
    _exit(127);
}

double now()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec + ts.tv_nsec / 1e9;
}

// Feeds the input and drains both outputs until the child closes them.
void pump(int in_w, int out_r, int err_r, const std::string &input,
          RunResult &r, pid_t pid, int timeout_seconds)
{
    size_t sent = 0;
    if (input.empty()) {
        close(in_w);
        in_w = -1;
    }
    double deadline = now() + timeout_seconds;
    while (out_r >= 0 || err_r >= 0) {
        pollfd fds[3] = {{out_r, POLLIN, 0}, {err_r, POLLIN, 0}, {in_w, POLLOUT, 0}};
        int n = poll(fds, 3, 200);
        if (now() > deadline) {
            kill(pid, SIGKILL);
            r.status = -1;
            deadline = now() + 3600;
        }
        if (n <= 0)
            continue;
        int *readers[2] = {&out_r, &err_r};
        std::string *sinks[2] = {&r.out, &r.err};
        for (int i = 0; i < 2; i++) {
            if (*readers[i] < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR)))
                continue;
            char buf[65536];
            ssize_t got = read(*readers[i], buf, sizeof buf);
            if (got > 0) {
                sinks[i]->append(buf, got);
            } else if (got == 0 || errno != EINTR) {
                close(*readers[i]);
                *readers[i] = -1;
            }
        }
        if (in_w >= 0 && (fds[2].revents & (POLLOUT | POLLERR | POLLHUP))) {
            ssize_t put = write(in_w, input.data() + sent, input.size() - sent);
            if (put > 0)
                sent += put;
            if (put < 0 || sent == input.size()) {
                close(in_w);
                in_w = -1;
            }
        }
    }
    if (in_w >= 0)
        close(in_w);
}

} // namespace

RunResult RunProgram(const std::vector<std::string> &argv, const std::string &input,
                     const std::string &cwd, int timeout_seconds)
{
    int in[2], out[2], err[2];
    if (pipe2(in, O_CLOEXEC) || pipe2(out, O_CLOEXEC) || pipe2(err, O_CLOEXEC))
        throw std::runtime_error("pipe");
    signal(SIGPIPE, SIG_IGN);
    pid_t pid = fork();
    if (pid == 0)
        childExec(argv, cwd, in[0], out[1], err[1]);
    close(in[0]);
    close(out[1]);
    close(err[1]);
    RunResult r{0, "", ""};
    pump(in[1], out[0], err[0], input, r, pid, timeout_seconds);
    int st = 0;
    waitpid(pid, &st, 0);
    if (r.status != -1)
        r.status = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
    return r;
}

pid_t SpawnProgram(const std::vector<std::string> &argv, const std::string &out,
                   const std::string &err)
{
    int in_fd = open("/dev/null", O_RDONLY | O_CLOEXEC);
    int out_fd = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    int err_fd = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    pid_t pid = fork();
    if (pid == 0)
        childExec(argv, "", in_fd, out_fd, err_fd);
    close(in_fd);
    close(out_fd);
    close(err_fd);
    return pid;
}

// Each word single-quoted for sh.
static std::string shellQuoted(const std::string &words)
{
    std::string quoted;
    std::istringstream in(words);
    for (std::string w; in >> w;)
        quoted += " '" + w + "'";
    return quoted;
}

// A script beside the build that execs the program under the emulator,
// with the name it was started by as the program's argv[0]. Written
// under a temporary name and renamed, since tests run in parallel.
static std::string emulatedProgram(const std::string &path, const std::string &emulator)
{
    std::string body = "#!/bin/sh\nexec" + shellQuoted(emulator) + " -0 \"$0\" '" + path + "' \"$@\"\n";
    std::string dir = std::string(BUILD_DIR) + "/e2e-emulated-" +
                      std::to_string(std::hash<std::string>{}(body) % 1000000007);
    std::string script = dir + "/" + std::filesystem::path(path).filename().string();
    if (ReadFile(script) == body)
        return script;
    std::filesystem::create_directories(dir);
    std::string part = script + "." + std::to_string(getpid());
    WriteFile(part, body);
    chmod(part.c_str(), 0755);
    if (rename(part.c_str(), script.c_str()) != 0)
        throw std::runtime_error("rename " + part);
    return script;
}

// The program's path and the emulator it runs under ("" for none).
static std::pair<std::string, std::string> programAndEmulator(const char *name)
{
    const char *dir = getenv("E2E_PROGRAM_DIR");
    const char *emulator = getenv("E2E_EMULATOR");
    std::string path = std::string(BUILD_DIR) + "/" + name;
    std::string runner = PROGRAM_EMULATOR;
    // A folder that is not there must not pass for the build's own programs.
    if (dir && *dir && !std::filesystem::is_directory(dir))
        throw std::runtime_error(std::string("E2E_PROGRAM_DIR is no folder: ") + dir);
    if (dir && *dir && FileExists(std::string(dir) + "/" + name)) {
        path = std::filesystem::absolute(std::string(dir) + "/" + name).string();
        if (emulator)
            runner = emulator;
    }
    return {path, runner};
}

std::string BuiltProgram(const char *name)
{
    auto [path, runner] = programAndEmulator(name);
    return runner.empty() ? path : emulatedProgram(path, runner);
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
{
    const char *base = getenv("TMPDIR");
    std::string templ = std::string(base && *base ? base : "/tmp") + "/e2e.XXXXXX";
    std::vector<char> buf(templ.begin(), templ.end());
    buf.push_back('\0');
    if (!mkdtemp(buf.data()))
        throw std::runtime_error("mkdtemp");
    path = buf.data();
}

ScratchDir::~ScratchDir()
{
    std::error_code ec;
    std::filesystem::remove_all(path, ec);
}

std::string ReadFile(const std::string &path)
{
    std::ifstream f(path, std::ios::binary);
    std::ostringstream s;
    s << f.rdbuf();
    return s.str();
}

bool FileExists(const std::string &path)
{
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

void WriteFile(const std::string &path, const std::string &content)
{
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f.write(content.data(), content.size());
}
