// Terminal settings: the setting texts on termios words, and set_tty, get_tty,
// serial_setup and serial_get_modem_state on a pseudo-terminal behind the
// virtual box. A pty keeps speed, stop bits and flow control but forces 8
// data bits without parity, so what was asked for is checked on the words
// handed to tcsetattr.
#include <gtest/gtest.h>

#include <dlfcn.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "common/terminal.h"
#include "platform/platform.h"
#include "sim/virtual_platform.h"
#include "tests/unit/support.h"

namespace {

// Every tcsetattr of this program, the module's included, passes through the
// one below: it counts the calls, keeps the last attributes asked for, and
// fails with `tcsetattr_error` when that is set.
int tcsetattr_calls = 0;
termios tcsetattr_last = {};
int tcsetattr_error = 0;

}  // namespace

extern "C" int tcsetattr(int fd, int action, const termios* attributes) {
    using Real = int (*)(int, int, const termios*);
    static const Real real = reinterpret_cast<Real>(dlsym(RTLD_NEXT, "tcsetattr"));
    ++tcsetattr_calls;
    tcsetattr_last = *attributes;
    if (tcsetattr_error != 0) {
        errno = tcsetattr_error;
        return -1;
    }
    return real(fd, action, attributes);
}

namespace {

// An 8N1 line at 9600 with a few flags of every word set, as a starting point
// for the flag arithmetic.
termios eight_none_one() {
    termios t = {};
    t.c_cflag = CS8 | CREAD | CLOCAL | HUPCL;
    t.c_iflag = IGNPAR | IXON;
    t.c_oflag = OPOST | ONLCR;
    t.c_lflag = ICANON | ECHO;
    t.c_cc[VMIN] = 0;
    t.c_cc[VTIME] = 5;
    cfsetispeed(&t, B9600);
    cfsetospeed(&t, B9600);
    return t;
}

void expect_same(const termios& a, const termios& b) {
    EXPECT_EQ(a.c_cflag, b.c_cflag);
    EXPECT_EQ(a.c_iflag, b.c_iflag);
    EXPECT_EQ(a.c_oflag, b.c_oflag);
    EXPECT_EQ(a.c_lflag, b.c_lflag);
    EXPECT_EQ(cfgetispeed(&a), cfgetispeed(&b));
    EXPECT_EQ(cfgetospeed(&a), cfgetospeed(&b));
    EXPECT_EQ(0, memcmp(a.c_cc, b.c_cc, sizeof a.c_cc));
}

termios applied(termios t, const char* text) {
    apply_tty_text(t, text);
    return t;
}

std::vector<uint32_t> read_back(const termios& t, const char* text) {
    std::vector<uint32_t> values{0xDEAD};
    read_tty_text(t, text, values);
    return values;
}

std::string error_text(int error) { return std::to_string(error) + ", " + strerror(error); }

// A pseudo-terminal; `slave` is opened as the daemon opens a serial device.
struct Pty {
    Pty() {
        master = posix_openpt(O_RDWR | O_NOCTTY);
        if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0)
            throw std::runtime_error("no pseudo-terminal");
        char name[64];
        if (ptsname_r(master, name, sizeof name) != 0)
            throw std::runtime_error("no pseudo-terminal name");
        path = name;
        slave = open(name, O_RDWR | O_NOCTTY | O_NONBLOCK);
        if (slave < 0)
            throw std::runtime_error("can't open " + path);
    }
    ~Pty() {
        close(slave);
        close(master);
    }
    Pty(const Pty&) = delete;
    Pty& operator=(const Pty&) = delete;

    termios attributes() const {
        termios t = {};
        tcgetattr(slave, &t);
        return t;
    }

    int master = -1;
    int slave = -1;
    std::string path;
};

