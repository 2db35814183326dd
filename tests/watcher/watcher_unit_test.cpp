#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "watcher/options.h"
#include "watcher/reset_button.h"

namespace {

TEST(ButtonMethod, UsbFirstThenBoardName) {
    struct Case {
        bool usb;
        const char* board;
        ButtonMethod expected;
    } cases[] = {
        {true, "X4", ButtonMethod::usb_button},
        {true, "N4200T", ButtonMethod::usb_button},
        {false, "Board X4 rev 2\n", ButtonMethod::cdc_line},
        {false, "N4200T\n", ButtonMethod::modem_lines},
        {false, "X4-N4200T", ButtonMethod::cdc_line},  // "X4" is looked for first
        {false, "x4", ButtonMethod::parallel_port},    // case matters
        {false, "N4200", ButtonMethod::parallel_port},
        {false, "", ButtonMethod::parallel_port},
    };
    for (const Case& c : cases)
        EXPECT_EQ(choose_button_method(c.usb, c.board), c.expected) << c.usb << " '" << c.board << "'";
}

TEST(WatcherOptions, OnlyTheSimulateOptions) {
    struct Case {
        std::vector<std::string> args;
        bool ok;
        bool simulate;
        const char* scenario;
        double scale;
    } cases[] = {
        {{}, true, false, "", 1.0},
        {{"--simulate"}, true, true, "", 1.0},
        {{"--simulate", "/run/s", "--sim-time-scale", "0.01"}, true, true, "/run/s", 0.01},
        {{"--simulate=/run/s", "--sim-socket", "/run/x.sock"}, true, true, "/run/s", 1.0},
        {{"-f"}, false, false, "", 1.0},
        {{"-h"}, false, false, "", 1.0},
        {{"--help"}, false, false, "", 1.0},
        {{"start"}, false, false, "", 1.0},
        {{"--simulate", "a", "b"}, false, true, "a", 1.0},
        {{"--sim-time-scale", "0.5"}, false, false, "", 0.5},  // needs --simulate
        {{"--simulate", "--sim-time-scale", "0"}, false, true, "", 0.0},
        {{"--simulate", "--sim-time-scale", "2"}, false, true, "", 2.0},
        {{"--simulate", "--sim-time-scale"}, false, true, "", 1.0},
    };
    for (const Case& c : cases) {
        std::vector<std::string> words = {"lineward"};
        words.insert(words.end(), c.args.begin(), c.args.end());
        std::vector<char*> argv;
        for (std::string& word : words)
            argv.push_back(word.data());
        argv.push_back(nullptr);
        const WatcherOptions options = parse_watcher_options(static_cast<int>(words.size()), argv.data());
        const std::string line = testing::PrintToString(c.args);
        EXPECT_EQ(options.ok, c.ok) << line;
        if (!c.ok) {
            EXPECT_FALSE(options.error.empty()) << line;
            continue;
        }
        EXPECT_EQ(options.simulate, c.simulate) << line;
        EXPECT_EQ(options.scenario.value_or(""), c.scenario) << line;
        EXPECT_DOUBLE_EQ(options.time_scale, c.scale) << line;
    }
}

}  // namespace
