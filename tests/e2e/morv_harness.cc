#include "morv_harness.h"

bool MorvServer::Start(
    const std::vector<std::string> &args, const std::string &setup, bool wait_ready)
{
    mkdir(run_dir.c_str(), 0755);
    mkdir(tmp_dir.c_str(), 01777);
    chmod(tmp_dir.c_str(), 01777);
    // A clone under /tmp stays reachable at its own path; morv starts in /, outside the binds.
    std::string script
        = "mount --bind \"$0\" /run && case \"$2\" in /tmp/*) mkdir -p \"$1${2#/tmp}\" && "
          "mount --bind \"$2\" \"$1${2#/tmp}\";; esac && mount --rbind \"$1\" /tmp && shift 2 && "
          "cd / && { :\n" + setup + "\n}";
    std::vector<std::string> argv = {"setpriv", "--pdeathsig", "KILL", "unshare", "-m", "sh", "-c",
        script + " && exec \"$@\"", run_dir, tmp_dir, SOURCE_DIR, MorvProgram(), "-s"};
    argv.insert(argv.end(), args.begin(), args.end());
    argv.insert(argv.end(), {"-p", std::to_string(port)});
    pid = SpawnProgram(argv, scratch.file("stdout"), scratch.file("stderr"));
    std::string line = "listen on port " + std::to_string(port) + ".\n";
    auto ready = [&] { return Out().find(line) != std::string::npos && FileExists(socket_path); };
    // A server that ends early (a bind failure) is not waited for.
    return !wait_ready || (WaitUntil([&] { return WaitExit(0) != -1 || ready(); }) && status == -1);
}
