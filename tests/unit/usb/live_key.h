// The virtual key behind an emulated USB device: the OUT units the host
// sends are gathered into request frames for the key's engine (in this
// process, state in a directory), and its reply frames go back as IN units
// of the device's transfer unit, zero-padded, as a real key sends them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "tests/unit/transport/usb_emu.h"
#include "vkey/vkey.h"

class LiveKey : public UsbEmuPeer {
  public:
    // `unit`: the transfer unit of the device (64, or 1024 for a device
    // whose endpoints have a wMaxPacketSize above 64).
    LiveKey(const std::string& stateDir, size_t unit);
    ~LiveKey() override;
    bool ready() const { return m_key != nullptr; }
    const std::string& error() const { return m_error; }

    // Adds the emulated device and routes it to this key; the device index
    // or -1.
    int plugInto(const UsbEmuDevice& device);

    void onOut(const uint8_t* unit, size_t len, Units& in) override;
    void onIdle(Units& in) override;

    // The key takes requests but answers nothing (a key that hangs).
    void setMute(bool mute);
    // Places a finger on the sensor; the module's answers go out as IN units.
    bool touch(const std::string& finger);
    // How long the module waits for a finger before it answers "no finger".
    void setFingerWait(unsigned ms);

    // What the key saw: request frames handed to the engine, units that
    // were not one whole transfer unit, and frames dropped as malformed
    // (units missing or out of place).
    int framesIn() const;
    int shortUnits() const;
    int droppedFrames() const;
    // Last units of request frames with anything but zeros after the frame.
    int dirtyPadding() const;
    // IN units the key has answered with so far.
    int unitsOut() const;
    // The key's serial number and other short facts.
    std::string describe() const;

  private:
    struct Collect;
    void completeFrame(Units& in);

    mutable std::mutex m_mu;  // the engine is driven from two threads
    std::unique_ptr<vkey::Key> m_key;
    std::string m_error;
    size_t m_unit;
    int m_dev = -1;
    bool m_mute = false;
    std::vector<uint8_t> m_frame;  // request frame being gathered
    size_t m_want = 0;             // its whole length, 0 between frames
    int m_framesIn = 0, m_shortUnits = 0, m_dropped = 0, m_unitsOut = 0, m_dirtyPad = 0;
};
