#include "forms.h"

TfmLogin* fmLogin = nullptr;
TfmRegistrazione* fmRegistrazione = nullptr;
TfmMusica2* fmMusica2 = nullptr;
Tdm* dm = nullptr;
TfmFrasiPredefinite* fmFrasiPredefinite = nullptr;
TfmCrealatuaradiowm* fmCrealatuaradiowm = nullptr;
TfmRip* fmRip = nullptr;
TfmCollegati* fmCollegati = nullptr;
TfmCreazioneCollegati* fmCreazioneCollegati = nullptr;
TfmAscolta* fmAscolta = nullptr;
TfmStatistiche2* fmStatistiche2 = nullptr;
TfmPannelloDiControlloShoutcast* fmPannelloDiControlloShoutcast = nullptr;
TFMATTESA* FMATTESA = nullptr;
TfmShoutcast2* fmShoutcast2 = nullptr;
TForm2wma* Form2wma = nullptr;
TfmShoutCast7* fmShoutCast7 = nullptr;
