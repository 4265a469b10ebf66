#pragma once
#include "mixerbackend.h"
#include <memory>

// The platform's mixer backend for the program.
std::unique_ptr<MixerBackend> createPlatformMixerBackend();
