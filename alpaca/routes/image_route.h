// The camera's "imagearray" member: the last frame as ImageBytes (when the
// request's Accept header names "imagebytes") or as the JSON envelope,
// streamed from the frame.
#pragma once

#include "alpaca/request.h"
#include "alpaca/interfaces/device.h"

struct _u_request;
struct _u_response;

namespace AlpacaServer {

// Whether the request asks for ImageBytes: a header named Accept (in any
// case) whose value contains "imagebytes".
bool wants_imagebytes(const _u_request* request);

// Answers with status 200 in either form; `device` is a Camera.
int answer_imagearray(const _u_request* request, _u_response* response, const ParsedRequest& parsed,
                      Device& device);

}  // namespace AlpacaServer
