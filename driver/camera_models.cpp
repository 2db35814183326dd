#include "driver/camera_models.h"

#include "common/log.h"

namespace {

constexpr InfoLayout S = InfoLayout::short_layout;
constexpr InfoLayout L = InfoLayout::long_layout;

// Every camera the drivers know, by product id.
constexpr CameraModel MODELS[] = {
    {1026, 3, 3, S}, {1027, 5, 3, S}, {1028, 4, 3, S},
    {1029, 7, 3, L}, {1030, 6, 3, L},
    {1041, 18, 2, S}, {1042, 17, 2, S}, {1043, 21, 2, S}, {1044, 20, 2, S}, {1045, 19, 2, S},
    {1057, 1, 1, S}, {1058, 1, 1, S}, {1059, 1, 1, S}, {1060, 1, 1, S},
    {1073, 1, 1, S}, {1074, 1, 1, S}, {1075, 1, 1, S}, {1076, 1, 1, S},
    {1201, 8, 3, L},
    {3072, 9, 5, L}, {3091, 9, 5, L}, {3094, 9, 5, L},
    {3075, 9, 4, L},
    {3076, 10, 4, L},
    {3089, 10, 5, L}, {3092, 10, 5, L}, {3095, 10, 5, L},
    {3074, 14, 7, L}, {3107, 14, 7, L}, {3110, 14, 7, L}, {3114, 14, 7, L},
    {3105, 15, 7, L}, {3108, 15, 7, L}, {3111, 15, 7, L}, {3115, 15, 7, L},
    {3106, 16, 7, L}, {3109, 16, 7, L}, {3112, 16, 7, L}, {3116, 16, 7, L},
    {3113, 22, 7, L},
    {3117, 23, 7, L},
    {3120, 22, 9, L}, {3121, 22, 9, L},
    {3136, 24, 10, L}, {3137, 24, 10, L}, {3138, 24, 10, L},
    {3152, 22, 11, L},
    {3153, 22, 12, L},
    {3216, 11, 6, L}, {3219, 11, 6, L}, {3222, 11, 6, L},
    {3217, 12, 6, L}, {3220, 12, 6, L}, {3223, 12, 6, L},
    {3218, 13, 6, L}, {3221, 13, 6, L}, {3224, 13, 6, L},
    {3225, 22, 6, L},
    {3229, 23, 6, L},
    {3232, 22, 8, L}, {3233, 22, 8, L},
    {3280, 2, 1, L}, {3281, 2, 1, L},
};

}  // namespace

const CameraModel* find_camera_model(uint32_t product_id) {
    for (const CameraModel& model : MODELS)
        if (model.product_id == product_id)
            return &model;
    return nullptr;
}

int determine_camera_type(uint32_t product_id) {
    if (const CameraModel* model = find_camera_model(product_id))
        return model->camera_type;
    log_message(3, "determine_camera_type: unknown camera PID: %#x", product_id);
    return 0;
}

int determine_camera_class(uint32_t product_id) {
    if (const CameraModel* model = find_camera_model(product_id))
        return model->camera_class;
    log_message(3, "determine_camera_class: unknown camera PID: %#x", product_id);
    return 0;
}

InfoLayout info_layout(uint32_t product_id) {
    const CameraModel* model = find_camera_model(product_id);
    return model ? model->layout : InfoLayout::long_layout;
}
