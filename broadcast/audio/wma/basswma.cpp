#include "basswma.h"

// Placeholder until publishing is in.
HWMENCODE BASS_WMA_EncodeOpenPublish(DWORD, DWORD, DWORD, DWORD, const char*, const char*, const char*) { return 0; }
BOOL BASS_WMA_EncodeSetTag(HWMENCODE, const char*, const char*, DWORD) { return BASS_FALSE; }
BOOL BASS_WMA_EncodeWrite(HWMENCODE, const void*, DWORD) { return BASS_FALSE; }
DWORD BASS_WMA_EncodeGetPort(HWMENCODE) { return 0; }
BOOL BASS_WMA_EncodeClose(HWMENCODE) { return BASS_FALSE; }
