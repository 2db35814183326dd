// COM-PORT-OPTION requests on a modelled line: termios words that the
// setting texts act on (data size and parity included, which a pty drops),
// modem lines, BREAK and the purged queues.
#include "serial/com_port.h"

#include <sys/ioctl.h>
#include <termios.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/unit/support.h"

namespace {

using Bytes = std::vector<uint8_t>;
constexpr uint8_t IAC = 0xFF, SB = 0xFA, SE = 0xF0;

// A line as set_tty and get_tty see it, without a device.
class ModelLine : public SerialLine {
public:
    ModelLine() {
        attributes.c_cflag = CS8 | CREAD | CLOCAL;
        cfsetispeed(&attributes, B9600);
        cfsetospeed(&attributes, B9600);
    }
    void set(const char* text) override {
        texts.emplace_back(text);
        apply_tty_text(attributes, text);
    }
    int get(const char* text, std::vector<uint32_t>& values) override {
        if (unreadable)
            return -1;
        read_tty_text(attributes, text, values);
        return 0;
    }
    int modem(unsigned long request, int& bits) override {
        if (request == TIOCMGET)
            bits = lines;
        else if (request == TIOCMBIS)
            lines |= bits;
        else if (request == TIOCMBIC)
            lines &= ~bits;
        return 0;
    }
    void set_break(bool on) override { breaks.push_back(on); }
    void purge(int queue) override { purged.push_back(queue); }

    termios attributes = {};
    int lines = 0;
    bool unreadable = false;
    std::vector<std::string> texts;
    std::vector<bool> breaks;
    std::vector<int> purged;
};

class ComPort : public ::testing::Test {
protected:
    void SetUp() override {
        port.baud = 9600;
        port.data_size = 8;
        port.parity = 1;
        port.stop_size = 1;
    }

    // Sends IAC SB 44 code value... IAC SE; the reply, empty for none.
    Bytes ask(uint8_t code, Bytes values) {
        Bytes request = {IAC, SB, 44, code};
        request.insert(request.end(), values.begin(), values.end());
        request.insert(request.end(), {IAC, SE});
        return ask_raw(request);
    }
    Bytes ask_raw(const Bytes& request) {
        uint8_t reply[COM_PORT_MESSAGE_MAX];
        changed = 0xAA;
        result = set_com_port_option(port, line, request.data(), request.size(), reply, changed);
        return result > 0 ? Bytes(reply, reply + result) : Bytes();
    }
    static Bytes answer(uint8_t code, Bytes values) {
        Bytes reply = {IAC, SB, 44, static_cast<uint8_t>(code + 100)};
        reply.insert(reply.end(), values.begin(), values.end());
        reply.insert(reply.end(), {IAC, SE});
        return reply;
    }

    SerialPosition port;
    ModelLine line;
    uint8_t changed = 0;
    int result = 0;
    LogCapture log;
};

}  // namespace

TEST_F(ComPort, BaudRateIsSetQueriedAndRememberedEvenWhereTheLineCannotTakeIt) {
    EXPECT_EQ(ask(1, {0, 0, 0, 0}), answer(1, {0x00, 0x00, 0x25, 0x80})) << "a fresh port runs at 9600";
    EXPECT_EQ(changed, 0);

    EXPECT_EQ(ask(1, {0x00, 0x01, 0xC2, 0x00}), answer(1, {0x00, 0x01, 0xC2, 0x00}));
    EXPECT_EQ(changed, 1);
    EXPECT_EQ(cfgetospeed(&line.attributes), B115200);
    EXPECT_EQ(cfgetispeed(&line.attributes), B115200);
    EXPECT_EQ(port.baud, 115200);
    EXPECT_EQ(ask(1, {0x00, 0x01, 0xC2, 0x00}).size(), 10u);
    EXPECT_EQ(changed, 0) << "the same rate again changes nothing";

    // 14400 has no row: answered as asked, remembered, the line stays.
    EXPECT_EQ(ask(1, {0x00, 0x00, 0x38, 0x40}), answer(1, {0x00, 0x00, 0x38, 0x40}));
    EXPECT_EQ(changed, 1);
    EXPECT_EQ(port.baud, 14400);
    EXPECT_EQ(cfgetospeed(&line.attributes), B115200);
    EXPECT_EQ(ask(1, {0, 0, 0, 0}), answer(1, {0x00, 0x01, 0xC2, 0x00})) << "queries read the line";

    // A rate with a 0xFF byte arrives doubled and is answered doubled.
    EXPECT_EQ(ask(1, {0x00, 0x00, IAC, IAC, 0x00}), answer(1, {0x00, 0x00, IAC, IAC, 0x00}));
    EXPECT_EQ(port.baud, 0xFF00);
}

