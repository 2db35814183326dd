// The Alpaca camera and camera-wheel devices of a running daemon over real
// HTTP: every camera class exposed and downloaded pixel-exact, the members'
// edge cases, sharing with the binary protocol, unplugging, and frames
// that stay what they were read as.
#include <poll.h>
#include <signal.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <thread>
#include <tuple>

#include "tests/e2e/alpaca_camera_support.h"
#include "tests/e2e/camera_session_support.h"

using namespace alpaca_e2e;
using camera_e2e::SetPoint;

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

namespace {

// One member call and what it must answer; an empty value is not compared.
struct Step {
    const char* device;  // name in the configured devices
    const char* method;
    const char* member;
    std::string form;
    int error;
    std::string value;
};

void run_steps(const TestBox& box, const std::vector<Step>& steps) {
    std::map<std::string, std::string> paths;
    for (const Step& s : steps) {
        std::string& path = paths[s.device];
        if (path.empty()) {
            ASSERT_TRUE(eventually([&] { return !(path = device_named(box, s.device)).empty(); }, 10s)) << s.device;
        }
        const Device device(box, path);
        const Reply reply = std::string(s.method) == "GET" ? device.get(s.member) : device.put(s.member, s.form);
        EXPECT_EQ(s.error, reply.error) << s.device << " " << s.method << " " << s.member << " " << s.form;
        if (s.value.starts_with('~')) {  // a number measured on the camera: within 5 ms
            EXPECT_NEAR(std::stod(s.value.substr(1)), std::stod("0" + reply.value), 0.005) << s.device << " " << s.member;
        } else if (!s.value.empty()) {
            EXPECT_EQ(s.value, reply.value) << s.device << " " << s.method << " " << s.member << " " << s.form;
        }
    }
}

}  // namespace

