// run_program: arguments reach the program verbatim, the environment is the
// fixed search path alone, blocked or ignored signals are not inherited, and
// failures to start are told apart from exit codes.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>
#include <stdlib.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

#include "common/run_program.h"

namespace {

std::string read_file(const std::string& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

struct TempDir {
    std::string path;
    TempDir() {
        char name[] = "/tmp/run_program_XXXXXX";
        path = mkdtemp(name);
    }
    ~TempDir() { run_program({{"rm", "-rf", path}}); }
};

}  // namespace

TEST(RunProgram, ArgumentsEnvironmentAndOutput) {
    TempDir dir;
    const std::string out = dir.path + "/out";
    const std::string hostile = "; touch " + dir.path + "/evil $(id) `id` '\n\"";
    // printf prints each argument verbatim; a shell would have run `touch`.
    ASSERT_EQ(0, run_program({{"printf", "[%s]", hostile, "x"}, out}));
    EXPECT_EQ("[" + hostile + "][x]", read_file(out));
    EXPECT_NE(0, access((dir.path + "/evil").c_str(), F_OK));
    // Output into a planted link would write wherever it points.
    ASSERT_EQ(0, symlink(out.c_str(), (dir.path + "/link").c_str()));
    EXPECT_EQ(kNotStarted, run_program({{"printf", "x"}, dir.path + "/link"}));
    EXPECT_EQ("[" + hostile + "][x]", read_file(out));

    setenv("PATH", (dir.path + ":/usr/bin:/bin").c_str(), 1);
    setenv("LD_PRELOAD", "/nonexistent.so", 1);
    ASSERT_EQ(0, run_program({{"env"}, out}));
    EXPECT_EQ(std::string("PATH=") + kFixedSearchPath + "\n", read_file(out));
    unsetenv("LD_PRELOAD");

    // A program named like one of ours in the caller's PATH is not found.
    std::ofstream(dir.path + "/evil-only") << "#!/bin/sh\nexit 0\n";
    chmod((dir.path + "/evil-only").c_str(), 0755);
    EXPECT_EQ(kNotStarted, run_program({{"evil-only"}}));
    EXPECT_EQ(0, run_program({{dir.path + "/evil-only"}}));  // an absolute path is taken as it is
}

TEST(RunProgram, ExitCodesSignalsAndMask) {
    EXPECT_EQ(0, run_program({{"true"}}));
    EXPECT_EQ(1, run_program({{"false"}}));
    EXPECT_EQ(7, run_program({{"sh", "-c", "exit 7"}}));
    EXPECT_EQ(128 + SIGKILL, run_program({{"sh", "-c", "kill -KILL $$"}}));
    EXPECT_EQ(kNotStarted, run_program({{"/nonexistent/program"}}));
    EXPECT_EQ(kNotStarted, run_program({{}}));

    // Our blocked and ignored signals are the program's defaults again:
    // otherwise a TERM sent to it would be lost.
    sigset_t blocked, old;
    sigemptyset(&blocked);
    sigaddset(&blocked, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &blocked, &old);
    signal(SIGINT, SIG_IGN);
    EXPECT_EQ(128 + SIGTERM, run_program({{"sh", "-c", "kill -TERM $$; sleep 5"}}));
    EXPECT_EQ(128 + SIGINT, run_program({{"sh", "-c", "kill -INT $$; sleep 5"}}));
    signal(SIGINT, SIG_DFL);
    pthread_sigmask(SIG_SETMASK, &old, nullptr);

    // Not waited for: returns at once, the program runs on.
    TempDir dir;
    const std::string mark = dir.path + "/mark";
    EXPECT_EQ(0, run_program({{"sh", "-c", "sleep 0.2; touch " + mark}, "", false}));
    EXPECT_NE(0, access(mark.c_str(), F_OK));
    for (int i = 0; i < 500 && access(mark.c_str(), F_OK) != 0; ++i)
        usleep(10000);
    EXPECT_EQ(0, access(mark.c_str(), F_OK));
}
