#pragma once
// The process-wide references to the program's windows and data module. They point into
// the objects that start-up creates (or a test creates) and are null outside that time.

class TfmLogin;
class TfmRegistrazione;
class TfmMusica2;
class Tdm;
class TfmFrasiPredefinite;
class TfmCrealatuaradiowm;
class TfmRip;
class TfmCollegati;
class TfmCreazioneCollegati;
class TfmAscolta;
class TfmStatistiche2;
class TfmPannelloDiControlloShoutcast;
class TFMATTESA;
class TfmShoutcast2;
class TForm2wma;
class TfmShoutCast7;

extern TfmLogin* fmLogin;
extern TfmRegistrazione* fmRegistrazione;
extern TfmMusica2* fmMusica2;
extern Tdm* dm;
extern TfmFrasiPredefinite* fmFrasiPredefinite;
extern TfmCrealatuaradiowm* fmCrealatuaradiowm;
extern TfmRip* fmRip;
extern TfmCollegati* fmCollegati;
extern TfmCreazioneCollegati* fmCreazioneCollegati;
extern TfmAscolta* fmAscolta;
extern TfmStatistiche2* fmStatistiche2;
extern TfmPannelloDiControlloShoutcast* fmPannelloDiControlloShoutcast;
extern TFMATTESA* FMATTESA;
extern TfmShoutcast2* fmShoutcast2;
extern TForm2wma* Form2wma;
extern TfmShoutCast7* fmShoutCast7;
