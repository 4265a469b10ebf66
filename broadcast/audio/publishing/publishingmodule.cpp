// The module's table. Built into libwavelorn-publishing.so with the publishing sources, whose
// BASS_WMA_* names the build turns into module-private ones (see CMakeLists.txt).
#include "basswma.h"
#include "publishingapi.h"

extern "C" __attribute__((visibility("default"))) const PublishingApi* wavelorn_publishing_api()
{
    static const PublishingApi api{PublishingApiVersion,    &BASS_WMA_EncodeOpenPublish,
                                   &BASS_WMA_EncodeSetTag,  &BASS_WMA_EncodeWrite,
                                   &BASS_WMA_EncodeGetPort, &BASS_WMA_EncodeClose,
                                   &BASS_WMA_LastErrorText, &BASS_WMA_SetTrustFile};
    return &api;
}
