// The connection side of a device session: waiting for requests with a
// 1-second poll, watching the wired link, framing the byte stream, sending
// answers. Shared by the camera and wheel sessions.
#pragma once

#include <net/if.h>

#include <cstdint>
#include <functional>
#include <span>
#include <vector>

#include "thread/protocol.h"

class SessionConnection {
public:
    // Takes over `sd` (the caller still closes it, through the registry) with
    // the bytes the main loop received after the connect request. Finds the
    // local interface and applies the session's keep-alive settings.
    SessionConnection(int sd, std::span<const uint8_t> early_bytes);

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

    int sd() const { return sd_; }
    bool link_check() const { return link_check_; }
    // Whether the wired link under the connection is down (never, off a
    // wired interface). Asks the network driver.
    bool link_lost() { return link_check_ && link_down(); }

private:
    bool link_down();
    bool take_frame(std::vector<uint8_t>& request, bool flush_partial);

    int sd_;
    char interface_[IF_NAMESIZE] = "";
    bool link_check_ = false;
    bool link_up_ = false;
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
