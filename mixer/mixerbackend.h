#pragma once

// The platform's mixer: devices, their destinations and source lines, controls and change
// notices. The mixer model reaches the platform only through this interface.
class MixerBackend {
public:
    virtual ~MixerBackend() = default;
};
