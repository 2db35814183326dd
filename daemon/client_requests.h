// The requests of a connection that has not connected to a device yet:
// enumeration, connect and version. Served on the main thread, which only
// claims the device of a connect: the session it starts identifies the
// device and answers.
#pragma once

#include <vector>

#include "driver/camera_record.h"
#include "driver/wheel.h"
#include "thread/protocol.h"

struct MainPhaseAnswer {
    std::vector<uint8_t> response;  // empty when a session answers
    enum class Then {
        stay,          // the connection stays with the main loop
        disconnect,    // end the connection after the answer
        camera_session,// hand the connection to a session for `camera`
        wheel_session, // hand the connection to a session for `wheel`
    } then = Then::stay;
    CameraRecord* camera = nullptr;
    WheelRecord* wheel = nullptr;
};

// Serves one request of connection `sd` (registry operations included; the
// claim of a connect is made here). The caller sends the answer and follows
// `then`; a connect that claimed its device is answered by the session.
MainPhaseAnswer answer_main_request(int sd, const Request& request);
