// The configuration reader: the file format, its defaults and bad input.
#include <gtest/gtest.h>

#include <cerrno>
#include <random>
#include <string>
#include <sys/stat.h>
#include <syslog.h>

#include "common/config.h"
#include "common/log.h"
#include "tests/unit/support.h"

using namespace std::string_literals;

namespace {

class ConfigFile : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(init_config(), 0); }
    void TearDown() override { free_config(); }

    // Reads `contents` as the configuration file; the result of read_config().
    int read(const std::string& contents) {
        daemon_config->config_path = dir.write("telvad.conf", contents);
        return read_config();
    }

    void expect_default_ports() const {
        EXPECT_EQ(config_as_port(), 48899);
        EXPECT_EQ(config_serial_port_a(), 49000);
        EXPECT_EQ(config_serial_port_b(), 49001);
    }

    ScratchDir dir;
    LogCapture log;
};

TEST_F(ConfigFile, VerbosityDebugAloneGivesEveryDefault) {
    ASSERT_EQ(read("verbosity=debug\n"), 0);
    EXPECT_EQ(config_verbosity(), LOG_DEBUG);
    EXPECT_STREQ(config_lock(), "/run/telvad.pid");
    expect_default_ports();
    EXPECT_FALSE(config_alpaca_enabled());
    EXPECT_EQ(log.text(), "");
}

TEST_F(ConfigFile, EmptyFileGivesDefaultsAndThresholdFour) {
    ASSERT_EQ(read(""), 0);
    EXPECT_EQ(config_verbosity(), LOG_WARNING);
    EXPECT_STREQ(config_lock(), "/run/telvad.pid");
    expect_default_ports();
}

TEST_F(ConfigFile, AllSeparatorFormsAreEquivalent) {
    ASSERT_EQ(read("as_port=1000\nserial_port_a = 2000\nserial_port_b 3000\nlock==/tmp/x#1.pid\n"
                   "   alpaca_enabled   1   trailing words # ignored\n"),
              0);
    EXPECT_EQ(config_as_port(), 1000);
    EXPECT_EQ(config_serial_port_a(), 2000);
    EXPECT_EQ(config_serial_port_b(), 3000);
    EXPECT_STREQ(config_lock(), "/tmp/x#1.pid");  // "#" inside a line is plain text
    EXPECT_TRUE(config_alpaca_enabled());
}

TEST_F(ConfigFile, CommentsTabsAndUnknownKeysChangeNothing) {
    ASSERT_EQ(read("#as_port = 1000\n"
                   "  #as_port = 1001\n"         // not a comment: key "#as_port"
                   "\t# serial_port_a = 1002\n"   // key "\t#": tab is no delimiter
                   "serial_port_b\t1003\n"        // one token: skipped
                   "verbosity\tdebug\n"
                   "dc_port = 1004\n"             // written by the configuration tool
                   "AS_PORT = 1005\n"             // keys are case-sensitive
                   "\n = \n"),
              0);
    EXPECT_EQ(config_verbosity(), LOG_WARNING);
    expect_default_ports();
    EXPECT_EQ(log.text(), "");  // unknown keys are ignored without a message
}

TEST_F(ConfigFile, LeadingBlanksBeforeAKeyAreSkipped) {
    ASSERT_EQ(read("   as_port = 5000\n"), 0);
    EXPECT_EQ(config_as_port(), 5000);
}

TEST_F(ConfigFile, KeyWithoutValueIsSkipped) {
    ASSERT_EQ(read("as_port\nserial_port_a =\nserial_port_b = \nlock\nverbosity\nalpaca_enabled=\n"), 0);
    expect_default_ports();
    EXPECT_STREQ(config_lock(), "/run/telvad.pid");
    EXPECT_EQ(config_verbosity(), LOG_WARNING);
}

TEST_F(ConfigFile, DuplicateKeysTakeTheLastValue) {
    ASSERT_EQ(read("as_port = 1000\nlock = /tmp/first\nverbosity = debug\nalpaca_enabled = 1\n"
                   "as_port = 2000\nlock = /tmp/second\nverbosity = err\nalpaca_enabled = 0\n"),
              0);
    EXPECT_EQ(config_as_port(), 2000);
    EXPECT_STREQ(config_lock(), "/tmp/second");
    EXPECT_EQ(config_verbosity(), LOG_ERR);
    EXPECT_FALSE(config_alpaca_enabled());
}

TEST_F(ConfigFile, VerbosityZeroOrTextKeepsThresholdNamesSetIt) {
    ASSERT_EQ(read("verbosity = 0\n"), 0);
    EXPECT_EQ(config_verbosity(), LOG_WARNING);
    for (const char* kept : {"-3", "Debug", "loud", "0x7"}) {
        apply_config_line(*daemon_config, ("verbosity = "s + kept).c_str());
        EXPECT_EQ(config_verbosity(), LOG_WARNING) << kept;
    }
    apply_config_line(*daemon_config, "verbosity = emerg");
    EXPECT_EQ(config_verbosity(), LOG_EMERG);
    const std::pair<const char*, int> names[] = {{"alert", 1}, {"crit", 2},   {"err", 3},  {"warning", 4},
                                                 {"notice", 5}, {"info", 6}, {"debug", 7}, {"5", 5}};
    for (const auto& [name, level] : names) {
        apply_config_line(*daemon_config, ("verbosity " + std::string(name)).c_str());
        EXPECT_EQ(config_verbosity(), level) << name;
    }
}