TEST_F(ComPort, DataSizeParityAndStopSizeOnTheTermiosWords) {
    EXPECT_EQ(ask(2, {0}), answer(2, {8}));
    EXPECT_EQ(ask(2, {7}), answer(2, {7}));
    EXPECT_EQ(line.attributes.c_cflag & CSIZE, static_cast<tcflag_t>(CS7));
    EXPECT_EQ(changed, 1);
    EXPECT_EQ(ask(2, {0}), answer(2, {7}));
    EXPECT_EQ(ask(2, {9}), answer(2, {9})) << "answered as asked";
    EXPECT_EQ(line.attributes.c_cflag & CSIZE, static_cast<tcflag_t>(CS7)) << "only 5 to 8 are applied";
    EXPECT_EQ(port.data_size, 9);

    // Every parity there is, set and read back.
    const tcflag_t bits = PARENB | PARODD | CMSPAR;
    const std::vector<std::pair<uint8_t, tcflag_t>> parities = {
        {2, PARENB | PARODD}, {3, PARENB}, {4, PARENB | PARODD | CMSPAR}, {5, PARENB | CMSPAR}, {1, 0}};
    for (auto [parity, expected] : parities) {
        EXPECT_EQ(ask(3, {parity}), answer(3, {parity}));
        EXPECT_EQ(changed, 1);
        EXPECT_EQ(line.attributes.c_cflag & bits, expected) << int(parity);
        EXPECT_EQ(ask(3, {0}), answer(3, {parity}));
    }
    EXPECT_EQ(ask(3, {4}), answer(3, {4}));
    EXPECT_EQ(ask(3, {0}), answer(3, {4})) << "SET-PARITY 0 after 4";
    EXPECT_EQ(ask(3, {6}), answer(3, {6}));
    EXPECT_EQ(line.attributes.c_cflag & bits, static_cast<tcflag_t>(PARENB | PARODD | CMSPAR)) << "6 applies nothing";

    EXPECT_EQ(ask(4, {0}), answer(4, {1}));
    EXPECT_EQ(ask(4, {2}), answer(4, {2}));
    EXPECT_TRUE(line.attributes.c_cflag & CSTOPB);
    EXPECT_EQ(ask(4, {3}), answer(4, {3})) << "one and a half";
    EXPECT_TRUE(line.attributes.c_cflag & CSTOPB) << "unchanged";
    EXPECT_EQ(port.stop_size, 3);
    EXPECT_EQ(ask(4, {1}), answer(4, {1}));
    EXPECT_FALSE(line.attributes.c_cflag & CSTOPB);
}

