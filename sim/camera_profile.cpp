#include "sim/camera_profile.h"

#include <cstdio>

namespace sim {

namespace {

struct ProductRow {
    uint16_t first, last;
    int type, camera_class;
};

// Product id → type and class, the vendor's numbering.
constexpr ProductRow PRODUCTS[] = {
    {1026, 1026, 3, 3},   {1027, 1027, 5, 3},   {1028, 1028, 4, 3},   {1029, 1029, 7, 3},
    {1030, 1030, 6, 3},   {1041, 1041, 18, 2},  {1042, 1042, 17, 2},  {1043, 1043, 21, 2},
    {1044, 1044, 20, 2},  {1045, 1045, 19, 2},  {1057, 1060, 1, 1},   {1073, 1076, 1, 1},
    {1201, 1201, 8, 3},   {3072, 3072, 9, 5},   {3091, 3091, 9, 5},   {3094, 3094, 9, 5},
    {3075, 3075, 9, 4},   {3076, 3076, 10, 4},  {3089, 3089, 10, 5},  {3092, 3092, 10, 5},
    {3095, 3095, 10, 5},  {3074, 3074, 14, 7},  {3107, 3107, 14, 7},  {3110, 3110, 14, 7},
    {3114, 3114, 14, 7},  {3105, 3105, 15, 7},  {3108, 3108, 15, 7},  {3111, 3111, 15, 7},
    {3115, 3115, 15, 7},  {3106, 3106, 16, 7},  {3109, 3109, 16, 7},  {3112, 3112, 16, 7},
    {3116, 3116, 16, 7},  {3113, 3113, 22, 7},  {3117, 3117, 23, 7},  {3120, 3121, 22, 9},
    {3136, 3138, 24, 10}, {3152, 3152, 22, 11}, {3153, 3153, 22, 12}, {3216, 3216, 11, 6},
    {3219, 3219, 11, 6},  {3222, 3222, 11, 6},  {3217, 3217, 12, 6},  {3220, 3220, 12, 6},
    {3223, 3223, 12, 6},  {3218, 3218, 13, 6},  {3221, 3221, 13, 6},  {3224, 3224, 13, 6},
    {3225, 3225, 22, 6},  {3229, 3229, 23, 6},  {3232, 3233, 22, 8},  {3280, 3281, 2, 1},
};

struct SensorDefaults {
    uint16_t width, height, pixel_nm;
    const char* chip;
};

// Invented but plausible sensors, one per type. The CMOS types depend on
// the class too: their widths choose the driver's timing variant.
SensorDefaults sensor_defaults(const ProductFacts& facts) {
    switch (facts.type) {
    case 1: return {1536, 1024, 9000, "VCCD-15K"};
    case 2: return {3072, 2048, 3760, "VCMOS-6M"};
    case 3: return {1536, 1024, 9000, "VCCD-15D"};
    case 4: return {3072, 2048, 6800, "VCCD-63D"};
    case 5: return {2184, 1472, 6800, "VCCD-32D"};
    case 6: return {4008, 2672, 9000, "VCCD-107"};
    case 7: return {3326, 2504, 5400, "VCCD-83"};
    case 8: return {4096, 4096, 9000, "VCCD-168"};
    case 9: return {1280, 1024, 5200, "VCMOS-13"};
    case 10: return {2048, 1536, 3200, "VCMOS-31"};
    case 11: return {1392, 1040, 6450, "VCCD-14"};
    case 12: return {2750, 2200, 4540, "VCCD-60"};
    case 13: return {3380, 2704, 3690, "VCCD-91"};
    case 14: return {3326, 2504, 5400, "VCCD-83B"};
    case 15: return {4008, 2672, 9000, "VCCD-107B"};
    case 16: return {4872, 3248, 7400, "VCCD-158"};
    case 17: return {752, 582, 8600, "VCCD-4K"};
    case 18: return {752, 582, 8600, "VCCD-4K"};
    case 19: return {1280, 1024, 4650, "VCCD-13"};
    case 20: return {1392, 1040, 6450, "VCCD-14"};
    case 21: return {1600, 1200, 4400, "VCCD-19"};
    case 22:
        switch (facts.camera_class) {
        case 8:
        case 9: return {6276, 4210, 3760, "VCMOS-26"};   // timing variant 2
        case 11: return {11712, 8760, 3760, "VCMOS-102"}; // variant 4
        case 12: return {9576, 6388, 3760, "VCMOS-61"};   // variant 5
        default: return {8336, 5640, 3760, "VCMOS-47"};   // classes 6, 7: variant 7
        }
    case 23: return {4144, 2822, 4630, "VCMOS-12"};  // variant 1
    case 24: return {4160, 4096, 9000, "VCMOS-16"};  // 4096 columns and 64 of overscan
    default: return {1024, 1024, 5000, "VUNKNOWN"};
    }
}

std::array<uint16_t, 4> version_defaults(const ProductFacts& facts) {
    // Recent enough that every feature the driver gates on a version word
    // is present; older firmware is one `ver...=` option away.
    switch (facts.type) {
    case 22: return {0x0108, 0x0100, 0x0001, 0x0007};
    case 23: return {0x0105, 0x0100, 0x0001, 0x0007};
    case 24: return {0x0107, 0x0100, 0x0001, 0x000C};
    default: break;
    }
    switch (facts.camera_class) {
    case 2: return {0x0102, 0x0100, 0, 0};
    case 4:
    case 5:
    case 6:
    case 7: return {0x0107, 0x0100, 0x0001, 0x0002};
    default: return {0x0101, 0x0100, 0x0001, 0x0001};
    }
}

// The short layout's filter count rule, as the driver reads it back: type 3
// knows 0, 5 or 6 positions from bits 1 and 2; the others take bits 8-11
// when bits 0 and 1 are both set, else 5 for bit 0, 6 for bit 1, 0 for
// neither. Bits the caller set are kept wherever the count allows it.
bool encode_short_filters(int type, uint16_t& word, unsigned count, std::string& error) {
    if (type == 3) {
        word &= static_cast<uint16_t>(~0x0006u);
        if (count == 0)
            word |= 0x0002;
        else if (count == 6)
            word |= 0x0004;
        else if (count != 5) {
            error = "a type-3 camera has 0, 5 or 6 filter positions";
            return false;
        }
        return true;
    }
    if (count > 15) {
        error = "a short-layout camera has at most 15 filter positions";
        return false;
    }
    const unsigned low = word & 3u;
    if (low == 3) {
        word = static_cast<uint16_t>((word & ~0x0F00u) | (count << 8));
        return true;
    }
    if ((low == 0 && count == 0) || (low == 1 && count == 5) || (low == 2 && count == 6))
        return true;
    word = static_cast<uint16_t>((word & ~0x0F00u) | 3u | (count << 8));
    return true;
}

}  // namespace

ProductFacts product_facts(uint16_t product_id) {
    for (const ProductRow& row : PRODUCTS) {
        if (product_id >= row.first && product_id <= row.last) {
            ProductFacts facts{row.type, row.camera_class, IdLayout::long_layout};
            if ((product_id >= 1026 && product_id <= 1028) || (product_id >= 1041 && product_id <= 1045) ||
                row.type == 1)
                facts.layout = IdLayout::short_layout;
            return facts;
        }
    }
    return {};
}

CameraProfile default_profile(uint16_t product_id, uint32_t id) {
    const ProductFacts facts = product_facts(product_id);
    const SensorDefaults sensor = sensor_defaults(facts);
    CameraProfile profile;
    profile.product_id = product_id;
    profile.id = id;
    profile.width = sensor.width;
    profile.height = sensor.height;
    profile.pixel_w = profile.pixel_h = sensor.pixel_nm;
    char text[32];
    snprintf(text, sizeof text, "Virtual %u", product_id);
    profile.desc = text;
    snprintf(text, sizeof text, "VB%08u", id % 100000000u);
    profile.ser = text;
    profile.chip = sensor.chip;
    profile.versions = version_defaults(facts);
    if (facts.type == 3)
        profile.flags = 0x0002;  // no wheel: type 3 says so with bit 1
    if (has_mechanical_shutter(facts)) {
        profile.shutter_open_ms = 30;
        profile.shutter_close_ms = 40;
    }
    return profile;
}

bool make_profile(const CameraOptions& options, uint32_t id, CameraProfile& profile, std::string& error) {
    CameraProfile made = default_profile(options.product_id, id);
    made.firmware = !options.no_firmware;
    made.width = options.width.value_or(made.width);
    made.height = options.height.value_or(made.height);
    made.pixel_w = options.pixel_w.value_or(made.pixel_w);
    made.pixel_h = options.pixel_h.value_or(made.pixel_h);
    made.flags = options.flags.value_or(made.flags);
    made.aux = options.aux.value_or(made.aux);
    made.desc = options.desc.value_or(made.desc);
    made.ser = options.ser.value_or(made.ser);
    made.chip = options.chip.value_or(made.chip);
    made.pattern = options.pattern.value_or(made.pattern);
    for (size_t i = 0; i < made.versions.size(); ++i)
        made.versions[i] = options.versions[i].value_or(made.versions[i]);
    made.shutter_open_ms = options.open_ms.value_or(made.shutter_open_ms);
    made.shutter_close_ms = options.close_ms.value_or(made.shutter_close_ms);
    made.cool_rate = options.cool_rate.value_or(made.cool_rate);
    made.gps_epoch = options.gps_epoch ? options.gps_epoch : made.gps_epoch;
    made.gps_fix = options.gps_fix.value_or(made.gps_fix);
    made.cal_offset = options.cal_offset.value_or(made.cal_offset);
    made.cal_gain = options.cal_gain.value_or(made.cal_gain);
    made.subframe = options.subframe.value_or(made.subframe);
    made.read_rate = options.read_rate.value_or(made.read_rate);
    for (const std::string* text : {&made.desc, &made.ser, &made.chip}) {
        if (text->size() > 14) {
            error = "texts hold at most 14 characters: " + *text;
            return false;
        }
    }
    const ProductFacts facts = product_facts(options.product_id);
    if (facts.layout == IdLayout::short_layout) {
        if (options.aux) {
            error = "a short-layout camera reports aux from the top bits of flags";
            return false;
        }
        if (options.filters && !encode_short_filters(facts.type, made.flags, *options.filters, error))
            return false;
        made.filters = options.filters.value_or(0);
    } else {
        if (made.flags > 0xFF) {
            error = "a long-layout camera has an 8-bit flag byte";
            return false;
        }
        made.filters = options.filters.value_or(0);
    }
    profile = made;
    return true;
}

bool has_mechanical_shutter(const ProductFacts& facts) {
    if (facts.type >= 22 && facts.type <= 24)
        return facts.camera_class != 6 && facts.camera_class != 8 && facts.camera_class != 12;
    return facts.camera_class == 1 || facts.camera_class == 3 || facts.camera_class == 7;
}

uint32_t firmware_image_bytes(uint16_t product_id) {
    switch (product_id) {
    case 1041: return 4634;
    case 1042: return 4658;
    case 1043: return 4737;
    case 1044: return 4755;
    case 1045: return 4373;
    case 1026: return 6899;
    case 1027: return 6172;
    case 1028: return 6600;
    case 1029: return 6384;
    case 1030: return 6426;
    case 1201: return 5712;
    default: return 0;
    }
}

}  // namespace sim