// The virtual box with a pty standing at position A, installed as the
// platform; `port` holds the pty as opened through the platform.
class SerialLine : public ::testing::Test {
protected:
    void SetUp() override {
        sim::BoxSettings settings;
        settings.serial_paths[0] = pty.path;
        box = std::make_shared<sim::VirtualBox>(settings);
        platform::install(sim::make_virtual_platform(box));
        port.position = 0;
        port.client_sd = 42;
        port.tty_fd = platform::current().serial_open(pty.path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        ASSERT_GT(port.tty_fd, 0);
        tcsetattr_calls = 0;
        tcsetattr_error = 0;
    }
    void TearDown() override {
        tcsetattr_error = 0;
        platform::current().serial_close(port.tty_fd);
        platform::install(nullptr);
    }

    void modem(const std::string& line) { ASSERT_EQ(box->execute("modem a " + line), "ok\n"); }

    int output_lines() {
        int bits = 0;
        EXPECT_EQ(platform::current().serial_ioctl(port.tty_fd, TIOCMGET, &bits), 0);
        return bits & (TIOCM_DTR | TIOCM_RTS);
    }

    Pty pty;
    std::shared_ptr<sim::VirtualBox> box;
    SerialPosition port;
    LogCapture log;
};

// --- Setting texts on termios words ------------------------------------------

TEST(TtyText, TokensSplitAtAnyRunOfBlanksTabsAndNewlinesWithOneSign) {
    const auto tokens = split_tty_text("  -cs7\t\n parenb\n\n--cmspar \t-");
    ASSERT_EQ(tokens.size(), 4u);
    EXPECT_EQ(tokens[0].word, "-cs7");
    EXPECT_EQ(tokens[0].name, "cs7");
    EXPECT_TRUE(tokens[0].clear);
    EXPECT_EQ(tokens[1].word, "parenb");
    EXPECT_EQ(tokens[1].name, "parenb");
    EXPECT_FALSE(tokens[1].clear);
    EXPECT_EQ(tokens[2].name, "-cmspar");  // only one sign is taken off
    EXPECT_EQ(tokens[3].name, "");
    EXPECT_TRUE(tokens[3].clear);

    EXPECT_TRUE(split_tty_text("").empty());
    EXPECT_TRUE(split_tty_text(" \t\n ").empty());
}

TEST(TtyText, SevenEvenFromEightNoneAndClearedFieldsAtZero) {
    termios odd = eight_none_one();
    odd.c_cflag |= PARODD;
    const termios even = applied(odd, "cs7 parenb -parodd");
    EXPECT_EQ(even.c_cflag & CSIZE, static_cast<tcflag_t>(CS7));
    EXPECT_TRUE(even.c_cflag & PARENB);
    EXPECT_FALSE(even.c_cflag & PARODD);
    EXPECT_EQ(even.c_cflag & ~(CSIZE | PARENB | PARODD), odd.c_cflag & ~(CSIZE | PARENB | PARODD));

    // Clearing one setting of a multi-bit field leaves the field at 0,
    // whichever setting was there.
    EXPECT_EQ(applied(eight_none_one(), "-cs8").c_cflag & CSIZE, 0u);
    EXPECT_EQ(applied(eight_none_one(), "-cs6").c_cflag & CSIZE, 0u);
    EXPECT_EQ(applied(eight_none_one(), "tab3 tab1").c_oflag & TABDLY, static_cast<tcflag_t>(TAB1));
    EXPECT_EQ(applied(eight_none_one(), "cr3 -cr2").c_oflag & CRDLY, 0u);
}

TEST(TtyText, RowsAddressTheirOwnWord) {
    struct Case {
        const char* name;
        tcflag_t termios::*word;
        tcflag_t bits;
    };
    const Case cases[] = {{"crtscts", &termios::c_cflag, CRTSCTS}, {"cmspar", &termios::c_cflag, CMSPAR},
                          {"ixoff", &termios::c_iflag, IXOFF},     {"ofil", &termios::c_oflag, OFILL},
                          {"ff1", &termios::c_oflag, FF1},         {"xcase", &termios::c_lflag, XCASE}};
    for (const Case& c : cases) {
        const termios before = eight_none_one();
        termios expected = before;
        expected.*c.word |= c.bits;
        expect_same(applied(before, c.name), expected);
        expected.*c.word &= ~c.bits;
        expect_same(applied(before, (std::string("-") + c.name).c_str()), expected);
    }
}

TEST(TtyText, RatesOutsideTheTableAndUnknownWordsChangeNothing) {
    const termios start = eight_none_one();
    for (const char* text : {"", " \t\n", "14400", "460800", "bogus", "CS7", "--cs7", "-", "9600x"})
        expect_same(applied(start, text), start);

    const termios fast = applied(start, "115200 bogus");
    EXPECT_EQ(cfgetispeed(&fast), static_cast<speed_t>(B115200));
    EXPECT_EQ(cfgetospeed(&fast), static_cast<speed_t>(B115200));
    const termios back = applied(fast, "9600 bogus");
    expect_same(back, start);

    // The sign of a rate is ignored.
    const termios signed_rate = applied(start, "-115200");
    EXPECT_EQ(cfgetispeed(&signed_rate), static_cast<speed_t>(B115200));
    EXPECT_EQ(cfgetospeed(&signed_rate), static_cast<speed_t>(B115200));
}

TEST(TtyText, RawKeepsTheLineAndReadsOneByteAtOnce) {
    termios start = eight_none_one();
    start.c_cflag = (start.c_cflag & ~CSIZE) | CS7 | PARENB | CSTOPB | CRTSCTS;
    start.c_iflag |= ICRNL;
    start.c_lflag |= ISIG | IEXTEN;
    for (const char* text : {"raw", "-raw"}) {
        const termios raw = applied(start, text);
        EXPECT_EQ(raw.c_cflag, start.c_cflag) << text;
        EXPECT_EQ(raw.c_iflag, 0u) << text;
        EXPECT_EQ(raw.c_oflag, 0u) << text;
        EXPECT_EQ(raw.c_lflag, 0u) << text;
        EXPECT_EQ(raw.c_cc[VMIN], 1) << text;
        EXPECT_EQ(raw.c_cc[VTIME], 0) << text;
        EXPECT_EQ(cfgetispeed(&raw), static_cast<speed_t>(B9600)) << text;
    }
}

TEST(TtyText, ReadingGivesOneValuePerKnownNameInOrder) {
    termios even = eight_none_one();
    even.c_cflag = (even.c_cflag & ~CSIZE) | CS7 | PARENB;
    const auto parity = read_back(even, "parenb parodd cmspar");
    ASSERT_EQ(parity.size(), 3u);
    EXPECT_NE(parity[0], 0u);
    EXPECT_EQ(parity[1], 0u);
    EXPECT_EQ(parity[2], 0u);

    EXPECT_EQ(read_back(eight_none_one(), "cs5"), std::vector<uint32_t>{0x30});
    EXPECT_EQ(read_back(even, "cs8"), std::vector<uint32_t>{0x20});
    // Any rate name reads the current input speed code.
    EXPECT_EQ(read_back(eight_none_one(), "115200"), std::vector<uint32_t>{13});
    EXPECT_EQ(read_back(eight_none_one(), "0"), std::vector<uint32_t>{13});
    // No sign handling: a signed word is unknown.
    EXPECT_TRUE(read_back(eight_none_one(), "-cstopb").empty());
    EXPECT_TRUE(read_back(eight_none_one(), "").empty());
    EXPECT_EQ(read_back(eight_none_one(), "ixon bogus raw -ixon icanon"),
              (std::vector<uint32_t>{IXON, 0, ICANON}));
}

TEST(TtyText, SpeedCodesLeadBackToTheirRate) {
    ASSERT_NE(find_tty_speed(13), nullptr);
    EXPECT_STREQ(find_tty_speed(13)->name, "9600");
    ASSERT_NE(find_tty_speed(0x1002), nullptr);
    EXPECT_STREQ(find_tty_speed(0x1002)->name, "115200");
    EXPECT_EQ(find_tty_speed(B460800), nullptr);
    EXPECT_EQ(find_tty_speed(0x1000), nullptr);  // CBAUDEX alone is no rate
}

// --- set_tty and get_tty on the device ----------------------------------------

TEST_F(SerialLine, SetTtyAppliesTheWholeTextInOneUpdate) {
    set_tty(port.tty_fd, "cs7 parenb -parodd cstopb crtscts 19200");
    EXPECT_EQ(tcsetattr_calls, 1);
    EXPECT_EQ(tcsetattr_last.c_cflag & CSIZE, static_cast<tcflag_t>(CS7));
    EXPECT_TRUE(tcsetattr_last.c_cflag & PARENB);
    EXPECT_FALSE(tcsetattr_last.c_cflag & PARODD);

    // What the pty keeps, read back from the device.
    std::vector<uint32_t> values;
    ASSERT_EQ(get_tty(port.tty_fd, "0 cstopb crtscts parodd cmspar", values), 0);
    EXPECT_EQ(values, (std::vector<uint32_t>{B19200, CSTOPB, CRTSCTS, 0, 0}));
    EXPECT_EQ(log.text(), "");
}

TEST_F(SerialLine, EmptyTextWritesTheAttributesBackUnchanged) {
    const termios before = pty.attributes();
    for (const char* text : {"", " \n", static_cast<const char*>(nullptr)}) {
        tcsetattr_calls = 0;
        set_tty(port.tty_fd, text);
        EXPECT_EQ(tcsetattr_calls, 1);
        expect_same(tcsetattr_last, before);
    }
    std::vector<uint32_t> values{1, 2};
    EXPECT_EQ(get_tty(port.tty_fd, "", values), 0);
    EXPECT_TRUE(values.empty());
}

TEST_F(SerialLine, SetAndGetTtyFailuresAreLogged) {
    const int fd = open("/dev/null", O_RDWR);  // no terminal
    ASSERT_GT(fd, 0);
    set_tty(fd, "cstopb");
    EXPECT_EQ(tcsetattr_calls, 0);
    EXPECT_TRUE(log.has_line("set_tty(): cannot get settings for fd " + std::to_string(fd) +
                             ", error: " + error_text(ENOTTY)))
        << log.text();

    std::vector<uint32_t> values{7};
    EXPECT_EQ(get_tty(fd, "cstopb", values), -1);
    EXPECT_TRUE(values.empty());
    EXPECT_TRUE(log.has_line("get_tty(): cannot get settings for fd " + std::to_string(fd) + ", error: " +
                             strerror(ENOTTY)))
        << log.text();
    close(fd);

    tcsetattr_error = EIO;
    set_tty(port.tty_fd, "cstopb");
    EXPECT_TRUE(log.has_line("set_tty(): cannot set settings for fd " + std::to_string(port.tty_fd) +
                             ", error: " + error_text(EIO)))
        << log.text();
}

// --- serial_setup ---------------------------------------------------------------

TEST_F(SerialLine, SetupLeavesTheStartState) {
    // A line left behind by someone else: fast, odd, two stop bits, hardware
    // and software flow control, cooked, with DTR and RTS up and input waiting.
    termios dirty = pty.attributes();
    dirty.c_cflag |= CSTOPB | PARODD | CMSPAR | CRTSCTS;
    dirty.c_cflag &= ~CLOCAL;
    dirty.c_iflag |= IXON | IXANY | IXOFF | ICRNL | INLCR | IGNCR | ISTRIP | INPCK | PARMRK | IGNBRK | IGNPAR;
    dirty.c_oflag |= OPOST | ONLCR | OCRNL;
    dirty.c_lflag |= ISIG | ICANON | ECHO | ECHOE | ECHOK | ECHONL | IEXTEN;
    dirty.c_cc[VMIN] = 5;
    dirty.c_cc[VTIME] = 3;
    cfsetispeed(&dirty, B115200);
    cfsetospeed(&dirty, B115200);
    ASSERT_EQ(tcsetattr(port.tty_fd, TCSANOW, &dirty), 0);
    ASSERT_EQ(output_lines(), TIOCM_DTR | TIOCM_RTS);  // the box raises them on open
    // End of file ends the cooked line whatever the newline mapping does.
    ASSERT_EQ(write(pty.master, "stale\x04", 6), 6);
    pollfd waiting = {port.tty_fd, POLLIN, 0};
    ASSERT_EQ(poll(&waiting, 1, 2000), 1);

    tcsetattr_calls = 0;
    ASSERT_EQ(serial_setup(port), 0);
    EXPECT_EQ(tcsetattr_calls, 1);
    EXPECT_EQ(tcsetattr_last.c_cflag & (CSIZE | PARENB), static_cast<tcflag_t>(CS8));

    const termios t = pty.attributes();
    EXPECT_EQ(cfgetispeed(&t), static_cast<speed_t>(B9600));
    EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B9600));
    EXPECT_EQ(t.c_cflag & (CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS), static_cast<tcflag_t>(CS8));
    EXPECT_EQ(t.c_cflag & (CREAD | CLOCAL), static_cast<tcflag_t>(CREAD | CLOCAL));
    EXPECT_EQ(t.c_iflag & (IXON | IXANY | IXOFF | ICRNL | INLCR | IGNCR | ISTRIP | INPCK | PARMRK | IGNBRK), 0u);
    EXPECT_TRUE(t.c_iflag & IGNPAR);  // not the start state's business
    EXPECT_EQ(t.c_oflag & (OPOST | ONLCR | OCRNL), 0u);
    EXPECT_EQ(t.c_lflag & (ISIG | ICANON | ECHO | ECHOE | ECHOK | ECHONL | IEXTEN), 0u);
    EXPECT_EQ(t.c_cc[VMIN], 0);
    EXPECT_EQ(t.c_cc[VTIME], 0);
    EXPECT_EQ(output_lines(), 0);

    char byte;
    EXPECT_LT(read(port.tty_fd, &byte, 1), 1) << "pending input was not discarded";

    EXPECT_EQ(port.baud, 9600);
    EXPECT_EQ(port.data_size, 8);
    EXPECT_EQ(port.parity, 1);
    EXPECT_EQ(port.stop_size, 1);
    EXPECT_EQ(port.position, 0);
    EXPECT_EQ(port.client_sd, 42);
    EXPECT_EQ(log.text(), "");
}