TEST(AlpacaCamera, MembersAnswerTheirEdgeCases) {
    AlpacaSim sim("plug camera 1201 desc=big\nplug camera 3075 desc=uncooled\nplug camera 1042 desc=small\n"
                  "plug camera 3136 desc=dualgain\nplug camera 1201 desc=slow read_rate=200000\n");
    const std::vector<Step> fresh = {
        {"big", "GET", "connected", "", 0, "false"},
        {"big", "GET", "binx", "", 1031, ""},
        {"big", "PUT", "startexposure", "Duration=1&Light=true", 1031, ""},
        {"big", "PUT", "connected", "Connected=true", 0, ""},
        {"big", "GET", "connected", "", 0, "true"},
        {"big", "GET", "lastexposureduration", "", 1035, ""},
        {"big", "GET", "lastexposurestarttime", "", 1035, ""},
        {"big", "GET", "camerastate", "", 0, "0"},
        {"big", "GET", "imageready", "", 0, "false"},
        {"big", "GET", "imagearray", "", 1035, ""},
        {"big", "GET", "setccdtemperature", "", 0, "30.0"},
        {"big", "GET", "interfaceversion", "", 0, "4"},
        {"big", "GET", "driverversion", "", 0, "\"61\""},
        {"big", "GET", "description", "", 0, "\"big, Id: 1001\""},
        {"big", "GET", "readoutmodes", "", 0, R"(["Ultra Low Noise","Low Noise","Preview"])"},
        {"big", "GET", "gains", "", 1024, ""},
        {"big", "PUT", "pulseguide", "Direction=0&Duration=10", 1024, ""},
        // Switched off, the cooler's target becomes the heat sink's 21.5 °C.
        {"big", "GET", "cooleron", "", 0, "false"},
        {"big", "PUT", "cooleron", "CoolerOn=false", 0, ""},
        {"big", "GET", "setccdtemperature", "", 0, ""},
        {"big", "PUT", "setccdtemperature", "SetCCDTemperature=-10", 0, ""},
        {"big", "GET", "setccdtemperature", "", 0, "-10.0"},
        // Sub-frames: NumX 0 is the unbinned width, which binned 2 no longer fits.
        {"big", "PUT", "startexposure", "Duration=-0.1&Light=true", 1025, ""},
        {"big", "PUT", "binx", "BinX=2", 0, ""},
        {"big", "GET", "biny", "", 0, "1"},  // asymmetric binning: y keeps its factor
        {"big", "PUT", "startexposure", "Duration=1&Light=true", 1025, ""},
        {"big", "GET", "numx", "", 0, "4096"},
        {"big", "PUT", "binx", "BinX=1", 0, ""},
        {"big", "PUT", "startx", "StartX=10", 0, ""},
        {"big", "PUT", "numx", "NumX=4087", 0, ""},
        {"big", "PUT", "startexposure", "Duration=1&Light=true", 1025, ""},
        {"big", "PUT", "numx", "NumX=4086", 0, ""},
        // A 10 s dark frame counts the shutter's 30 and 40 ms (as timed when
        // the camera connected); a second start while it runs is refused and
        // changes nothing.
        {"big", "PUT", "startexposure", "Duration=10&Light=false", 0, ""},
        {"big", "GET", "lastexposureduration", "", 0, "~10.07"},
        {"big", "GET", "camerastate", "", 0, "2"},
        {"big", "PUT", "numx", "NumX=64", 0, ""},
        {"big", "PUT", "startexposure", "Duration=0.1&Light=true", 1035, ""},
        {"big", "PUT", "binx", "BinX=2", 1035, ""},
        {"big", "GET", "lastexposureduration", "", 0, "~10.07"},
        {"big", "PUT", "abortexposure", "", 0, ""},
        {"big", "GET", "camerastate", "", 0, "0"},
        {"big", "GET", "imageready", "", 0, "false"},
        {"big", "GET", "imagearray", "", 1035, ""},
        {"big", "PUT", "abortexposure", "", 0, ""},
        // No cooler regulation, no heat sink reading; guiding limits.
        {"uncooled", "PUT", "connected", "Connected=true", 0, ""},
        {"uncooled", "GET", "cooleron", "", 1024, ""},
        {"uncooled", "PUT", "setccdtemperature", "SetCCDTemperature=-5", 1024, ""},
        {"uncooled", "GET", "heatsinktemperature", "", 1024, ""},
        {"uncooled", "GET", "canpulseguide", "", 0, "true"},
        {"uncooled", "PUT", "pulseguide", "Direction=4&Duration=100", 1025, ""},
        {"uncooled", "PUT", "pulseguide", "Direction=1&Duration=40000", 0, ""},
        {"uncooled", "GET", "ispulseguiding", "", 0, "true"},
        {"uncooled", "GET", "readoutmodes", "", 0, R"(["8-bit Slow","12-bit Slow","8-bit Fast","12-bit Fast"])"},
        {"small", "PUT", "connected", "Connected=true", 0, ""},
        {"small", "GET", "readoutmodes", "", 0, R"(["Fast Read","Slow Read"])"},
        {"small", "GET", "heatsinktemperature", "", 1024, ""},
        {"dualgain", "PUT", "connected", "Connected=true", 0, ""},
        {"dualgain", "GET", "readoutmodes", "", 0,
         R"(["16-bit HDR","12-bit hi-gain","12-bit lo-gain","\"16-bit\" lo-gain"])"},
        {"dualgain", "GET", "sensortype", "", 0, "0"},
    };
    run_steps(sim.box, fresh);
    // The set points went to the camera (raw words: to a few millidegrees).
    const std::vector<SetPoint> points = camera_e2e::set_points(sim.box, "/dev/telva0");
    ASSERT_GE(points.size(), 2u);
    EXPECT_NEAR(21.5, points[points.size() - 2].celsius, 0.01);
    EXPECT_NEAR(-10.0, points.back().celsius, 0.01);

    // Cooler power: a percentage with one decimal, once the cooler works.
    const Device big(sim.box, device_named(sim.box, "big"));
    double power = 0;
    ASSERT_TRUE(eventually([&] { return (power = std::stod("0" + big.get("coolerpower").value)) > 0; }, 10s));
    EXPECT_DOUBLE_EQ(std::round(power * 10) / 10, power);

    // Guide pulses as the cameras got them: signed, a duration past a
    // 16-bit field clamped to it. The uncooled camera's 40 s pulse south
    // is the last of the steps above.
    auto last_guide = [&](const std::string& node) {
        const std::string answer = sim.box.control("guide " + node);
        return answer.substr(0, answer.find('\n'));
    };
    EXPECT_EQ("0 -32767", last_guide("/dev/telva1"));
    const std::vector<std::tuple<const char*, const char*, const char*, const char*>> pulses = {
        {"uncooled", "/dev/telva1", "Direction=2&Duration=100", "100 0"},
        {"uncooled", "/dev/telva1", "Direction=0&Duration=32768", "0 32767"},
        {"small", "/dev/telva2", "Direction=3&Duration=40000", "-32767 0"},
    };
    for (const auto& [name, node, form, sent] : pulses) {
        ASSERT_EQ(0, Device(sim.box, device_named(sim.box, name)).put("pulseguide", form).error) << name << form;
        EXPECT_EQ(sent, last_guide(node)) << name << " " << form;
    }

    // A cooler drive of 4567 in 10000 is 45.7 %, rounded to one decimal,
    // whether the camera reports it as a fraction or as on and off times.
    ASSERT_TRUE(sim.box.control("plug camera 1027 desc=dual").starts_with("ok /dev/telva5"));
    std::string dual_path;
    ASSERT_TRUE(eventually([&] { return !(dual_path = device_named(sim.box, "dual")).empty(); }, 10s));
    const Device dual(sim.box, dual_path);
    ASSERT_EQ(0, dual.put("connected", "Connected=true").error);
    ASSERT_EQ(0, dual.put("setccdtemperature", "SetCCDTemperature=-10").error);
    for (const auto& [node, camera] : {std::pair{"/dev/telva0", &big}, std::pair{"/dev/telva5", &dual}}) {
        ASSERT_TRUE(sim.box.control(std::string("cooler ") + node + " 4567 5433").starts_with("ok"));
        EXPECT_TRUE(eventually([&] { return camera->get("coolerpower").value == "45.7"; }, 10s))
            << node << " answers " << camera->get("coolerpower").value;
    }

    // stopexposure keeps the image of a long exposure.
    set_window(big, 1, 3, 5, 64, 32);
    ASSERT_EQ(0, big.put("startexposure", "Duration=30&Light=true").error);
    ASSERT_EQ(0, big.put("stopexposure").error);
    ASSERT_TRUE(eventually([&] { return image_ready(big); }, 10s));
    expect_image(big, Binned::camera, 1, 3, 5, 64, 32);

    // While a readout runs (1 s of it at 200 kB/s): no abort, no start, no
    // image; then the frame with the window it was read with.
    const Device slow(sim.box, device_named(sim.box, "slow"));
    ASSERT_EQ(0, slow.put("connected", "Connected=true").error);
    set_window(slow, 1, 7, 9, 400, 250);
    ASSERT_EQ(0, slow.put("startexposure", "Duration=0.3&Light=true").error);
    ASSERT_TRUE(eventually([&] { return slow.get("camerastate").value != "2"; }, 5s));
    const std::string state = slow.get("camerastate").value;
    EXPECT_TRUE(state == "3" || state == "4") << state;
    ASSERT_EQ(0, slow.put("numx", "NumX=10").error);
    EXPECT_EQ(1035, slow.put("abortexposure").error);
    EXPECT_EQ(1035, slow.put("startexposure", "Duration=0.1&Light=true").error);
    EXPECT_EQ(1035, from_imagebytes(slow.image(true).body).error);
    EXPECT_EQ(1035, slow.get("imagearray").error);
    ASSERT_TRUE(eventually([&] { return image_ready(slow); }, 10s));
    expect_image(slow, Binned::camera, 1, 7, 9, 400, 250);
}

