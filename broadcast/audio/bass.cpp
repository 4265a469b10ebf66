#include "bass.h"
#include "bassenc.h"

// Placeholder until the capture, encoder and cast are in.
DWORD BASS_GetVersion() { return BASSVERSION << 16; }
BOOL BASS_Init(int, DWORD, DWORD, void*, void*) { return BASS_TRUE; }
BOOL BASS_RecordInit(int) { return BASS_FALSE; }
HRECORD BASS_RecordStart(DWORD, DWORD, DWORD, RECORDPROC*, void*) { return 0; }
DWORD BASS_ChannelGetLevel(DWORD) { return 0xFFFFFFFFu; }
DWORD BASS_ChannelIsActive(DWORD) { return 0; }
BOOL BASS_ChannelStop(DWORD) { return BASS_FALSE; }
BOOL BASS_RecordFree() { return BASS_TRUE; }
const char* BASS_LastErrorText() { return ""; }
void BASS_SetReportedVersionForTesting(DWORD) {}
HENCODE BASS_Encode_Start(DWORD, const char*, DWORD, ENCODEPROC*, void*) { return 0; }
DWORD BASS_Encode_IsActive(DWORD) { return 0; }
BOOL BASS_Encode_CastInit(HENCODE, const char*, const char*, const char*, const char*, const char*,
                          const char*, const char*, const char*, DWORD, BOOL)
{
    return BASS_FALSE;
}
BOOL BASS_Encode_SetNotify(HENCODE, ENCODENOTIFYPROC*, void*) { return BASS_FALSE; }
BOOL BASS_Encode_CastSetTitle(HENCODE, const char*, const char*) { return BASS_FALSE; }
const char* BASS_Encode_CastGetStats(HENCODE, DWORD, const char*) { return nullptr; }
