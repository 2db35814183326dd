#include "alpaca/routes/image_route.h"

#include <syslog.h>
#include <ulfius.h>

#include <cstring>
#include <memory>
#include <new>

#include "alpaca/envelope.h"
#include "alpaca/image_encoding.h"
#include "alpaca/interfaces/camera.h"
#include "alpaca/types.h"
#include "common/log.h"

namespace AlpacaServer {

bool wants_imagebytes(const _u_request* request) {
    const char* accept = u_map_get_case(request->map_header, "Accept");
    return accept != nullptr && std::strstr(accept, "imagebytes") != nullptr;
}

int answer_imagearray(const _u_request* request, _u_response* response, const ParsedRequest& parsed,
                      Device& device) {
    FrameView frame;
    int error = static_cast<Camera&>(device).get_imagearray(frame);
    if (error == kOk && !frame.complete()) {
        log_message(LOG_ERR, "imagearray: the camera gave %zu pixels for a %dx%d frame", frame.count, frame.width,
                    frame.height);
        error = kUnspecifiedError;
    }
    if (error != kOk)
        frame = FrameView{};
    const bool binary = wants_imagebytes(request);
    std::unique_ptr<BodyStream> body;
    try {
        if (binary)
            body = std::make_unique<ImageBytesStream>(frame, error, error_message(error),
                                                      parsed.client_transaction_id, parsed.server_transaction_id);
        else
            body = std::make_unique<ImageJsonStream>(frame, error, error_message(error),
                                                     parsed.client_transaction_id, parsed.server_transaction_id);
    } catch (const std::bad_alloc&) {
        log_message(LOG_ERR, "imagearray: no memory for the %s body", binary ? "ImageBytes" : "JSON");
        JsonRef envelope = device_envelope(kUnspecifiedError, JsonRef(), parsed.client_transaction_id,
                                           parsed.server_transaction_id);
        ulfius_add_header_to_response(response, "Access-Control-Allow-Origin", "*");
        ulfius_set_json_body_response(response, 200, envelope.get());
        return U_CALLBACK_COMPLETE;
    }
    const uint64_t length = body->size();
    ulfius_add_header_to_response(response, "Access-Control-Allow-Origin", "*");
    ulfius_add_header_to_response(response, "Content-Type", binary ? "application/imagebytes" : "application/json");
    if (set_stream_body(response, 200, std::move(body)) != U_OK) {
        log_message(LOG_ERR, "imagearray: the framework refused the body");
        return U_CALLBACK_ERROR;
    }
    if (binary)
        log_trace("send_image_response: %d\n", static_cast<int>(length));
    return U_CALLBACK_COMPLETE;
}

}  // namespace AlpacaServer