TEST(AlpacaCamera, SharingWithTheWheelAndTheBinaryProtocol) {
    AlpacaSim sim("plug camera 3216 id=71 desc=wheelcam filters=5\n");
    ASSERT_TRUE(camera_e2e::cameras_listed(sim.box, 1));
    std::string camera_path, wheel_path;
    ASSERT_TRUE(eventually([&] { return !(wheel_path = device_named(sim.box, "wheelcam FW")).empty(); }, 10s));
    camera_path = device_named(sim.box, "wheelcam");
    const Device camera(sim.box, camera_path), wheel(sim.box, wheel_path);
    auto tcp_connect = [&](ProtocolClient& client) { return camera_e2e::connect_camera(client, 71); };

    {   // Held over the binary protocol: both devices are refused.
        ProtocolClient client(sim.box);
        ASSERT_EQ(0, tcp_connect(client));
        EXPECT_EQ(1035, camera.put("connected", "Connected=true").error);
        EXPECT_EQ(1035, wheel.put("connect").error);
        EXPECT_EQ("false", camera.get("connected").value);
    }
    ASSERT_TRUE(camera_e2e::cameras_listed(sim.box, 1));
    // One claim for both devices: the last to let go releases it.
    ASSERT_EQ(0, camera.put("connect").error);
    ASSERT_EQ(0, wheel.put("connected", "Connected=true").error);
    ASSERT_EQ(0, camera.put("disconnect").error);
    {
        ProtocolClient client(sim.box);
        EXPECT_NE(0, tcp_connect(client)) << "the wheel device still holds the camera";
    }
    EXPECT_EQ(0u, camera_e2e::camera_count(sim.box));

    // Wheel positions, a move seen as -1 until it ends, refusals meanwhile.
    const std::vector<Step> steps = {
        {"wheelcam FW", "GET", "names", "", 0, R"(["Filter 1","Filter 2","Filter 3","Filter 4","Filter 5"])"},
        {"wheelcam FW", "GET", "focusoffsets", "", 0, "[0,0,0,0,0]"},
        {"wheelcam FW", "GET", "position", "", 0, "0"},
        {"wheelcam FW", "PUT", "position", "Position=5", 1025, ""},
        {"wheelcam FW", "PUT", "position", "Position=-1", 1025, ""},
        {"wheelcam FW", "GET", "interfaceversion", "", 0, "3"},
        {"wheelcam FW", "GET", "description", "", 0, "\"wheelcam FW, Id: 71\""},
    };
    run_steps(sim.box, steps);
    ASSERT_TRUE(sim.box.control("fault /dev/telva0 delay 800 count=1").starts_with("ok"));
    ASSERT_EQ(0, wheel.put("position", "Position=4").error);
    EXPECT_EQ("-1", wheel.get("position").value);
    EXPECT_EQ(1025, wheel.put("position", "Position=2").error);
    ASSERT_TRUE(eventually([&] { return wheel.get("position").value == "4"; }));
    // A move the camera refuses ends where the wheel was, logged.
    ASSERT_TRUE(sim.box.control("fault /dev/telva0 status 0x10 0x81 count=1").starts_with("ok"));
    ASSERT_EQ(0, wheel.put("position", "Position=1").error);
    ASSERT_TRUE(eventually([&] { return wheel.get("position").value != "-1"; }));
    EXPECT_EQ("4", wheel.get("position").value);
    EXPECT_TRUE(sim.box.wait_for_log("moving the filter wheel to 1 failed"));

    ASSERT_EQ(0, wheel.put("disconnect").error);
    {
        ProtocolClient client(sim.box);
        ASSERT_EQ(0, tcp_connect(client)) << "released by the last device";
    }
    ASSERT_TRUE(camera_e2e::cameras_listed(sim.box, 1));

    // Disconnecting during a long exposure aborts it; connecting again works
    // at once and the camera exposes.
    ASSERT_EQ(0, camera.put("connected", "Connected=true").error);
    ASSERT_EQ(0, camera.put("readoutmode", "ReadoutMode=1").error);
    ASSERT_EQ(0, camera.put("startexposure", "Duration=60&Light=true").error);
    ASSERT_EQ(0, camera.put("connected", "Connected=false").error);
    ASSERT_EQ(0, camera.put("connected", "Connected=true").error);
    EXPECT_EQ("0", camera.get("camerastate").value);
    set_window(camera, 1, 0, 0, 300, 40);
    ASSERT_EQ(0, expose(camera, 0.3, true));
    expect_image(camera, Binned::sum, 1, 0, 0, 300, 40);
}

