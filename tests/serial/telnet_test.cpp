// The Telnet classifier and messages of the serial bridge, on exact bytes.
#include "serial/telnet.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;
using Kind = ClientItem::Kind;

constexpr uint8_t IAC = 0xFF, SB = 0xFA, SE = 0xF0, WILL = 0xFB, WONT = 0xFC, DO = 0xFD, DONT = 0xFE, NOP = 0xF1;

int command(const Bytes& bytes, size_t& consumed) {
    return telnet_command_length(bytes.data(), bytes.size(), consumed);
}

ClientItem item(const Bytes& bytes, bool more = true) { return next_client_item(bytes, more); }

}  // namespace

TEST(TelnetCommand, NegotiationsAndSubnegotiationsAreDelimitedByTheirOwnBytes) {
    size_t consumed = 99;
    EXPECT_EQ(command({IAC, WILL, 44, 'x'}, consumed), WILL);
    EXPECT_EQ(consumed, 3u);
    EXPECT_EQ(command({IAC, DONT, 0}, consumed), DONT);
    EXPECT_EQ(consumed, 3u);

    // Through the first IAC SE; the bytes after it are the next item's.
    EXPECT_EQ(command({IAC, SB, 44, 5, 8, IAC, SE, 'a', IAC, SE}, consumed), SB);
    EXPECT_EQ(consumed, 7u);
    // A doubled IAC inside is a value byte: the SE after it ends nothing.
    EXPECT_EQ(command({IAC, SB, 44, 1, 0, IAC, IAC, SE, 0, IAC, SE}, consumed), SB);
    EXPECT_EQ(consumed, 11u);
}

TEST(TelnetCommand, AnythingElseIsNotACommand) {
    size_t consumed = 99;
    for (const Bytes& bytes : std::vector<Bytes>{
             {},
             {IAC},
             {IAC, WILL},               // the option is missing
             {'a', IAC, WILL, 44},      // the head is data
             {IAC, IAC, WILL},          // an escaped 0xFF
             {IAC, NOP, 'a'},           // commands other than negotiations
             {IAC, SE, 'a'},
             {IAC, SB, 44},             // exactly three bytes
             {IAC, SB, 44, 1, 0, 0},    // no IAC SE
             {IAC, SB, 44, IAC, SE},    // 5 bytes: no code
             {IAC, SB, IAC, SE, 'a'},
             {IAC, SB, 44, 1, IAC},     // IAC SE cut off
         }) {
        EXPECT_EQ(command(bytes, consumed), 0) << testing::PrintToString(bytes);
        EXPECT_EQ(consumed, 0u);
    }
}

TEST(TelnetData, RunsEndAtTheNextIacOrAtTheSecondOneWhenSkipping) {
    auto run = [](const Bytes& bytes, bool skip) { return data_run_length(bytes.data(), bytes.size(), skip); };
    EXPECT_EQ(run({}, false), 0u);
    EXPECT_EQ(run({}, true), 0u);
    EXPECT_EQ(run({'a', 'b', 'c'}, false), 3u);
    EXPECT_EQ(run({'a', 'b', IAC, 'c'}, false), 2u);
    EXPECT_EQ(run({IAC, IAC, 'a'}, false), 1u);
    EXPECT_EQ(run({IAC, IAC, 'a'}, true), 1u);
    EXPECT_EQ(run({IAC, 'a', 'b'}, false), 0u);
    EXPECT_EQ(run({IAC, 'a', 'b'}, true), 3u);
    EXPECT_EQ(run({IAC, NOP, 'b', IAC, 'c'}, true), 3u);
    EXPECT_EQ(run({IAC}, true), 1u);
}

TEST(TelnetClientItems, EachKindWithItsLength) {
    EXPECT_EQ(item({'a', 'b', IAC, IAC}).kind, Kind::data);
    EXPECT_EQ(item({'a', 'b', IAC, IAC}).length, 2u);
    EXPECT_EQ(item({IAC, IAC, 'a'}).kind, Kind::escaped_iac);
    EXPECT_EQ(item({IAC, IAC, 'a'}).length, 2u);
    EXPECT_EQ(item({IAC, DO, 1, 'a'}).kind, Kind::negotiation);
    EXPECT_EQ(item({IAC, DO, 1, 'a'}).length, 3u);
    EXPECT_EQ(item({IAC, SB, 44, 1, 0, 1, 0xC2, 0, IAC, SE}).kind, Kind::subnegotiation);
    EXPECT_EQ(item({IAC, SB, 44, 1, 0, 1, 0xC2, 0, IAC, SE}).length, 10u);
    // IAC NOP and any other command reach the device, up to the next IAC.
    EXPECT_EQ(item({IAC, NOP, 'a', IAC, IAC}).kind, Kind::data);
    EXPECT_EQ(item({IAC, NOP, 'a', IAC, IAC}).length, 3u);
    EXPECT_EQ(item({IAC, SB, IAC, SE, 'x'}).kind, Kind::data);
    EXPECT_EQ(item({IAC, SB, IAC, SE, 'x'}).length, 2u);
}

