// Fuzzes what a serial client may send: the Telnet classifier over reads of
// any size, with unfinished commands held to the next read, and every
// COM-PORT-OPTION request on a modelled line. Also checks that device bytes,
// once escaped, come back from the classifier unchanged.
#include <sys/ioctl.h>
#include <termios.h>

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "common/log.h"
#include "serial/com_port.h"
#include "serial/telnet.h"

namespace {

class ModelLine : public SerialLine {
public:
    void set(const char* text) override { apply_tty_text(attributes, text); }
    int get(const char* text, std::vector<uint32_t>& values) override {
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
    void set_break(bool) override {}
    void purge(int) override {}

    termios attributes = {};
    int lines = 0;
};

void check(bool condition) {
    if (!condition)
        __builtin_trap();
}

// Serves `bytes` as the session does, held tail first, the last read with
// nothing more to come. Returns the bytes meant for the device.
std::vector<uint8_t> serve(std::span<const uint8_t> bytes, size_t read_size, SerialPosition& port, ModelLine& line) {
    std::vector<uint8_t> device;
    std::vector<uint8_t> held;
    while (!bytes.empty() || !held.empty()) {
        const size_t take = std::min(read_size, bytes.size());
        std::vector<uint8_t> buffer = held;
        buffer.insert(buffer.end(), bytes.begin(), bytes.begin() + static_cast<long>(take));
        bytes = bytes.subspan(take);
        held.clear();
        const bool more = !bytes.empty();
        std::span<const uint8_t> rest(buffer);
        while (!rest.empty()) {
            const ClientItem item = next_client_item(rest, more);
            check(item.length > 0 && item.length <= rest.size());
            switch (item.kind) {
            case ClientItem::Kind::incomplete:
                check(more && item.length == rest.size() && item.length < SUBNEGOTIATION_HOLD_LIMIT);
                held.assign(rest.begin(), rest.end());
                break;
            case ClientItem::Kind::negotiation:
                check(item.length == 3 && rest[0] == TELNET_IAC);
                negotiation_reply(rest[1], rest[2]);
                break;
            case ClientItem::Kind::subnegotiation:
                if (rest[2] == COM_PORT_OPTION) {
                    // An exact-size copy, so any read past its end is seen.
                    std::vector<uint8_t> request(rest.begin(), rest.begin() + static_cast<long>(item.length));
                    uint8_t reply[COM_PORT_MESSAGE_MAX];
                    uint8_t changed = 0;
                    const int length =
                        set_com_port_option(port, line, request.data(), request.size(), reply, changed);
                    check(length >= -1 && length <= static_cast<int>(COM_PORT_MESSAGE_MAX) && changed <= 1);
                }
                break;
            case ClientItem::Kind::escaped_iac:
                check(item.length == 2);
                device.push_back(TELNET_IAC);
                break;
            case ClientItem::Kind::data:
                device.insert(device.end(), rest.begin(), rest.begin() + static_cast<long>(item.length));
                break;
            }
            if (item.kind == ClientItem::Kind::incomplete)
                break;
            rest = rest.subspan(item.length);
        }
        if (bytes.empty() && !held.empty() && !more)
            break;
    }
    return device;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    log_sinks = 0;
    if (size == 0)
        return 0;
    const size_t read_size = 1 + data[0] % 64;
    std::span<const uint8_t> bytes(data + 1, size - 1);

    SerialPosition port;
    ModelLine line;
    serve(bytes, read_size, port, line);

    // Whatever the device sends crosses the socket escaped and is read back
    // whole, however the reads fall.
    std::vector<uint8_t> escaped(2 * bytes.size());
    escaped.resize(escape_iac(bytes.data(), bytes.size(), escaped.data()));
    const std::vector<uint8_t> back = serve(escaped, read_size, port, line);
    check(back.size() == bytes.size() && std::equal(back.begin(), back.end(), bytes.begin()));
    return 0;
}
