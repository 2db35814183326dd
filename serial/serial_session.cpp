#include "serial/serial_session.h"

#include <poll.h>
#include <sys/socket.h>

#include <cerrno>

#include "daemon/registry.h"
#include "thread/session_io.h"

namespace {

// Holds the position until the client goes; bytes in either direction are
// not bridged yet.
void run_session(SerialPosition& port) {
    const int sd = port.client_sd;
    char discard[4096];
    for (;;) {
        pollfd wait = {sd, POLLIN, 0};
        if (poll(&wait, 1, -1) < 0 && errno != EINTR)
            break;
        if (wait.revents & (POLLHUP | POLLERR | POLLNVAL))
            break;
        if ((wait.revents & POLLIN) && recv(sd, discard, sizeof discard, 0) <= 0)
            break;
    }
    release_serial(sd);
    unregister_client(sd);
}

}  // namespace

bool start_serial_session(SerialPosition& port) {
    return start_detached("serial session", [&port] { run_session(port); });
}
