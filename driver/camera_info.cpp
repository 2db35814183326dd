#include "driver/camera_info.h"

#include <cstring>

#include "driver/bytes.h"
#include "driver/camera_abi.h"
#include "driver/camera_models.h"

namespace {

// Filter count of a short-layout camera, from its 16-bit flag word.
uint8_t short_layout_filters(int camera_type, uint16_t flag_word) {
    const bool bit0 = flag_word & 0x1, bit1 = flag_word & 0x2, bit2 = flag_word & 0x4;
    if (camera_type == 3)
        return bit1 ? 0 : bit2 ? 6 : 5;
    if (bit0 && bit1)
        return (flag_word >> 8) & 0x0F;
    return bit0 ? 5 : bit1 ? 6 : 0;
}

void parse_short(const uint8_t* answer, int camera_type, CameraInfo& info) {
    info.id = load_le32(answer + 1);
    const uint16_t flag_word = load_le16(answer + 5);
    info.flags = flag_word & 0xFF;
    info.aux = flag_word >> 12;
    info.filters = short_layout_filters(camera_type, flag_word);
    info.width = load_le16(answer + 7);
    info.height = load_le16(answer + 9);
    info.pixel_w = load_le16(answer + 11);
    info.pixel_h = load_le16(answer + 13);
    // The three texts follow as they are: answer bytes 15..59.
    auto* record = reinterpret_cast<uint8_t*>(&info);
    memcpy(record + offsetof(CameraInfo, desc), answer + 15, SHORT_INFO_ANSWER - 15);
}

void parse_long(const uint8_t* answer, CameraInfo& info) {
    info.id = load_le32(answer + 1);
    info.flags = answer[5];
    info.filters = answer[6];
    // From offset 7 on the answer has the record's own layout, which is
    // little-endian like the answer.
    auto* record = reinterpret_cast<uint8_t*>(&info);
    memcpy(record + 7, answer + 7, LONG_INFO_ANSWER - 7);
}

}  // namespace

int parse_camera_info(std::span<const uint8_t> answer, uint16_t product_id, CameraInfo& info) {
    info = CameraInfo{};
    info.vid = CAMERA_VENDOR_ID;
    info.pid = product_id;

    const InfoLayout layout = info_layout(product_id);
    if (answer.size() < info_answer_length(layout))
        return -1;

    if (layout == InfoLayout::short_layout) {
        const CameraModel* model = find_camera_model(product_id);
        parse_short(answer.data(), model ? model->camera_type : 0, info);
    } else {
        parse_long(answer.data(), info);
    }
    terminate_and_trim(info.desc, sizeof info.desc);
    terminate_and_trim(info.ser, sizeof info.ser);
    terminate_and_trim(info.chip, sizeof info.chip);
    return 0;
}
