#include "serial/telnet.h"

#include "common/log.h"

namespace {

bool is_verb(uint8_t byte) { return byte >= TELNET_WILL && byte <= TELNET_DONT; }

// The length of the sub-negotiation at the head (IAC SB through its IAC SE),
// or 0 when no IAC SE ends it in these bytes. A doubled IAC inside is a data
// byte 0xFF, so the SE after it does not end anything.
size_t subnegotiation_end(const uint8_t* data, size_t length) {
    for (size_t i = 2; i + 1 < length; ++i) {
        if (data[i] != TELNET_IAC)
            continue;
        if (data[i + 1] == TELNET_SE)
            return i + 2;
        if (data[i + 1] == TELNET_IAC)
            ++i;
    }
    return 0;
}

}  // namespace

int telnet_command_length(const uint8_t* data, size_t length, size_t& consumed) {
    consumed = 0;
    if (length < 3 || data[0] != TELNET_IAC || data[1] == TELNET_IAC)
        return 0;
    const uint8_t second = data[1];
    if (is_verb(second)) {
        consumed = 3;
        return second;
    }
    if (second < TELNET_SB) {
        log_trace("Unknown serial command code: %.2hhx", second);
        return 0;
    }
    const size_t end = subnegotiation_end(data, length);
    if (end <= 5)
        return 0;
    consumed = end;
    return TELNET_SB;
}

size_t data_run_length(const uint8_t* data, size_t length, bool skip_first_iac) {
    if (length == 0)
        return 0;
    if (length >= 2 && data[0] == TELNET_IAC && data[1] == TELNET_IAC)
        return 1;
    bool skipping = skip_first_iac;
    for (size_t i = 0; i < length; ++i) {
        if (data[i] != TELNET_IAC)
            continue;
        if (!skipping)
            return i;
        skipping = false;
    }
    return length;
}

ClientItem next_client_item(std::span<const uint8_t> bytes, bool more_may_follow) {
    using Kind = ClientItem::Kind;
    const uint8_t* data = bytes.data();
    const size_t length = bytes.size();
    if (length == 0)
        return {Kind::data, 0};
    if (data[0] != TELNET_IAC)
        return {Kind::data, data_run_length(data, length, false)};
    if (length >= 2 && data[1] == TELNET_IAC)
        return {Kind::escaped_iac, 2};

    size_t consumed = 0;
    const int command = telnet_command_length(data, length, consumed);
    if (command == TELNET_SB)
        return {Kind::subnegotiation, consumed};
    if (command != 0)
        return {Kind::negotiation, consumed};

    // A read may end inside a command; the rest of it is in the next read.
    if (more_may_follow) {
        if (length == 1 || (length == 2 && (is_verb(data[1]) || data[1] == TELNET_SB)))
            return {Kind::incomplete, length};
        if (data[1] == TELNET_SB && length < SUBNEGOTIATION_HOLD_LIMIT && subnegotiation_end(data, length) == 0)
            return {Kind::incomplete, length};
    }
    log_trace("unescaped IAC!");
    return {Kind::data, data_run_length(data, length, true)};
}

uint8_t negotiation_reply(uint8_t verb, uint8_t option) {
    if (verb == TELNET_WILL || verb == TELNET_WONT)
        return verb == TELNET_WILL && option == COM_PORT_OPTION ? TELNET_DO : TELNET_DONT;
    return TELNET_WONT;
}

size_t escape_iac(const uint8_t* data, size_t length, uint8_t* out) {
    size_t written = 0;
    for (size_t i = 0; i < length; ++i) {
        out[written++] = data[i];
        if (data[i] == TELNET_IAC)
            out[written++] = TELNET_IAC;
    }
    return written;
}

size_t subnegotiation_payload(std::span<const uint8_t> subnegotiation, uint8_t* out, size_t capacity) {
    if (subnegotiation.size() < 5)
        return 0;
    const std::span<const uint8_t> inner = subnegotiation.subspan(3, subnegotiation.size() - 5);
    size_t written = 0;
    for (size_t i = 0; i < inner.size() && written < capacity; ++i) {
        out[written++] = inner[i];
        if (inner[i] == TELNET_IAC && i + 1 < inner.size() && inner[i + 1] == TELNET_IAC)
            ++i;
    }
    return written;
}

size_t com_port_message(uint8_t* buffer, uint8_t code, uint32_t value) {
    if (buffer == nullptr)
        return 0;
    size_t length = 0;
    buffer[length++] = TELNET_IAC;
    buffer[length++] = TELNET_SB;
    buffer[length++] = COM_PORT_OPTION;
    buffer[length++] = static_cast<uint8_t>(code + SERVER_CODE_OFFSET);
    uint8_t value_bytes[4];
    size_t count = 1;
    if (code == SET_BAUDRATE) {
        value_bytes[0] = static_cast<uint8_t>(value >> 24);
        value_bytes[1] = static_cast<uint8_t>(value >> 16);
        value_bytes[2] = static_cast<uint8_t>(value >> 8);
        value_bytes[3] = static_cast<uint8_t>(value);
        count = 4;
    } else {
        value_bytes[0] = static_cast<uint8_t>(value);
    }
    length += escape_iac(value_bytes, count, buffer + length);
    buffer[length++] = TELNET_IAC;
    buffer[length++] = TELNET_SE;
    return length;
}
