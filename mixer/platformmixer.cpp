#include "platformmixer.h"
#include "pulsemixerbackend.h"

std::unique_ptr<MixerBackend> createPlatformMixerBackend()
{
    return std::make_unique<PulseMixerBackend>();
}