TEST_F(SerialLine, SetupFailuresLeaveTheRecordAndAreLogged) {
    const SerialPosition untouched = port;
    const auto expect_record_untouched = [&](const SerialPosition& p) {
        EXPECT_EQ(p.baud, untouched.baud);
        EXPECT_EQ(p.data_size, untouched.data_size);
        EXPECT_EQ(p.parity, untouched.parity);
        EXPECT_EQ(p.stop_size, untouched.stop_size);
    };

    // A closed record never reaches descriptor 0, standard input.
    SerialPosition closed = port;
    closed.tty_fd = 0;
    EXPECT_EQ(serial_setup(closed), -1);
    EXPECT_EQ(tcsetattr_calls, 0);
    EXPECT_TRUE(log.has_line("serial_setup(): cannot GET settings for fd 0, error: " + error_text(EBADF)))
        << log.text();
    expect_record_untouched(closed);

    tcsetattr_error = EIO;
    EXPECT_EQ(serial_setup(port), -1);
    EXPECT_TRUE(log.has_line("serial_setup(): cannot SET settings for fd " + std::to_string(port.tty_fd) +
                             ", error: " + error_text(EIO)))
        << log.text();
    expect_record_untouched(port);
    tcsetattr_error = 0;

    // The pty's own descriptor is no port of the box: its modem-line request
    // reaches the kernel, which has no modem lines on a pty.
    SerialPosition bare = port;
    bare.tty_fd = pty.slave;
    EXPECT_EQ(serial_setup(bare), -1);
    EXPECT_TRUE(log.has_line("serial_setup(): ioctl failed: " + error_text(ENOTTY))) << log.text();
    expect_record_untouched(bare);
}

