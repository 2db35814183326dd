#include "driver/camera_open.h"

#include <syslog.h>
#include <fcntl.h>

#include <algorithm>
#include <cstdio>
#include <array>
#include <cerrno>
#include <cstring>
#include <mutex>

#include "common/log.h"
#include "driver/camera_abi.h"
#include "driver/camera_models.h"
#include "driver/device_node.h"
#include "platform/platform.h"

namespace {

// The identify request: 0 and the record, or 1 (logged).
int identify(int fd, IdentifyRecord& record) {
    record = IdentifyRecord{};
    if (platform::current().node_ioctl(fd, CAMERA_IOCTL_IDENTIFY, &record) < 0) {
        log_ioctl_failure(errno);
        return 1;
    }
    return 0;
}

}  // namespace

int usb_camera_info(int fd, CameraInfo& info) {
    info = CameraInfo{};
    IdentifyRecord identity;
    if (identify(fd, identity) != 0)
        return 1;
    const uint16_t pid = identity.product_id;
    info.vid = CAMERA_VENDOR_ID;
    info.pid = pid;

    if (!find_camera_model(pid)) {
        determine_camera_class(pid);
        determine_camera_type(pid);
    }
    const size_t length = info_answer_length(info_layout(pid));

    uint8_t request = 0x00;
    std::array<uint8_t, LONG_INFO_ANSWER> answer{};
    CommandRecord record{};
    record.request_address = reinterpret_cast<uintptr_t>(&request);
    record.request_length = 1;
    record.response_address = reinterpret_cast<uintptr_t>(answer.data());
    record.response_length = length;
    if (platform::current().node_ioctl(fd, CAMERA_IOCTL_COMMAND, &record) < 0) {
        log_ioctl_failure(errno);
        return 1;
    }
    const size_t received = static_cast<size_t>(std::min<uint64_t>(record.response_length, length));
    // A cut answer would leave the identification half made up of zeros and
    // the camera looking usable.
    if (parse_camera_info(std::span(answer.data(), received), pid, info) != 0) {
        log_message(LOG_ERR, "usb_camera_info: identification of %zu bytes, expected %zu", received, length);
        return 1;
    }
    return 0;
}

int usb_camera_info(CameraRecord& camera, CameraInfo& info) {
    std::lock_guard lock(camera.command_mutex);
    const NodeRef node = camera.node.get();
    if (!node) {
        info = CameraInfo{};
        log_ioctl_failure(EBADF);
        return 1;
    }
    return usb_camera_info(node->fd(), info);
}

int open_camera(const char* path, CameraRecord& camera) {
    NodeRef node = open_node(path, sizeof camera.path);
    if (!node)
        return -errno;
    IdentifyRecord identity;
    if (identify(node->fd(), identity) != 0) {
        // The registry leaves a slot free when its set-up fails; a slot with
        // a path and a node would be neither free nor usable.
        node->close();
        return 1;
    }

    CameraInfo info;
    usb_camera_info(node->fd(), info);
    fill_camera_record(camera, path, std::move(node), info, identity.product_id);
    return 0;
}

void fill_camera_record(CameraRecord& camera, const char* path, NodeRef node, const CameraInfo& info,
                        uint16_t pid) {
    reset_camera_record(camera);
    snprintf(camera.path, sizeof camera.path, "%s", path);
    camera.info = info;
    camera.pid = pid;
    // The unknown product id was logged by the identification already.
    const CameraModel* model = find_camera_model(camera.pid);
    camera.camera_type = model ? model->camera_type : 0;
    camera.camera_class = model ? model->camera_class : 0;
    camera.sensor_variant = sensor_variant(camera.camera_type, camera.camera_class, camera.info.width);
    camera.node.exchange(std::move(node));
}

int close_camera(CameraRecord& camera, bool release) {
    int result = 0;
    if (NodeRef node = camera.node.exchange()) {
        node->mark_gone();
        result = drop_reference(std::move(node));
    }
    if (release) {
        memset(camera.path, 0, sizeof camera.path);
        reset_camera_record(camera);
    }
    return result;
}