TEST(TelnetClientItems, AnUnfinishedCommandWaitsForMoreOnlyWhileMoreMayCome) {
    struct Case {
        Bytes tail;
        size_t data_length;  // from the IAC up to the next one
    };
    for (const Case& c : std::vector<Case>{{{IAC}, 1},
                                           {{IAC, WILL}, 2},
                                           {{IAC, SB}, 2},
                                           {{IAC, SB, 44, 1, 0, 1}, 6},
                                           {{IAC, SB, 44, 1, IAC}, 4}}) {
        const ClientItem waiting = item(c.tail, true);
        EXPECT_EQ(waiting.kind, Kind::incomplete) << testing::PrintToString(c.tail);
        EXPECT_EQ(waiting.length, c.tail.size());
        const ClientItem given_up = item(c.tail, false);
        EXPECT_EQ(given_up.kind, Kind::data) << testing::PrintToString(c.tail);
        EXPECT_EQ(given_up.length, c.data_length) << testing::PrintToString(c.tail);
    }
    // An unfinished sub-negotiation as long as the limit is data already.
    Bytes long_one = {IAC, SB, 44, 0};
    long_one.resize(SUBNEGOTIATION_HOLD_LIMIT, 'x');
    EXPECT_EQ(item(long_one).kind, Kind::data);
    long_one.pop_back();
    EXPECT_EQ(item(long_one).kind, Kind::incomplete);
}

TEST(TelnetNegotiation, OnlyAnOfferOfComPortOptionIsAgreedTo) {
    EXPECT_EQ(negotiation_reply(WILL, 44), DO);
    EXPECT_EQ(negotiation_reply(WONT, 44), DONT);
    EXPECT_EQ(negotiation_reply(DO, 44), WONT);
    EXPECT_EQ(negotiation_reply(DONT, 44), WONT);
    EXPECT_EQ(negotiation_reply(WILL, 0), DONT);
    EXPECT_EQ(negotiation_reply(WONT, 3), DONT);
    EXPECT_EQ(negotiation_reply(DO, 1), WONT);
    EXPECT_EQ(negotiation_reply(DONT, 1), WONT);
}

TEST(TelnetMessages, ComPortMessagesAndEscapedBytes) {
    uint8_t buffer[COM_PORT_MESSAGE_MAX];
    auto message = [&](uint8_t code, uint32_t value) {
        return Bytes(buffer, buffer + com_port_message(buffer, code, value));
    };
    EXPECT_EQ(message(SET_BAUDRATE, 115200), (Bytes{IAC, SB, 44, 101, 0x00, 0x01, 0xC2, 0x00, IAC, SE}));
    EXPECT_EQ(message(NOTIFY_MODEMSTATE, 0x22), (Bytes{IAC, SB, 44, 107, 0x22, IAC, SE}));
    EXPECT_EQ(message(SET_CONTROL, 0x1FF), (Bytes{IAC, SB, 44, 105, IAC, IAC, IAC, SE})) << "low byte, doubled";
    EXPECT_EQ(message(SET_BAUDRATE, 0xFFFFFFFF).size(), COM_PORT_MESSAGE_MAX);
    EXPECT_EQ(com_port_message(nullptr, SET_PARITY, 1), 0u);

    const Bytes device = {'a', IAC, IAC, 0, IAC};
    Bytes escaped(2 * device.size());
    escaped.resize(escape_iac(device.data(), device.size(), escaped.data()));
    EXPECT_EQ(escaped, (Bytes{'a', IAC, IAC, IAC, IAC, 0, IAC, IAC}));

    uint8_t payload[8];
    const Bytes subnegotiation = {IAC, SB, 44, 1, 0, 0, IAC, IAC, 0x10, IAC, SE};
    EXPECT_EQ(Bytes(payload, payload + subnegotiation_payload(subnegotiation, payload, sizeof payload)),
              (Bytes{1, 0, 0, IAC, 0x10}));
    EXPECT_EQ(subnegotiation_payload(subnegotiation, payload, 2), 2u);
    EXPECT_EQ(subnegotiation_payload(Bytes{IAC, SB, IAC, SE}, payload, sizeof payload), 0u);
}
