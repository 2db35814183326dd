#include "serial/com_port.h"

#include <sys/ioctl.h>
#include <termios.h>

#include <cstdio>
#include <cstdlib>

#include "common/log.h"
#include "platform/platform.h"

void TtyLine::set(const char* text) { set_tty(fd_, text); }

int TtyLine::get(const char* text, std::vector<uint32_t>& values) { return get_tty(fd_, text, values); }

int TtyLine::modem(unsigned long request, int& lines) {
    return platform::current().serial_ioctl(fd_, request, &lines);
}

void TtyLine::set_break(bool on) { platform::current().serial_ioctl(fd_, on ? TIOCSBRK : TIOCCBRK, nullptr); }

void TtyLine::purge(int queue) { tcflush(fd_, queue); }

namespace {

// Reads one value per token of `text`; false when the line can't be read or
// a token yielded nothing.
bool query(SerialLine& line, const char* text, std::vector<uint32_t>& values, size_t count) {
    return line.get(text, values) == 0 && values.size() >= count;
}

// Records a setting the client asked for; true when it differs from the last.
bool remember(int32_t& setting, uint32_t value) {
    if (setting == static_cast<int32_t>(value))
        return false;
    setting = static_cast<int32_t>(value);
    return true;
}

int answer(uint8_t* reply, uint8_t code, uint32_t value) {
    return static_cast<int>(com_port_message(reply, code, value));
}

int set_baudrate(SerialPosition& port, SerialLine& line, uint32_t value, uint8_t* reply, uint8_t& changed) {
    if (value == 0) {
        std::vector<uint32_t> values;
        if (!query(line, "0", values, 1))
            return 0;
        const TtySetting* row = find_tty_speed(values[0]);
        if (row == nullptr)
            return 0;
        const int baud = atoi(row->name);
        log_trace("baud rate: %d", baud);
        return answer(reply, SET_BAUDRATE, static_cast<uint32_t>(baud));
    }
    if (remember(port.baud, value))
        changed = 1;
    char text[16];
    snprintf(text, sizeof text, "%u", value);
    line.set(text);
    return answer(reply, SET_BAUDRATE, value);
}

int set_datasize(SerialPosition& port, SerialLine& line, uint8_t value, uint8_t* reply, uint8_t& changed) {
    if (value == 0) {
        std::vector<uint32_t> values;
        if (!query(line, "cs5", values, 1))
            return 0;
        const int size = 5 + static_cast<int>((values[0] & CSIZE) / CS6);
        log_trace("data size: %d", size);
        return answer(reply, SET_DATASIZE, static_cast<uint32_t>(size));
    }
    if (remember(port.data_size, value))
        changed = 1;
    char text[8];
    snprintf(text, sizeof text, "cs%hhu", value);
    line.set(text);
    return answer(reply, SET_DATASIZE, value);
}

int set_parity(SerialPosition& port, SerialLine& line, uint8_t value, uint8_t* reply, uint8_t& changed) {
    if (value == 0) {
        std::vector<uint32_t> values;
        if (!query(line, "parenb parodd cmspar", values, 3))
            return 0;
        const bool enabled = values[0] != 0, odd = values[1] != 0, stick = values[2] != 0;
        int parity = 3;
        if (!enabled)
            parity = 1;
        else if (odd && !stick)
            parity = 2;
        else if (odd && stick)
            parity = 4;
        else if (stick)
            parity = 5;
        log_trace("parity: %d", parity);
        return answer(reply, SET_PARITY, static_cast<uint32_t>(parity));
    }
    if (remember(port.parity, value))
        changed = 1;
    static const char* const texts[] = {
        nullptr,
        "-parenb -parodd -cmspar",
        "parenb parodd -cmspar",
        "parenb -parodd -cmspar",
        "parenb parodd cmspar",
        "parenb -parodd cmspar",
    };
    if (value <= 5)
        line.set(texts[value]);
    return answer(reply, SET_PARITY, value);
}

int set_stopsize(SerialPosition& port, SerialLine& line, uint8_t value, uint8_t* reply, uint8_t& changed) {
    if (value == 0) {
        std::vector<uint32_t> values;
        if (!query(line, "cstopb", values, 1))
            return 0;
        return answer(reply, SET_STOPSIZE, values[0] != 0 ? 2 : 1);
    }
    if (remember(port.stop_size, value))
        changed = 1;
    if (value == 1)
        line.set("-cstopb");
    else if (value == 2)
        line.set("cstopb");
    return answer(reply, SET_STOPSIZE, value);
}

// The SET-CONTROL value the client is answered with; 0 when a query could
// not read the line.
uint8_t set_control(SerialPosition& port, SerialLine& line, uint8_t value) {
    int lines = 0;
    switch (value) {
    case 0: {
        std::vector<uint32_t> values;
        if (!query(line, "crtscts", values, 1))
            return 0;
        return values[0] != 0 ? 3 : 1;
    }
    case 1:
        line.set("-crtscts");
        return 1;
    case 2:
        log_trace("set_com_port_option(): CONTROL_FLOW_XON_XOFF nepodporujeme!\n");
        return 2;
    case 3:
        line.set("crtscts");
        return 3;
    case 4:
        return port.break_on == 1 ? 5 : 6;
    case 5:
    case 6:
        port.break_on = value == 5 ? 1 : 0;
        line.set_break(value == 5);
        return value;
    case 7:
        line.modem(TIOCMGET, lines);
        return lines & TIOCM_DTR ? 8 : 9;
    case 10:
        line.modem(TIOCMGET, lines);
        return lines & TIOCM_RTS ? 11 : 12;
    case 8:
    case 9:
        lines = TIOCM_DTR;
        line.modem(value == 8 ? TIOCMBIS : TIOCMBIC, lines);
        return value;
    case 11:
    case 12:
        lines = TIOCM_RTS;
        line.modem(value == 11 ? TIOCMBIS : TIOCMBIC, lines);
        return value;
    default:
        log_message(3, "set_com_port_option(): SET_CONTROL value %d not implemented\n", value);
        return value;
    }
}

void purge(SerialLine& line, uint8_t value) {
    // RFC 2217: 1 the receive buffer (what the device sent), 2 the transmit
    // buffer (what is still to go to the device), 3 both.
    if (value == 1)
        line.purge(TCIFLUSH);
    else if (value == 2)
        line.purge(TCOFLUSH);
    else if (value == 3)
        line.purge(TCIOFLUSH);
}

}  // namespace

