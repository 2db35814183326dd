// The command line of telvad.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "daemon/options.h"

namespace {

// parse_options() over a command line written as strings; getopt may permute
// the copy it is given.
Options parse(const std::vector<const char*>& arguments) {
    std::vector<std::string> storage{"telvad"};
    storage.insert(storage.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (std::string& argument : storage)
        argv.push_back(argument.data());
    argv.push_back(nullptr);
    return parse_options(static_cast<int>(storage.size()), argv.data());
}

using Action = Options::Action;

TEST(Options, NoArgumentRunsTheDaemonAsDelivered) {
    const Options options = parse({});
    EXPECT_EQ(options.action, Action::run);
    EXPECT_FALSE(options.foreground);
    EXPECT_FALSE(options.simulate);
    EXPECT_FALSE(options.config_path);
}

TEST(Options, ForegroundConfigAndSimulateInEverySpelling) {
    const std::vector<std::vector<const char*>> spellings = {
        {"-f", "-c", "/tmp/a.conf", "--simulate"},
        {"--foreground", "--config", "/tmp/a.conf", "--simulate"},
        {"--simulate", "--config=/tmp/a.conf", "--foreground"},
        {"-fc", "/tmp/a.conf", "--simulate"},
        {"-c/tmp/a.conf", "--simulate", "-f"},
    };
    for (const auto& arguments : spellings) {
        const Options options = parse(arguments);
        EXPECT_EQ(options.action, Action::run) << options.error;
        EXPECT_TRUE(options.foreground);
        EXPECT_TRUE(options.simulate);
        EXPECT_EQ(options.config_path, "/tmp/a.conf");
    }
    EXPECT_FALSE(parse({"-f"}).simulate);
    EXPECT_FALSE(parse({"--simulate"}).foreground);
    EXPECT_EQ(parse({"-c", "/a", "-c", "/b"}).config_path, "/b");
}

TEST(Options, VersionAndHelp) {
    EXPECT_EQ(parse({"-V"}).action, Action::version);
    EXPECT_EQ(parse({"--version"}).action, Action::version);
    EXPECT_EQ(parse({"-h"}).action, Action::help);
    EXPECT_EQ(parse({"--help"}).action, Action::help);
    EXPECT_EQ(parse({"-f", "--help"}).action, Action::help);
    EXPECT_EQ(parse({"--version", "--bogus"}).action, Action::version);  // the first action wins
}

TEST(Options, MistakesAreUsageErrorsNamingTheCulprit) {
    struct Mistake {
        std::vector<const char*> arguments;
        const char* culprit;
    };
    const Mistake mistakes[] = {
        {{"-x"}, "-x"},
        {{"-f", "-q"}, "-q"},
        {{"-fq"}, "-q"},
        {{"--bogus"}, "--bogus"},
        {{"--foreground=yes"}, "--foreground"},
        {{"--fore=yes"}, "--fore"},
        {{"--help=1"}, "--help"},
        {{"--foreground", "-qf"}, "-q"},
        {{"--bogus=1"}, "--bogus"},
        {{"-c"}, "-c"},
        {{"--config"}, "--config"},
        {{"stray"}, "stray"},
        {{"-f", "stray"}, "stray"},
        {{"--", "stray"}, "stray"},
    };
    for (const auto& [arguments, culprit] : mistakes) {
        const Options options = parse(arguments);
        EXPECT_EQ(options.action, Action::usage_error) << culprit;
        EXPECT_NE(options.error.find(culprit), std::string::npos) << "'" << options.error << "' for " << culprit;
    }
}

TEST(Options, AnErrorLeavesNoStateForTheNextParse) {
    EXPECT_EQ(parse({"-fq"}).action, Action::usage_error);
    const Options options = parse({"-c", "/tmp/b.conf"});
    EXPECT_EQ(options.action, Action::run);
    EXPECT_FALSE(options.foreground);
    EXPECT_EQ(options.config_path, "/tmp/b.conf");
}

}  // namespace
