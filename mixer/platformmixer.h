#pragma once
#include "mixerbackend.h"
#include <memory>

// The platform's mixer backend for the program: the PulseAudio server (no device when there is
// none). Made after the application object, on the GUI thread.
std::unique_ptr<MixerBackend> createPlatformMixerBackend();
