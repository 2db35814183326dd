// The connection side of a device session: waiting for requests with a
// 1-second poll, watching the wired link, framing the byte stream, sending
// answers. Shared by the camera and wheel sessions.
#pragma once

#include <net/if.h>

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "thread/protocol.h"

// Asks the network driver for the link state of `interface` through `sd`:
// true up, false down, nullopt (errno set) when the driver can't tell.
using LinkQuery = std::optional<bool> (*)(int sd, const char* interface);

// The query of the wired link (SIOCETHTOOL, ETHTOOL_GLINK). Tests may
// replace it; nullptr puts the real one back. Set before sessions start.
void set_link_query(LinkQuery query);

class SessionConnection {
public:
    // Takes over `sd` (the caller still closes it, through the registry) with
    // the bytes the main loop received after the connect request. Finds the
    // local interface (or takes `interface` when given) and applies the
    // session's keep-alive settings.
    SessionConnection(int sd, std::span<const uint8_t> early_bytes,
                      std::optional<std::string> interface = std::nullopt);

    enum class Event {
        request,  // `request` holds one request, magic not yet checked
        idle,     // a second passed without a request
        closed,   // the session must end (reasons are logged)
    };

    // Waits for the next request. A request whose bytes stop coming for a
    // whole second is delivered cut short (its fields read as missing).
    Event next(std::vector<uint8_t>& request);

    // Sends all of `bytes`; false (logged with `what`) when the peer is gone.
    bool send(std::span<const uint8_t> bytes, const char* what);

    // Watches the peer for up to `timeout_ms` while the session is busy
    // with something else: bytes that arrive are kept for next() (up to a
    // bound; beyond it they wait in the socket). False (logged) when the
    // peer has closed or the connection failed: the session must end.
    bool watch(int timeout_ms);

    // Whether a whole request for `command` waits among the kept bytes.
    bool holds_request(uint32_t command) const;

    int sd() const { return sd_; }
    bool link_check() const { return link_check_; }
    // Whether the wired link under the connection is down (never, off a
    // wired interface, nor when the driver can't tell). Asks the driver.
    bool link_lost() { return link_check_ && link_down(); }

private:
    bool link_down();
    bool take_frame(std::vector<uint8_t>& request, bool flush_partial);

    int sd_;
    char interface_[IF_NAMESIZE] = "";
    bool link_check_ = false;
    bool link_query_failed_ = false;  // a failed query was logged
    std::vector<uint8_t> pending_;
    bool waited_on_partial_ = false;
};

// The request loop of a session: waits for requests (1-second poll, link
// watching, framing), drops those without the request magic, and gives the
// others to `serve`, which answers through `connection` and returns false to
// end the session. Returns when the session is over.
void run_request_loop(SessionConnection& connection, const std::function<bool(const Request&)>& serve);

// The answer of a session to a command it does not serve: logged as
// "Unknown command: %u", the 20-byte header with status -1.
Response unknown_command(uint32_t command);

// Logs "Unknown packet magic: %u." for a request that lacks REQUEST_MAGIC.
// True when the request may be served.
bool check_request_magic(const Request& request);
