#pragma once
#include "form.h"

// The windows that start-up creates and nothing ever shows: hidden, empty, with their
// captions.
class HiddenWindow : public TForm {
    Q_OBJECT
public:
    using TForm::TForm;
};

#define WL_HIDDEN_WINDOW(Class, Caption)                                                       \
    class Class : public HiddenWindow {                                                        \
    public:                                                                                    \
        Class() : HiddenWindow(QStringLiteral(#Class).mid(1), QStringLiteral(Caption)) {} \
    };

WL_HIDDEN_WINDOW(TfmMusica2, "Libreria Musicale")
WL_HIDDEN_WINDOW(TfmFrasiPredefinite, "Scegli la frase")
WL_HIDDEN_WINDOW(TfmCrealatuaradiowm, "Crea la tua radio")
WL_HIDDEN_WINDOW(TfmCollegati, "Collegamento ad un altra radio")
WL_HIDDEN_WINDOW(TfmCreazioneCollegati, "Creazione elenco radio in corso Attendere...")
WL_HIDDEN_WINDOW(TfmAscolta, "Ascolta o guarda")
WL_HIDDEN_WINDOW(TfmStatistiche2, "Statistiche Iin tempo reale")
WL_HIDDEN_WINDOW(TfmPannelloDiControlloShoutcast, "Pannello di Controllo ShoutCast")
WL_HIDDEN_WINDOW(TFMATTESA, "ATTENDERE PREGO!!!")

#undef WL_HIDDEN_WINDOW
