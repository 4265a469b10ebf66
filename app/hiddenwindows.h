#pragma once
#include "form.h"

// The windows that start-up creates and nothing ever shows: hidden, empty, with their
// captions.

class TfmMusica2 : public TForm {
    Q_OBJECT
public:
    TfmMusica2() : TForm(QStringLiteral("fmMusica2"), QStringLiteral("Libreria Musicale")) {}
};

class TfmFrasiPredefinite : public TForm {
    Q_OBJECT
public:
    TfmFrasiPredefinite()
        : TForm(QStringLiteral("fmFrasiPredefinite"), QStringLiteral("Scegli la frase"))
    {}
};

class TfmCrealatuaradiowm : public TForm {
    Q_OBJECT
public:
    TfmCrealatuaradiowm()
        : TForm(QStringLiteral("fmCrealatuaradiowm"), QStringLiteral("Crea la tua radio"))
    {}
};

class TfmCollegati : public TForm {
    Q_OBJECT
public:
    TfmCollegati()
        : TForm(QStringLiteral("fmCollegati"), QStringLiteral("Collegamento ad un altra radio"))
    {}
};

class TfmCreazioneCollegati : public TForm {
    Q_OBJECT
public:
    TfmCreazioneCollegati()
        : TForm(QStringLiteral("fmCreazioneCollegati"),
                QStringLiteral("Creazione elenco radio in corso Attendere..."))
    {}
};

class TfmAscolta : public TForm {
    Q_OBJECT
public:
    TfmAscolta() : TForm(QStringLiteral("fmAscolta"), QStringLiteral("Ascolta o guarda")) {}
};

class TfmStatistiche2 : public TForm {
    Q_OBJECT
public:
    TfmStatistiche2()
        : TForm(QStringLiteral("fmStatistiche2"), QStringLiteral("Statistiche Iin tempo reale"))
    {}
};

class TfmPannelloDiControlloShoutcast : public TForm {
    Q_OBJECT
public:
    TfmPannelloDiControlloShoutcast()
        : TForm(QStringLiteral("fmPannelloDiControlloShoutcast"),
                QStringLiteral("Pannello di Controllo ShoutCast"))
    {}
};

class TFMATTESA : public TForm {
    Q_OBJECT
public:
    TFMATTESA() : TForm(QStringLiteral("FMATTESA"), QStringLiteral("ATTENDERE PREGO!!!")) {}
};
