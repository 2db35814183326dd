// The Alpaca camera.
#pragma once

#include "alpaca/image_encoding.h"
#include "alpaca/interfaces/device.h"

namespace AlpacaServer {

class Camera : public Device {
public:
    int device_type() const override { return 1; }

    virtual int get_bayeroffsetx(int32_t& value) = 0;
    virtual int get_bayeroffsety(int32_t& value) = 0;
    virtual int get_binx(int32_t& value) = 0;
    virtual int put_binx(int32_t value) = 0;
    virtual int get_biny(int32_t& value) = 0;
    virtual int put_biny(int32_t value) = 0;
    virtual int get_camerastate(int32_t& value) = 0;
    virtual int get_cameraxsize(int32_t& value) = 0;
    virtual int get_cameraysize(int32_t& value) = 0;
    virtual int get_canabortexposure(bool& value) = 0;
    virtual int get_canasymmetricbin(bool& value) = 0;
    virtual int get_canfastreadout(bool& value) = 0;
    virtual int get_cangetcoolerpower(bool& value) = 0;
    virtual int get_canpulseguide(bool& value) = 0;
    virtual int get_cansetccdtemperature(bool& value) = 0;
    virtual int get_canstopexposure(bool& value) = 0;
    virtual int get_ccdtemperature(double& value) = 0;
    virtual int get_cooleron(bool& value) = 0;
    virtual int put_cooleron(bool value) = 0;
    virtual int get_coolerpower(double& value) = 0;
    virtual int get_electronsperadu(double& value) = 0;
    virtual int get_exposuremax(double& value) = 0;
    virtual int get_exposuremin(double& value) = 0;
    virtual int get_exposureresolution(double& value) = 0;
    virtual int get_fastreadout(bool& value) = 0;
    virtual int put_fastreadout(bool value) = 0;
    virtual int get_fullwellcapacity(double& value) = 0;
    virtual int get_gain(int32_t& value) = 0;
    virtual int put_gain(int32_t value) = 0;
    virtual int get_gainmax(int32_t& value) = 0;
    virtual int get_gainmin(int32_t& value) = 0;
    virtual int get_gains(std::vector<std::string>& value) = 0;
    virtual int get_hasshutter(bool& value) = 0;
    virtual int get_heatsinktemperature(double& value) = 0;
    // The last frame, read in place: the view keeps it alive (owner) and
    // unchanged while a download streams from it.
    virtual int get_imagearray(FrameView& frame) = 0;
    virtual int get_imageready(bool& value) = 0;
    virtual int get_ispulseguiding(bool& value) = 0;
    virtual int get_lastexposureduration(double& value) = 0;
    virtual int get_lastexposurestarttime(char* value, std::size_t size) = 0;
    virtual int get_maxadu(int32_t& value) = 0;
    virtual int get_maxbinx(int32_t& value) = 0;
    virtual int get_maxbiny(int32_t& value) = 0;
    virtual int get_numx(int32_t& value) = 0;
    virtual int put_numx(int32_t value) = 0;
    virtual int get_numy(int32_t& value) = 0;
    virtual int put_numy(int32_t value) = 0;
    virtual int get_offset(int32_t& value) = 0;
    virtual int put_offset(int32_t value) = 0;
    virtual int get_offsetmax(int32_t& value) = 0;
    virtual int get_offsetmin(int32_t& value) = 0;
    virtual int get_offsets(std::vector<std::string>& value) = 0;
    virtual int get_percentcompleted(int32_t& value) = 0;
    virtual int get_pixelsizex(double& value) = 0;
    virtual int get_pixelsizey(double& value) = 0;
    virtual int get_readoutmode(int32_t& value) = 0;
    virtual int put_readoutmode(int32_t value) = 0;
    virtual int get_readoutmodes(std::vector<std::string>& value) = 0;
    virtual int get_sensorname(char* value, std::size_t size) = 0;
    virtual int get_sensortype(int32_t& value) = 0;
    virtual int get_setccdtemperature(double& value) = 0;
    virtual int put_setccdtemperature(double value) = 0;
    virtual int get_startx(int32_t& value) = 0;
    virtual int put_startx(int32_t value) = 0;
    virtual int get_starty(int32_t& value) = 0;
    virtual int put_starty(int32_t value) = 0;
    virtual int get_subexposureduration(double& value) = 0;
    virtual int put_subexposureduration(double value) = 0;
    virtual int abortexposure() = 0;
    virtual int pulseguide(int32_t direction, int32_t duration) = 0;
    virtual int startexposure(double duration, bool light) = 0;
    virtual int stopexposure() = 0;
};

}  // namespace AlpacaServer
