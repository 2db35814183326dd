#include "common/run_program.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <string.h>
#include <sys/wait.h>
#include <syslog.h>
#include <unistd.h>

#include "common/log.h"

namespace {

// posix_spawn's attributes and file actions, released on every way out.
struct SpawnSetup {
    posix_spawnattr_t attr;
    posix_spawn_file_actions_t actions;
    SpawnSetup() {
        posix_spawnattr_init(&attr);
        posix_spawn_file_actions_init(&actions);
    }
    ~SpawnSetup() {
        posix_spawn_file_actions_destroy(&actions);
        posix_spawnattr_destroy(&attr);
    }
    SpawnSetup(const SpawnSetup&) = delete;
    SpawnSetup& operator=(const SpawnSetup&) = delete;
};

}  // namespace

std::string find_program(const std::string& name) {
    if (name.empty())
        return {};
    if (name.find('/') != std::string::npos)
        return name;
    const std::string dirs = kFixedSearchPath;
    size_t start = 0;
    while (start <= dirs.size()) {
        size_t end = dirs.find(':', start);
        if (end == std::string::npos)
            end = dirs.size();
        std::string candidate = dirs.substr(start, end - start) + "/" + name;
        if (access(candidate.c_str(), X_OK) == 0)
            return candidate;
        start = end + 1;
    }
    return {};
}

int run_program(const ProgramRun& run) {
    if (run.argv.empty()) {
        errno = EINVAL;
        return kNotStarted;
    }
    const std::string path = find_program(run.argv[0]);
    if (path.empty()) {
        errno = ENOENT;
        log_message(LOG_ERR, "Cannot find the program %s on %s", run.argv[0].c_str(), kFixedSearchPath);
        return kNotStarted;
    }

    std::vector<char*> argv;
    argv.reserve(run.argv.size() + 1);
    for (const std::string& word : run.argv)
        argv.push_back(const_cast<char*>(word.c_str()));
    argv.push_back(nullptr);
    // Built per call, not a function-local static: a static would be
    // destroyed at exit before an exit handler that still runs programs.
    const std::string path_variable = std::string("PATH=") + kFixedSearchPath;
    char* envp[] = {const_cast<char*>(path_variable.c_str()), nullptr};

    SpawnSetup setup;
    sigset_t signals;
    sigemptyset(&signals);
    posix_spawnattr_setsigmask(&setup.attr, &signals);
    sigfillset(&signals);
    posix_spawnattr_setsigdefault(&setup.attr, &signals);
    posix_spawnattr_setflags(&setup.attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    if (!run.output_path.empty())
        posix_spawn_file_actions_addopen(&setup.actions, STDOUT_FILENO, run.output_path.c_str(),
                                         O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW, 0644);

    pid_t pid;
    const int error = posix_spawn(&pid, path.c_str(), &setup.actions, &setup.attr, argv.data(), envp);
    if (error != 0) {
        log_message(LOG_ERR, "posix_spawn(%s) failed: %s", path.c_str(), strerror(error));
        errno = error;
        return kNotStarted;
    }
    if (!run.wait)
        return 0;

    int status;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) {
            log_message(LOG_ERR, "waitpid() failed: %s", strerror(errno));
            return kNotStarted;
        }
    }
    if (WIFEXITED(status))
        return WEXITSTATUS(status);
    return 128 + WTERMSIG(status);
}
