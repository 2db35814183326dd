#include "driver/camera_params.h"

#include <algorithm>
#include <cstring>

#include "common/log.h"

namespace {

using Rec = CameraRecord;
using Rule = int32_t (*)(const Rec&);

// A cell's value that fails the query without a message.
constexpr int32_t FAIL = -1;

// One cell of a parameter table: a constant, a rule on the record, or an
// index the column does not have.
struct Cell {
    enum Kind : uint8_t { constant, rule, bad } kind;
    int32_t value;
    Rule fn;
};

constexpr Cell v(int32_t value) { return {Cell::constant, value, nullptr}; }
constexpr Cell r(Rule fn) { return {Cell::rule, 0, fn}; }
constexpr Cell BAD = {Cell::bad, 0, nullptr};

// Columns of both tables, in the order the rows list them.
enum Column { CMOS, CLASS2, CLASS3, CLASS45, CLASS6, CLASS7, COLUMNS };

struct Row {
    int index;
    Cell cells[COLUMNS];
};

int column_of(const Rec& c) {
    if (is_cmos_type(c.camera_type))
        return CMOS;
    switch (c.camera_class) {
    case 2: return CLASS2;
    case 3: return CLASS3;
    case 4: case 5: return CLASS45;
    case 6: return CLASS6;
    case 7: return CLASS7;
    default: return -1;
    }
}

// --- rules shared by several cells ---------------------------------------

template <int BIT>
int32_t flag(const Rec& c) { return (c.info.flags >> BIT) & 1; }

int32_t connected(const Rec& c) { return is_held(c) ? 1 : 0; }
int32_t has_filters(const Rec& c) { return c.info.filters != 0; }
int32_t gps(const Rec& c) { return (c.info.flags & 0x0C) != 0; }
int32_t modes_selectable(const Rec& c) { return !c.fixed_read_mode; }
int32_t filters(const Rec& c) { return c.info.filters; }

bool class_is(const Rec& c, std::initializer_list<uint32_t> classes) {
    return std::find(classes.begin(), classes.end(), c.camera_class) != classes.end();
}

bool type_is(const Rec& c, std::initializer_list<uint32_t> types) {
    return std::find(types.begin(), types.end(), c.camera_type) != types.end();
}

// The last character of a text field; 0 for an empty text.
char last_letter(const char (&text)[15]) {
    const size_t length = strnlen(text, sizeof text);
    return length ? text[length - 1] : '\0';
}

// --- gbp ------------------------------------------------------------------

constexpr Row BOOL_TABLE[] = {
    //     CMOS types / class 2 / class 3 / classes 4, 5 / class 6 / class 7
    {0, {r(connected), r(connected), r(connected), r(connected), r(connected), r(connected)}},
    {1, {r([](const Rec& c) -> int32_t { return c.camera_class == 10 ? !c.bothgains : 1; }),
         r([](const Rec& c) -> int32_t { return c.extended_fw; }), v(1), v(1), v(1), v(1)}},
    {2, {r([](const Rec& c) -> int32_t { return c.camera_class == 10 && !c.bothgains; }),
         v(1), v(1), r(modes_selectable), r(modes_selectable), r(modes_selectable)}},
    {3, {r([](const Rec& c) -> int32_t { return !class_is(c, {6, 8, 12}); }),
         v(0), v(1), v(0), v(0), v(1)}},
    {4, {v(1), v(0), v(1), v(0), v(1), v(1)}},
    {5, {r([](const Rec& c) -> int32_t { return c.camera_class == 6; }),
         v(1), v(0), r([](const Rec& c) -> int32_t { return c.camera_class == 5; }), v(1), v(0)}},
    {6, {r(has_filters), v(0), r(has_filters), v(0), v(1), r(has_filters)}},
    {7, {r([](const Rec& c) -> int32_t { return c.camera_class == 6; }), v(1), v(0), v(1), v(1), v(0)}},
    {8, {r([](const Rec& c) -> int32_t { return !class_is(c, {6, 8}); }),
         v(0), r([](const Rec& c) -> int32_t { return c.camera_type != 3; }), v(0), v(0), v(1)}},
    {9, {r([](const Rec& c) -> int32_t { return c.camera_class == 10; }), v(0),
         r([](const Rec& c) -> int32_t {
             if (type_is(c, {4, 5}))
                 return flag<5>(c);
             return c.camera_type == 3 ? 0 : flag<1>(c);
         }),
         v(0), v(0), v(0)}},
    {10, {r([](const Rec& c) -> int32_t { return !hw_binning_capable(c); }), v(0), v(1), v(1), v(1), v(1)}},
    {11, {BAD, v(0), BAD, v(0), v(0), BAD}},
    {12, {v(1), v(0), v(1), v(0), v(1), v(1)}},
    {13, {v(1), v(0), v(1), v(1), v(1), v(1)}},
    {14, {v(1), v(1), r([](const Rec& c) -> int32_t { return type_is(c, {5, 7}); }), v(1), v(1), v(1)}},
    {15, {r(gps), v(0), v(0), v(0), v(0), r(gps)}},
    {16, {r([](const Rec& c) -> int32_t {
              switch (c.camera_type) {
              case 22: return c.ver131 > 5;
              case 23: return 1;
              default: return c.ver131 > 11;
              }
          }),
          v(0), v(0), v(0), v(0), v(0)}},
    {17, {r(flag<4>), v(0), v(0), v(0), v(0), v(0)}},
    {127, {v(FAIL), v(FAIL), v(FAIL), v(FAIL), v(FAIL), v(FAIL)}},
    {128, {r(flag<0>),
           r([](const Rec& c) -> int32_t { return last_letter(c.info.chip) == (c.camera_type == 18 ? 'K' : 'Q'); }),
           r([](const Rec& c) -> int32_t { return last_letter(c.info.desc) == 'C'; }),
           r(flag<0>), r(flag<0>), r(flag<0>)}},
    {129, {v(0), v(0), v(0), v(0), v(0), v(0)}},
    {130, {v(0), v(0), v(0), v(0), v(0), v(0)}},
    {131, {r([](const Rec& c) -> int32_t { return type_is(c, {22, 23}); }),
           r([](const Rec& c) -> int32_t { return c.camera_type != 19; }), v(FAIL), v(0), v(0), v(1)}},
    {132, {r([](const Rec& c) -> int32_t { return type_is(c, {22, 23}); }),
           r([](const Rec& c) -> int32_t { return !type_is(c, {17, 19}); }), v(FAIL), v(1), v(1), v(1)}},
    {256, {v(0), v(0), v(0), v(0), v(0), v(0)}},
    {1024, {v(1), v(0), v(0), v(1), v(1), v(1)}},
};

// --- gip ------------------------------------------------------------------

int32_t bins(const Rec& c) {
    return hw_binning_capable(c) ? c.hw_bin.x * c.hw_bin.y : c.bin_x * c.bin_y;
}

int32_t cmos_width(const Rec& c) {
    int32_t margin = 0;
    if (class_is(c, {8, 9}))
        margin = 24;
    else if (class_is(c, {11, 12}))
        margin = 48;
    else if (c.camera_type == 24 && !c.overscan)
        margin = 64;
    // The width comes from the camera; a margin wider than it must not turn
    // into a negative image size.
    return std::max<int32_t>(c.info.width - margin, 0);
}

int32_t cmos_shortest_exposure(const Rec& c) {
    switch (c.sensor_variant) {
    case 1: return 49;
    case 2: return 139;
    case 3: return 156;
    case 4: return 164;
    case 5: return 183;
    case 7: return 45;
    default: return c.camera_type == 24 ? 21 : FAIL;
    }
}

int32_t class3_shortest_exposure(const Rec& c) {
    if (type_is(c, {4, 5})) {
        if (!flag<2>(c))
            return 100000;
        return flag<6>(c) ? 200000 : 250000;
    }
    if (c.camera_type == 3)
        return 250000;
    return flag<0>(c) ? 200000 : 100000;
}

int32_t cmos_max_adu(const Rec& c) {
    if (c.camera_type == 24)
        return c.bothgains || c.read_mode == 1 || c.read_mode == 2 ? c.bin_x * c.bin_y * 4095 : 65535;
    if (!class_is(c, {6, 7}))
        return 65535;
    const int32_t full = c.sensor_variant == 7 ? 4095 : 16383;
    return c.bin_sum ? std::min(bins(c) * full, 65535) : full;
}

int32_t class45_modes(const Rec& c) {
    if (c.fixed_read_mode)
        return 0;
    return c.ver128_lo < 2 || c.ver131 < 2 ? 2 : 4;
}

int32_t class6_max_adu(const Rec& c) {
    return c.bin_x * c.bin_y * (c.read_mode == 0 ? 254 : 4094);
}

int32_t id(const Rec& c) { return static_cast<int32_t>(c.info.id); }
int32_t width(const Rec& c) { return c.info.width; }
int32_t height(const Rec& c) { return c.info.height; }
int32_t pixel_w(const Rec& c) { return c.info.pixel_w; }
int32_t pixel_h(const Rec& c) { return c.info.pixel_h; }
int32_t ver128_hi(const Rec& c) { return c.ver128_hi; }
int32_t ver128_lo(const Rec& c) { return c.ver128_lo; }
int32_t ver129_hi(const Rec& c) { return c.ver129_hi; }
int32_t ver130(const Rec& c) { return c.ver130; }
int32_t ver131(const Rec& c) { return c.ver131; }
int32_t ver_reserved(const Rec& c) { return c.ver_reserved; }

constexpr Row INT_TABLE[] = {
    //     CMOS types / class 2 / class 3 / classes 4, 5 / class 6 / class 7
    {0, {r(id), r(id), r(id), r(id), r(id), r(id)}},
    {1, {r(cmos_width), r(width), r(width), r(width), r(width), r(width)}},
    {2, {r([](const Rec& c) -> int32_t {
             return c.camera_type == 24 && c.bothgains ? 2 * c.info.height : c.info.height;
         }),
         r(height), r(height), r(height), r(height), r(height)}},
    {3, {r(pixel_w), r(pixel_w), r(pixel_w), r(pixel_w), r(pixel_w), r(pixel_w)}},
    {4, {r(pixel_h), r(pixel_h), r(pixel_h), r(pixel_h), r(pixel_h), r(pixel_h)}},
    {5, {r([](const Rec& c) -> int32_t { return hw_binning_capable(c) ? 2 : 4; }), v(1), v(4), v(4), v(4), v(4)}},
    {6, {r([](const Rec& c) -> int32_t { return hw_binning_capable(c) ? 2 : 4; }), v(1), v(4), v(4), v(4), v(4)}},
    {7, {r([](const Rec& c) -> int32_t {
             if (c.camera_type == 24)
                 return c.bothgains ? 1 : 4;
             return 0;
         }),
         v(2), r([](const Rec& c) -> int32_t { return c.camera_type == 8 ? 3 : 2; }), r(class45_modes),
         r([](const Rec& c) -> int32_t { return c.fixed_read_mode ? 0 : 4; }), r(class45_modes)}},
    {8, {r(filters), v(0), r(filters), v(0), r(filters), r(filters)}},
    {9, {r(cmos_shortest_exposure), v(125), r(class3_shortest_exposure), v(125), v(125), v(125)}},
    {10, {r([](const Rec& c) -> int32_t { return c.camera_type == 24 ? 88648124 : 429496729; }),
          v(FAIL), v(FAIL), v(FAIL), v(FAIL), v(FAIL)}},
    {11, {v(FAIL), v(32767), v(FAIL), v(32767), v(32767), v(32767)}},
    {12, {v(0), v(1), v(0), v(0), v(0), v(0)}},
    {13, {r([](const Rec& c) -> int32_t { return c.camera_type == 24 && c.bothgains; }),
          v(0), r([](const Rec& c) -> int32_t { return c.camera_type == 8 ? 2 : 1; }), v(0), v(0), v(0)}},
    {14, {r([](const Rec& c) -> int32_t { return class_is(c, {6, 8}) ? FAIL : 100; }),
          v(FAIL), r([](const Rec& c) -> int32_t { return type_is(c, {6, 7, 8}) && flag<3>(c) ? 2 : 1; }),
          v(FAIL), v(FAIL), v(100)}},
    {15, {v(FAIL), v(1), v(FAIL), r([](const Rec& c) -> int32_t { return c.camera_class == 5 ? 1 : FAIL; }),
          v(1), v(FAIL)}},
    {16, {r([](const Rec& c) -> int32_t {
              switch (c.camera_type) {
              case 22: return 4030;
              case 23: return 1957;
              default: return FAIL;
              }
          }),
          v(FAIL), v(FAIL), v(240), v(240), v(240)}},
    {17, {r(cmos_max_adu), v(65535), v(65535),
          r([](const Rec& c) -> int32_t {
              const bool eight_bit = !c.fixed_read_mode && (c.read_mode == 0 || c.read_mode == 2);
              return c.bin_x * c.bin_y * (eight_bit ? 254 : 4094);
          }),
          r(class6_max_adu), r(class6_max_adu)}},
    {128, {r(ver128_hi), r(ver128_hi), r(ver128_hi), r(ver128_hi), r(ver128_hi), r(ver128_hi)}},
    {129, {r(ver128_lo), r(ver128_lo), r(ver128_lo), r(ver128_lo), r(ver128_lo), r(ver128_lo)}},
    {130, {r(ver129_hi), r(ver129_hi), r(ver129_hi), r(ver129_hi), r(ver129_hi), r(ver129_hi)}},
    {134, {r(ver130), v(FAIL), r(ver130), r(ver130), r(ver130), r(ver130)}},
    {135, {r(ver131), v(FAIL), r(ver131), r(ver131), r(ver131), r(ver131)}},
    {136, {r(ver_reserved), v(FAIL), r(ver_reserved), r(ver_reserved), r(ver_reserved), r(ver_reserved)}},
};

enum class Lookup { found, failed, bad_class, bad_index };

// The value of `index` for the camera from `table`.
template <size_t N>
Lookup look_up(const Row (&table)[N], const Rec& c, int index, int32_t& value) {
    const int column = column_of(c);
    if (column < 0)
        return Lookup::bad_class;
    const Row* row = std::find_if(table, table + N, [index](const Row& candidate) { return candidate.index == index; });
    if (row == table + N || row->cells[column].kind == Cell::bad)
        return Lookup::bad_index;
    const Cell& cell = row->cells[column];
    value = cell.kind == Cell::constant ? cell.value : cell.fn(c);
    return value == FAIL ? Lookup::failed : Lookup::found;
}

}  // namespace

int gbp(const CameraRecord* camera, int index, uint8_t* value) {
    if (!camera || !value)
        return -1;
    *value = 0;
    int32_t found = 0;
    switch (look_up(BOOL_TABLE, *camera, index, found)) {
    case Lookup::found:
        *value = static_cast<uint8_t>(found);
        return 0;
    case Lookup::bad_class:
        log_trace("gbp(): bad class %d", static_cast<int>(camera->camera_class));
        return -1;
    case Lookup::bad_index:
        log_trace("gbp(): bad index");
        return -1;
    case Lookup::failed:
        break;
    }
    return -1;
}

int gip(const CameraRecord* camera, int index, int32_t* value) {
    if (!camera || !value)
        return -1;
    *value = -1;
    int32_t found = 0;
    switch (look_up(INT_TABLE, *camera, index, found)) {
    case Lookup::found:
        *value = found;
        return 0;
    case Lookup::bad_class:
        log_trace("gip(): bad camera class %d", static_cast<int>(camera->camera_class));
        return -1;
    case Lookup::bad_index:
        log_trace("gip(): bad index");
        return -1;
    case Lookup::failed:
        break;
    }
    return -1;
}