TEST(AlpacaCamera, UnpluggedDuringExposureAndReadoutThenPluggedAgain) {
    const std::string plug = "plug camera 1201 id=81 desc=plugged read_rate=300000\n";
    AlpacaSim sim(plug + "plug camera 1042 id=82 desc=loose\n");
    std::string path;
    ASSERT_TRUE(eventually([&] { return !(path = device_named(sim.box, "plugged")).empty(); }, 10s));
    const Device camera(sim.box, path);
    ASSERT_EQ(0, camera.put("connected", "Connected=true").error);
    set_window(camera, 1, 2, 3, 400, 250);  // 200 kB: 0.7 s of readout
    std::string node = "/dev/telva0";
    auto replug = [&] {
        std::string answer = sim.box.control(plug.substr(0, plug.size() - 1));
        ASSERT_TRUE(answer.starts_with("ok /dev/telva")) << answer;
        node = answer.substr(3, answer.find_first_of("\r\n") - 3);
        ASSERT_TRUE(eventually([&] { return camera.get("connected").value == "true"; }, 10s));
    };
    // Unplugged while it exposes, then while it reads out: the device
    // answers 1031 at once, the exposure ends without an image, and the
    // device works again when the camera is back.
    for (const char* when : {"exposing", "reading"}) {
        SCOPED_TRACE(when);
        ASSERT_EQ(0, camera.put("startexposure",
                                std::string("Duration=") + (when == std::string("exposing") ? "30" : "0.3") +
                                    "&Light=true").error);
        if (when == std::string("reading")) {
            ASSERT_TRUE(eventually([&] { return camera.get("camerastate").value == "3"; }, 5s));
        }
        ASSERT_TRUE(sim.box.control("unplug " + node).starts_with("ok"));
        ASSERT_TRUE(eventually([&] { return camera.get("camerastate").error == 1031; }));
        EXPECT_EQ("false", camera.get("connected").value);
        EXPECT_EQ(1031, camera.put("startexposure", "Duration=0.1&Light=true").error);
        EXPECT_EQ(1031, from_imagebytes(camera.image(true).body).error);
        replug();
        ASSERT_TRUE(eventually([&] { return camera.get("camerastate").value == "0"; }, 10s));
        EXPECT_EQ("false", camera.get("imageready").value);
        EXPECT_EQ(1035, camera.get("imagearray").error) << "no frame came of it";
        ASSERT_EQ(0, expose(camera, 0.1, true));
        expect_image(camera, Binned::camera, 1, 2, 3, 400, 250);
    }

    // A device nobody holds keeps its number when its camera comes back.
    std::string loose;
    ASSERT_TRUE(eventually([&] { return !(loose = device_named(sim.box, "loose")).empty(); }));
    ASSERT_TRUE(sim.box.control("unplug " + node).starts_with("ok"));
    ASSERT_TRUE(eventually([&] { return camera.get("connected").value == "false"; }));
    ASSERT_EQ(0, camera.put("connected", "Connected=false").error);
    ASSERT_TRUE(sim.box.control(plug.substr(0, plug.size() - 1)).starts_with("ok"));
    ASSERT_TRUE(camera_e2e::cameras_listed(sim.box, 2));
    EXPECT_EQ(path, device_named(sim.box, "plugged"));
    EXPECT_EQ(loose, device_named(sim.box, "loose"));
    ASSERT_EQ(0, camera.put("connected", "Connected=true").error);
    ASSERT_EQ(0, expose(camera, 0.1, true));
    expect_image(camera, Binned::camera, 1, 2, 3, 400, 250);
}

