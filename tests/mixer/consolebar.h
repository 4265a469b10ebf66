#pragma once
// The console's volume bar and label as the console shows what the console-line functions
// return: the mixer tests watch the same widgets the owner sees.
#include "WaveMixer.h"

#include <QLabel>
#include <QScrollBar>
#include <QSignalBlocker>

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

// The bar and label follow the console line's volume as the console shows it: with the bar's
// signals blocked, so nothing is written back.
inline void followWith(TAudioMixer& mixer, std::function<int()> index, QScrollBar& scb,
                       QLabel& lbvol)
{
    followConsoleLine(mixer, std::move(index), scb, [&scb, &lbvol](int volume) {
        const QSignalBlocker quiet(scb);
        scb.setValue(volume);
        lbvol.setText(QString::number(volume));
    });
}