int set_com_port_option(SerialPosition& port, SerialLine& line, const uint8_t* data, size_t length,
                        uint8_t* reply, uint8_t& changed) {
    changed = 0;
    uint8_t payload[8];
    const size_t size = data ? subnegotiation_payload({data, length}, payload, sizeof payload) : 0;
    const int shown = static_cast<int>(length);
    if (size < 1) {
        log_message(3, "set_com_port_option(): buf too short: %d\n", shown);
        return -1;
    }
    const uint8_t code = payload[0];
    const bool needs_value = (code >= SET_BAUDRATE && code <= SET_CONTROL) || code == SET_MODEMSTATE_MASK ||
                             code == PURGE_DATA;
    if (code == SET_BAUDRATE && size < 5) {
        log_message(3, "set_com_port_option(): SET_BAUDRATE too short: %d\n", shown);
        return -1;
    }
    if (needs_value && size < 2) {
        log_message(3, "set_com_port_option(): buf too short: %d\n", shown);
        return -1;
    }
    const uint8_t value = size >= 2 ? payload[1] : 0;
    switch (code) {
    case SET_BAUDRATE: {
        const uint32_t baud = static_cast<uint32_t>(payload[1]) << 24 | static_cast<uint32_t>(payload[2]) << 16 |
                              static_cast<uint32_t>(payload[3]) << 8 | payload[4];
        return set_baudrate(port, line, baud, reply, changed);
    }
    case SET_DATASIZE:
        return set_datasize(port, line, value, reply, changed);
    case SET_PARITY:
        return set_parity(port, line, value, reply, changed);
    case SET_STOPSIZE:
        return set_stopsize(port, line, value, reply, changed);
    case SET_CONTROL: {
        const uint8_t answered = set_control(port, line, value);
        return answered == 0 && value == 0 ? 0 : answer(reply, SET_CONTROL, answered);
    }
    case SET_MODEMSTATE_MASK:
        return answer(reply, SET_MODEMSTATE_MASK, 0);
    case PURGE_DATA:
        purge(line, value);
        return answer(reply, PURGE_DATA, value);
    default:
        log_message(3, "set_com_port_option(): value %d not implemented\n", code);
        return 0;
    }
}