TEST(AlpacaCamera, ADownloadKeepsItsFrameWhileTheNextOneIsRead) {
    AlpacaSim sim("plug camera 1201 desc=held\n");
    std::string path;
    ASSERT_TRUE(eventually([&] { return !(path = device_named(sim.box, "held")).empty(); }, 10s));
    const Device camera(sim.box, path);
    ASSERT_EQ(0, camera.put("connected", "Connected=true").error);
    set_window(camera, 1, 0, 0, 4000, 2048);  // 16 MB: more than the sockets buffer
    ASSERT_EQ(0, expose(camera, 0.1, true));

    // A download that reads slowly: a small receive buffer, 256 kB taken.
    int sd = sim.box.socket(AF_INET, SOCK_STREAM);
    const int small = 16384;
    ASSERT_EQ(0, setsockopt(sd, SOL_SOCKET, SO_RCVBUF, &small, sizeof small));
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(8000);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(0, ::connect(sd, reinterpret_cast<sockaddr*>(&to), sizeof to));
    const std::string request = "GET /api/v1/" + path +
                                "/imagearray?ClientTransactionID=1 HTTP/1.1\r\nHost: box\r\n"
                                "Accept: application/imagebytes\r\nConnection: close\r\n\r\n";
    ASSERT_EQ(ssize_t(request.size()), send(sd, request.data(), request.size(), 0));
    std::string answer;
    auto receive = [&](size_t until) {
        char chunk[65536];
        while (answer.size() < until) {
            pollfd wait = {sd, POLLIN, 0};
            if (poll(&wait, 1, 20000) != 1)
                return false;
            const ssize_t n = recv(sd, chunk, std::min(sizeof chunk, until - answer.size()), 0);
            if (n <= 0)
                return n == 0;
            answer.append(chunk, size_t(n));
        }
        return true;
    };
    ASSERT_TRUE(receive(256 * 1024));

    // The next exposure, one column further, is read meanwhile: into a
    // buffer of its own.
    ASSERT_EQ(0, camera.put("startx", "StartX=1").error);
    ASSERT_EQ(0, expose(camera, 0.1, true));
    ASSERT_TRUE(receive(SIZE_MAX));
    close(sd);
    const size_t body = answer.find("\r\n\r\n");
    ASSERT_NE(std::string::npos, body);
    const Image first = from_imagebytes(answer.substr(body + 4));
    ASSERT_EQ(0, first.error);
    ASSERT_EQ(4000, first.width);
    EXPECT_EQ(0u, mismatches(first, Binned::camera, 1, 0, 0)) << "the frame changed under its download";
    expect_image(camera, Binned::camera, 1, 1, 0, 4000, 2048);
}