TEST_F(ComPort, SetControlFlowBreakDtrAndRts) {
    EXPECT_EQ(ask(5, {0}), answer(5, {1}));
    EXPECT_EQ(ask(5, {3}), answer(5, {3}));
    EXPECT_TRUE(line.attributes.c_cflag & CRTSCTS);
    EXPECT_EQ(ask(5, {0}), answer(5, {3}));
    EXPECT_EQ(ask(5, {2}), answer(5, {2}));
    EXPECT_TRUE(line.attributes.c_cflag & CRTSCTS) << "XON/XOFF leaves flow control as it was";
    EXPECT_EQ(ask(5, {1}), answer(5, {1}));
    EXPECT_FALSE(line.attributes.c_cflag & CRTSCTS);

    EXPECT_EQ(ask(5, {4}), answer(5, {6})) << "a fresh port has no BREAK";
    EXPECT_EQ(ask(5, {5}), answer(5, {5}));
    EXPECT_EQ(port.break_on, 1);
    EXPECT_EQ(ask(5, {4}), answer(5, {5}));
    EXPECT_EQ(ask(5, {6}), answer(5, {6}));
    EXPECT_EQ(port.break_on, 0);
    EXPECT_EQ(line.breaks, (std::vector<bool>{true, false}));

    EXPECT_EQ(ask(5, {7}), answer(5, {9}));
    EXPECT_EQ(ask(5, {8}), answer(5, {8}));
    EXPECT_EQ(line.lines, TIOCM_DTR);
    EXPECT_EQ(ask(5, {7}), answer(5, {8}));
    EXPECT_EQ(ask(5, {10}), answer(5, {12}));
    EXPECT_EQ(ask(5, {11}), answer(5, {11}));
    EXPECT_EQ(line.lines, TIOCM_DTR | TIOCM_RTS);
    EXPECT_EQ(ask(5, {9}), answer(5, {9}));
    EXPECT_EQ(ask(5, {12}), answer(5, {12}));
    EXPECT_EQ(line.lines, 0);
    EXPECT_EQ(ask(5, {10}), answer(5, {12}));

    EXPECT_FALSE(log.has_line("set_com_port_option(): SET_CONTROL value 13 not implemented"));
    EXPECT_EQ(ask(5, {13}), answer(5, {13}));
    EXPECT_TRUE(log.has_line("set_com_port_option(): SET_CONTROL value 13 not implemented"));
    EXPECT_EQ(ask(5, {IAC, IAC}), answer(5, {IAC, IAC}));
    for (const Bytes& reply : {ask(5, {0}), ask(5, {13})})
        EXPECT_EQ(changed, 0) << testing::PrintToString(reply);
}

TEST_F(ComPort, PurgeIsAcknowledgedWithItsValueAndMaskWithZero) {
    EXPECT_EQ(ask(12, {1}), answer(12, {1}));
    EXPECT_EQ(ask(12, {2}), answer(12, {2}));
    EXPECT_EQ(ask(12, {3}), answer(12, {3}));
    EXPECT_EQ(line.purged, (std::vector<int>{TCIFLUSH, TCOFLUSH, TCIOFLUSH}));
    EXPECT_EQ(ask(11, {0xFF, 0xFF}), answer(11, {0}));
    EXPECT_EQ(changed, 0);
}

TEST_F(ComPort, SilentCodesShortRequestsAndUnreadableLines) {
    for (uint8_t code : {0, 6, 7, 8, 9, 10, 13, 200}) {
        EXPECT_TRUE(ask(code, {1}).empty()) << int(code);
        EXPECT_EQ(result, 0);
        EXPECT_TRUE(log.has_line("set_com_port_option(): value " + std::to_string(code) + " not implemented"));
    }
    EXPECT_TRUE(ask(0, {}).empty()) << "SIGNATURE keeps its silence";
    EXPECT_EQ(result, 0);

    EXPECT_TRUE(ask(1, {0, 1, 0xC2}).empty());
    EXPECT_EQ(result, -1);
    EXPECT_TRUE(log.has_line("set_com_port_option(): SET_BAUDRATE too short: 9"));
    EXPECT_EQ(port.baud, 9600);
    EXPECT_TRUE(ask(5, {}).empty());
    EXPECT_EQ(result, -1);
    EXPECT_TRUE(log.has_line("set_com_port_option(): buf too short: 6"));
    EXPECT_TRUE(ask_raw({IAC, SB, 44}).empty());
    EXPECT_EQ(result, -1);
    EXPECT_TRUE(line.texts.empty()) << "nothing reached the line";

    line.unreadable = true;
    for (uint8_t code : {1, 2, 3, 4}) {
        EXPECT_TRUE(ask(code, code == 1 ? Bytes{0, 0, 0, 0} : Bytes{0}).empty()) << int(code);
        EXPECT_EQ(result, 0);
    }
    EXPECT_TRUE(ask(5, {0}).empty());
}
