// The Alpaca camera and camera-wheel devices of a running daemon over real
// HTTP: every camera class exposed and downloaded pixel-exact, the members'
// edge cases, sharing with the binary protocol, unplugging, and frames
// that stay what they were read as.
#include <poll.h>

#include <atomic>
#include <thread>

#include "tests/e2e/alpaca_camera_support.h"
#include "tests/e2e/camera_session_support.h"

using namespace alpaca_e2e;

namespace {

bool image_ready(const Device& camera) { return camera.get("imageready").value == "true"; }

// Exposes and waits for the image: the reply of startexposure.
int expose(const Device& camera, double seconds, bool light) {
    const Reply started = camera.put("startexposure", "Duration=" + std::to_string(seconds) +
                                                          "&Light=" + (light ? "true" : "false"));
    if (started.error == 0 && !eventually([&] { return image_ready(camera); }, 20s))
        return -1;
    return started.error;
}

void set_window(const Device& camera, int bin, int x, int y, int w, int h) {
    ASSERT_EQ(0, camera.put("binx", "BinX=" + std::to_string(bin)).error);
    ASSERT_EQ(0, camera.put("biny", "BinY=" + std::to_string(bin)).error);
    ASSERT_EQ(0, camera.put("startx", "StartX=" + std::to_string(x)).error);
    ASSERT_EQ(0, camera.put("starty", "StartY=" + std::to_string(y)).error);
    ASSERT_EQ(0, camera.put("numx", "NumX=" + std::to_string(w)).error);
    ASSERT_EQ(0, camera.put("numy", "NumY=" + std::to_string(h)).error);
}

// Both forms of the image: the window's pixels, the same in each.
void expect_image(const Device& camera, Binned how, int bin, int x, int y, int w, int h) {
    const Image bytes = from_imagebytes(camera.image(true).body);
    const Image json = from_json(camera.image(false).body);
    ASSERT_EQ(0, bytes.error);
    ASSERT_EQ(w, bytes.width);
    ASSERT_EQ(h, bytes.height);
    EXPECT_EQ(0u, mismatches(bytes, how, bin, x, y));
    EXPECT_TRUE(json.error == 0 && json.rows == bytes.rows) << "the JSON form carries other pixels";
}

}  // namespace

TEST(AlpacaCamera, EveryClassExposesAndDownloadsThePatternWindow) {
    struct Camera {
        const char* plug;
        Binned how;    // binned by the camera, or summed or averaged here
        int mode;      // readout mode with 16-bit pixels
    };
    const Camera cameras[] = {
        {"1042 desc=class2", Binned::camera, 0},
        {"1201 desc=big", Binned::camera, 0},
        {"3216 desc=newccd", Binned::sum, 1},
        {"3225 desc=cmos22 width=640 height=480", Binned::mean, 0},
        {"3229 desc=cmos23 width=640 height=480", Binned::mean, 0},
        {"3136 desc=cmos24", Binned::sum, 0},
    };
    std::string scenario;
    for (const Camera& c : cameras)
        scenario += std::string("plug camera ") + c.plug + "\n";
    AlpacaSim sim(scenario);
    for (const Camera& c : cameras) {
        const std::string name = std::string(c.plug).substr(std::string(c.plug).find("desc=") + 5);
        SCOPED_TRACE(name.substr(0, name.find(' ')));
        std::string path;
        eventually([&] { return !(path = device_named(sim.box, name.substr(0, name.find(' ')))).empty(); }, 10s);
        ASSERT_FALSE(path.empty());
        Device camera(sim.box, path);
        ASSERT_EQ(0, camera.put("connected", "Connected=true").error);
        ASSERT_EQ("true", camera.get("connected").value);
        ASSERT_EQ(0, camera.put("readoutmode", "ReadoutMode=" + std::to_string(c.mode)).error);
        // Binning 2 and a window off the origin; a light frame short enough
        // to go without the timer, then a dark one that takes it.
        set_window(camera, 2, 8, 4, 140, 60);
        for (const auto& [seconds, light] : {std::pair{0.1, true}, std::pair{0.3, false}}) {
            SCOPED_TRACE(light ? "light" : "dark");
            ASSERT_EQ(0, expose(camera, seconds, light));
            expect_image(camera, c.how, 2, 8, 4, 140, 60);
        }
        ASSERT_EQ(0, camera.put("connected", "Connected=false").error);
    }
}
