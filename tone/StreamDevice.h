#pragma once

// What the stream's worker asks of its playback device (16-bit mono, non-blocking): the seam under
// AlsaDevice, so that the device loop can run against a stand-in.

#include <cstdint>
#include <functional>
#include <string>

namespace quindle {

class StreamDevice {
public:
    struct Result {
        int error = 0;       // negative errno; 0 when it worked
        std::string message; // what failed, with the system's text
        bool ok() const { return error >= 0; }
    };

    virtual ~StreamDevice() = default;

    // Opens `device` (configPath: a configuration file instead of the system's) at rate [frames/s],
    // with periods and a buffer of about the sizes asked [frames].
    virtual Result open(const std::string& device, const std::string& configPath, unsigned rate,
                        unsigned periodFrames, unsigned bufferFrames) = 0;
    virtual void close() = 0;
    virtual bool isOpen() const = 0;

    virtual unsigned rate() const = 0;
    virtual int64_t periodFrames() const = 0;
    virtual int64_t bufferFrames() const = 0;

    // Frames the device takes now, or a negative error.
    virtual int64_t avail() = 0;
    // Frames taken (maybe fewer than n; 0 when full), or a negative error.
    virtual int64_t write(const int16_t* samples, int64_t n) = 0;
    // Returns when the device has room for a period, or after timeoutMs [ms].
    virtual void wait(int timeoutMs) = 0;
    // After an underrun (-EPIPE) or a suspend (-ESTRPIPE): makes the device take samples again.
    // stop() ends the wait for a resume. Other errors are not recovered.
    virtual Result recover(int error, const std::function<bool()>& stop) = 0;
    // The text for an error code.
    virtual std::string errorText(int error) const = 0;
};

} // namespace quindle
