// A camera record as open_camera leaves it, without a node behind it.
#pragma once

#include <cstring>
#include <memory>

#include "driver/camera_record.h"

inline std::unique_ptr<CameraRecord> make_camera(uint16_t pid, uint16_t width = 1000) {
    auto camera = std::make_unique<CameraRecord>();
    reset_camera_record(*camera);
    camera->pid = pid;
    camera->camera_type = static_cast<uint32_t>(determine_camera_type(pid));
    camera->camera_class = static_cast<uint32_t>(determine_camera_class(pid));
    camera->info.id = 77;
    camera->info.pid = pid;
    camera->info.width = width;
    camera->info.height = 800;
    camera->info.pixel_w = 3800;
    camera->info.pixel_h = 3900;
    camera->sensor_variant = sensor_variant(camera->camera_type, camera->camera_class, width);
    return camera;
}

inline void set_text(char (&field)[15], const char* text) {
    memset(field, 0, sizeof field);
    strncpy(field, text, sizeof field - 1);
}