// --- serial_get_modem_state --------------------------------------------------------

TEST_F(SerialLine, ModemStateReportsCtsAndDsrOnlyAndNothingOnFailure) {
    EXPECT_EQ(serial_get_modem_state(port), 0x00);
    modem("cts=1 dsr=1");
    EXPECT_EQ(serial_get_modem_state(port), 0x30);
    modem("cts=0");
    EXPECT_EQ(serial_get_modem_state(port), 0x20);
    modem("dsr=0 dcd=1 ri=1");
    EXPECT_EQ(serial_get_modem_state(port), 0x00);
    modem("cts=1");
    EXPECT_EQ(serial_get_modem_state(port), 0x10);
    EXPECT_EQ(log.text(), "");

    // Lines that can't be read are reported down.
    modem("dsr=1");
    SerialPosition bare = port;
    bare.tty_fd = pty.slave;
    EXPECT_EQ(serial_get_modem_state(bare), 0);
    EXPECT_TRUE(log.has_line("serial_get_modem_state(): ioctl(TIOCMGET) failed: " + error_text(ENOTTY)))
        << log.text();

    SerialPosition closed = port;
    closed.tty_fd = 0;
    EXPECT_EQ(serial_get_modem_state(closed), 0);
    EXPECT_TRUE(log.has_line("serial_get_modem_state(): ioctl(TIOCMGET) failed: " + error_text(EBADF)))
        << log.text();
}

}  // namespace
