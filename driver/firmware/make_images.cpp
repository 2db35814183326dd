// make_images: turns the image list (images.txt) into the C++ source of the
// built-in controller images, declared in driver/firmware_images.h.
//
//   make_images IMAGE_LIST OUTPUT_CPP
//
// Exits 0 on success; on any error in the list it names the line, writes
// nothing and exits 1, so that a wrong image never reaches the daemon.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace {

constexpr size_t MAX_RECORD = 1008;   // the kernel driver's limit per record
constexpr size_t MAX_IMAGE = 0x10000; // load addresses are 16 bits
constexpr size_t DESCRIPTOR_ADDRESS = 0x1000;
constexpr uint16_t VENDOR = 0x1347;

struct Family {
    size_t bytes = 0;
    size_t records = 0;
};

struct Image {
    unsigned product_id = 0;
    std::string family;
    size_t bytes = 0;
    size_t records = 0;
    std::string file;
    std::vector<uint8_t> data;
    std::vector<size_t> lengths;  // record lengths, in address order
};

[[noreturn]] void fail(const std::string& where, const std::string& why) {
    fprintf(stderr, "make_images: %s: %s\n", where.c_str(), why.c_str());
    exit(1);
}

// `total` bytes split into `count` lengths differing by at most one.
std::vector<size_t> split_evenly(size_t total, size_t count) {
    std::vector<size_t> lengths;
    for (size_t i = 0; i < count; ++i)
        lengths.push_back(total / count + (i < total % count ? 1 : 0));
    return lengths;
}

// The device descriptor the camera presents once its firmware runs.
std::vector<uint8_t> device_descriptor(unsigned product_id) {
    return {
        18, 1,              // bLength, bDescriptorType DEVICE
        0x00, 0x02,         // bcdUSB 2.00
        0xFF, 0xFF, 0xFF,   // vendor-specific class, subclass, protocol
        64,                 // bMaxPacketSize0
        VENDOR & 0xFF, VENDOR >> 8,
        static_cast<uint8_t>(product_id & 0xFF), static_cast<uint8_t>(product_id >> 8),
        0x00, 0x00,         // bcdDevice 0
        1, 2, 3,            // iManufacturer, iProduct, iSerialNumber
        1,                  // bNumConfigurations
    };
}

std::vector<uint8_t> stand_in(const Image& image, const Family& family) {
    std::vector<uint8_t> data(image.bytes);
    const std::string banner = "telvad stand-in controller image, family " + image.family;
    unsigned family_seed = 0;
    for (char c : image.family)
        family_seed = family_seed * 31 + static_cast<unsigned char>(c);
    for (size_t a = 0; a < data.size(); ++a) {
        const unsigned seed = a < family.bytes ? family_seed : image.product_id;
        data[a] = static_cast<uint8_t>(a * 151 + seed);
    }
    std::copy(banner.begin(), banner.end(), data.begin());
    data[banner.size()] = 0;
    const std::vector<uint8_t> descriptor = device_descriptor(image.product_id);
    std::copy(descriptor.begin(), descriptor.end(), data.begin() + DESCRIPTOR_ADDRESS);
    return data;
}

void read_list(const std::string& path, std::map<std::string, Family>& families, std::vector<Image>& images) {
    std::ifstream list(path);
    if (!list)
        fail(path, "cannot open");
    const std::string directory = path.find('/') == std::string::npos ? "." : path.substr(0, path.rfind('/'));
    std::string line;
    for (int number = 1; std::getline(list, line); ++number) {
        const std::string where = path + ":" + std::to_string(number);
        std::istringstream words(line.substr(0, line.find('#')));
        std::string keyword;
        if (!(words >> keyword))
            continue;
        if (keyword == "family") {
            std::string name;
            Family family;
            if (!(words >> name >> family.bytes >> family.records) || family.records == 0)
                fail(where, "expected: family NAME BYTES RECORDS");
            families[name] = family;
        } else if (keyword == "image") {
            Image image;
            if (!(words >> image.product_id >> image.family >> image.bytes >> image.records))
                fail(where, "expected: image PID FAMILY BYTES RECORDS [FILE]");
            if (words >> image.file)
                image.file = directory + "/" + image.file;
            auto family = families.find(image.family);
            if (family == families.end())
                fail(where, "unknown family " + image.family);
            const Family& shared = family->second;
            if (image.product_id == 0 || image.product_id > 0xFFFF)
                fail(where, "product id out of range");
            if (image.bytes > MAX_IMAGE || image.bytes < DESCRIPTOR_ADDRESS + 18 || image.bytes <= shared.bytes)
                fail(where, "size out of range");
            if (image.records <= shared.records)
                fail(where, "fewer records than the family shares");
            image.lengths = split_evenly(shared.bytes, shared.records);
            for (size_t length : split_evenly(image.bytes - shared.bytes, image.records - shared.records))
                image.lengths.push_back(length);
            for (size_t length : image.lengths)
                if (length == 0 || length > MAX_RECORD)
                    fail(where, "a record would hold " + std::to_string(length) + " bytes");
            if (image.file.empty()) {
                image.data = stand_in(image, shared);
            } else {
                std::ifstream raw(image.file, std::ios::binary);
                if (!raw)
                    fail(where, "cannot open " + image.file);
                image.data.assign(std::istreambuf_iterator<char>(raw), std::istreambuf_iterator<char>());
                if (image.data.size() != image.bytes)
                    fail(where, image.file + " holds " + std::to_string(image.data.size()) + " bytes");
            }
            images.push_back(std::move(image));
        } else {
            fail(where, "unknown keyword " + keyword);
        }
    }
    if (images.empty())
        fail(path, "no images");
}

std::string source(const std::vector<Image>& images) {
    std::ostringstream out;
    out << "// Generated by make_images from images.txt; edit that file instead.\n"
           "#include \"driver/firmware_images.h\"\n\nnamespace {\n";
    char hex[8];
    for (const Image& image : images) {
        out << "\nconst uint8_t image_" << image.product_id << "[" << image.data.size() << "] = {";
        for (size_t i = 0; i < image.data.size(); ++i) {
            snprintf(hex, sizeof hex, "0x%02x,", image.data[i]);
            out << (i % 16 ? " " : "\n    ") << hex;
        }
        out << "\n};\n\nconst FirmwarePiece pieces_" << image.product_id << "[] = {";
        size_t address = 0;
        for (size_t length : image.lengths) {
            snprintf(hex, sizeof hex, "0x%04zx", address);
            out << "\n    {" << hex << ", " << length << "},";
            address += length;
        }
        out << "\n};\n";
    }
    out << "\n}  // namespace\n\nconst FirmwareImage FIRMWARE_IMAGES[] = {\n";
    for (const Image& image : images)
        out << "    {" << image.product_id << ", image_" << image.product_id << ", sizeof image_"
            << image.product_id << ", pieces_" << image.product_id << ", " << image.lengths.size() << "},\n";
    out << "};\n\nconst size_t FIRMWARE_IMAGE_COUNT = " << images.size() << ";\n";
    return out.str();
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        fprintf(stderr, "usage: make_images IMAGE_LIST OUTPUT_CPP\n");
        return 2;
    }
    std::map<std::string, Family> families;
    std::vector<Image> images;
    read_list(argv[1], families, images);
    std::ofstream output(argv[2]);
    output << source(images);
    if (!output.flush())
        fail(argv[2], "cannot write");
    return 0;
}
