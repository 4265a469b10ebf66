#pragma once
// The console's volume bar and label as the console shows what the console-line functions
// return: the mixer tests watch the same widgets the owner sees.
#include "WaveMixer.h"

#include <QLabel>
#include <QScrollBar>

inline void showChoice(const ConsoleLineChoice& choice, QScrollBar& scb, QLabel& lbvol)
{
    scb.setMaximum(choice.barMaximum);
    scb.setValue(choice.barValue);
    lbvol.setText(choice.label);
}

// The bar has moved: the console line takes its position and the label what is read back.
inline void showVolume(TAudioMixer& mixer, int index, const QScrollBar& scb, QLabel& lbvol)
{
    if (const auto text = consoleVolumeBarChanged(mixer, index, scb.value()))
        lbvol.setText(*text);
}