TEST(AlpacaCamera, PollersBesideFiftyFramesInARow) {
    AlpacaSim sim("plug camera 3216 desc=busy\nplug camera 3225 desc=busycmos width=640 height=480\n");
    std::vector<Device> cameras;
    for (const char* name : {"busy", "busycmos"}) {
        std::string path;
        ASSERT_TRUE(eventually([&] { return !(path = device_named(sim.box, name)).empty(); }, 10s));
        cameras.emplace_back(sim.box, path);
        ASSERT_EQ(0, cameras.back().put("connected", "Connected=true").error);
    }
    ASSERT_EQ(0, cameras[0].put("readoutmode", "ReadoutMode=1").error);

    // Three clients poll both cameras at 20 Hz; none of their answers may fail.
    std::atomic<bool> done{false};
    std::atomic<int> failures{0}, polls{0};
    std::vector<std::thread> pollers;
    for (int p = 0; p < 3; ++p)
        pollers.emplace_back([&] {
            while (!done.load()) {
                for (const Device& camera : cameras) {
                    for (const char* member : {"camerastate", "imageready", "ccdtemperature", "devicestate"}) {
                        if (camera.get(member).error != 0)
                            ++failures;
                    }
                }
                ++polls;
                std::this_thread::sleep_for(50ms);
            }
        });
    // A fourth exposes and downloads, 50 frames of the CCD, 20 of the CMOS
    // camera; each frame's window moves, so a stale or torn frame shows.
    for (size_t c = 0; c < cameras.size(); ++c) {
        for (int frame = 0; frame < (c == 0 ? 50 : 20) && !testing::Test::HasFatalFailure(); ++frame) {
            SCOPED_TRACE(cameras[c].path() + " frame " + std::to_string(frame));
            set_window(cameras[c], 1, frame, frame % 7, 280, 40);
            ASSERT_EQ(0, expose(cameras[c], frame % 2 ? 0.05 : 0.3, true));
            const Image image = from_imagebytes(cameras[c].image(true).body);
            ASSERT_EQ(280, image.width);
            EXPECT_EQ(0u, mismatches(image, Binned::camera, 1, frame, frame % 7));
        }
    }
    done = true;
    for (std::thread& poller : pollers)
        poller.join();
    EXPECT_EQ(0, failures.load());
    EXPECT_GT(polls.load(), 3);
}

TEST(AlpacaCamera, ADaemonEndedDuringAReadoutEndsCleanly) {
#if defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "a process that ends under a readout leaves its thread unjoined by design, which the thread "
                    "sanitizer reports as a leak";
#endif
    AlpacaSim sim("plug camera 1201 desc=ending read_rate=100000\n");
    std::string path;
    ASSERT_TRUE(eventually([&] { return !(path = device_named(sim.box, "ending")).empty(); }, 10s));
    const Device camera(sim.box, path);
    ASSERT_EQ(0, camera.put("connected", "Connected=true").error);
    set_window(camera, 1, 0, 0, 1000, 500);  // 10 s of readout
    ASSERT_EQ(0, camera.put("startexposure", "Duration=0.1&Light=true").error);
    ASSERT_TRUE(eventually([&] { return camera.get("camerastate").value == "3"; }));
    kill(sim.pid, SIGTERM);
    const auto ended = sim.box.wait_exit(sim.pid, 10s);
    ASSERT_TRUE(ended && ended->exited);
    EXPECT_EQ(0, ended->status);
}