TEST_F(ConfigFile, VerbosityAboveSevenIsLoggedAndStored) {
    ASSERT_EQ(read("verbosity = 12\n"), 0);
    EXPECT_TRUE(log.has_line("The value 12 is not a valid priority value")) << log.text();
    EXPECT_EQ(config_verbosity(), 12);
    log_message(LOG_DEBUG, "debug passes");
    EXPECT_TRUE(log.has_line("debug passes"));
}

TEST_F(ConfigFile, HugeVerbosityNeverWrapsToAFilteringThreshold) {
    ASSERT_EQ(read("verbosity = 99999999999999999999\n"), 0);
    EXPECT_GT(config_verbosity(), LOG_DEBUG);
}

struct PortCase {
    const char* value;
    uint16_t expected;
};

class PortValue : public ConfigFile, public ::testing::WithParamInterface<PortCase> {};

TEST_P(PortValue, KeepsLowSixteenBitsAndZeroMeansDefault) {
    const PortCase& port = GetParam();
    ASSERT_EQ(read("as_port = "s + port.value + "\nserial_port_a = " + port.value + "\nserial_port_b = " +
                   port.value + "\n"),
              0);
    const bool is_default = port.expected == 0;
    EXPECT_EQ(config_as_port(), is_default ? 48899 : port.expected);
    EXPECT_EQ(config_serial_port_a(), is_default ? 49000 : port.expected);
    EXPECT_EQ(config_serial_port_b(), is_default ? 49001 : port.expected);
}

// expected 0: the key's default.
INSTANTIATE_TEST_SUITE_P(Ports, PortValue,
                         ::testing::Values(PortCase{"0", 0}, PortCase{"1", 1}, PortCase{"65535", 65535},
                                           PortCase{"65536", 0}, PortCase{"65537", 1},
                                           PortCase{"70000", 4464}, PortCase{"131071", 65535},
                                           PortCase{"4295032833", 1},  // 2^32 + 2^16 + 1
                                           PortCase{"http", 0}, PortCase{"8000abc", 8000},
                                           PortCase{"99999999999999999999999", 65535}));

TEST_F(ConfigFile, AlpacaEnabledOnlyForTheNumberOne) {
    const std::pair<const char*, bool> values[] = {
        {"1", true}, {"01", true}, {"2", false}, {"yes", false}, {"true", false}, {"0", false},
        {"4294967297", false},  // 2^32 + 1 must not wrap to 1
    };
    for (const auto& [value, enabled] : values) {
        daemon_config->alpaca_enabled = !enabled;
        apply_config_line(*daemon_config, ("alpaca_enabled = "s + value).c_str());
        EXPECT_EQ(config_alpaca_enabled(), enabled) << value;
    }
}

TEST_F(ConfigFile, LongLinesAreReadAsPiecesOfTheirOwn) {
    // fgets() hands over 1023 bytes at a time; what follows is a line of its
    // own, so the second piece here sets the port.
    const std::string filler(1023, 'a');
    const std::string long_lock(3000, 'x');
    ASSERT_EQ(read(filler + "as_port=7000\n" + "lock = " + long_lock + "\nserial_port_a = 6000\n"), 0);
    EXPECT_EQ(config_as_port(), 7000);
    EXPECT_EQ(config_serial_port_a(), 6000);
    ASSERT_NE(config_lock(), nullptr);
    EXPECT_EQ(std::string(config_lock()), std::string(1023 - 7, 'x'));
}

TEST_F(ConfigFile, BinaryBytesNeverCrashOrLeaveAPortUnset) {
    ASSERT_EQ(read("as_port=5000\0garbage=1\n"s      // the reader sees up to the NUL
                   "\0serial_port_a=6000\n"s          // empty as far as strtok sees
                   "\xff\xfe\x01 = \x80\n"
                   "lock = /tmp/\x01\x7f\n"),
              0);
    EXPECT_EQ(config_as_port(), 5000);
    EXPECT_EQ(config_serial_port_a(), 49000);
    EXPECT_STREQ(config_lock(), "/tmp/\x01\x7f");

    std::mt19937 random(2);
    std::string noise(1 << 16, '\0');
    for (char& byte : noise)
        byte = static_cast<char>(random());
    for (const char* key : {"as_port", "serial_port_a", "serial_port_b", "verbosity", "lock"})
        noise += "\n"s + key + " = \xff\0"s + "\n";
    free_config();
    ASSERT_EQ(init_config(), 0);
    ASSERT_EQ(read(noise), 0);
    EXPECT_NE(config_as_port(), 0);
    EXPECT_NE(config_serial_port_a(), 0);
    EXPECT_NE(config_serial_port_b(), 0);
    EXPECT_NE(config_lock(), nullptr);
}

TEST_F(ConfigFile, MissingFileIsLoggedAndDefaultsApply) {
    struct stat ignored;
    if (stat(DEFAULT_CONFIG_PATH, &ignored) == 0)
        GTEST_SKIP() << DEFAULT_CONFIG_PATH << " exists on this machine";
    daemon_config->config_path = dir.path() + "/absent.conf";
    EXPECT_EQ(read_config(), -ENOENT);
    EXPECT_TRUE(log.has_line("fopen() failed: No such file or directory")) << log.text();
    EXPECT_STREQ(config_lock(), "/run/telvad.pid");
    expect_default_ports();
    EXPECT_EQ(config_verbosity(), LOG_WARNING);
}

TEST(ConfigRecord, AccessorsAnswerStartValuesWithoutARecord) {
    ASSERT_EQ(daemon_config, nullptr);
    EXPECT_EQ(config_verbosity(), LOG_WARNING);
    EXPECT_EQ(config_lock(), nullptr);
    EXPECT_FALSE(config_alpaca_enabled());
    ASSERT_EQ(init_config(), 0);
    free_config();
    EXPECT_EQ(daemon_config, nullptr);
}

}  // namespace
