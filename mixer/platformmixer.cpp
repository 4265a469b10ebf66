#include "platformmixer.h"

std::unique_ptr<MixerBackend> createPlatformMixerBackend()
{
    return std::make_unique<MixerBackend>();
}
