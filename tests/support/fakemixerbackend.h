#pragma once
#include "mixerbackend.h"

#include <QList>
#include <QString>
#include <QStringList>
#include <map>
#include <utility>
#include <vector>

// A mixer backend whose devices, lines and controls a test lays out, with every call it gets
// recorded and notices sent on request.
//
//   FakeMixerBackend fake;
//   fake.devices = {{"Fake mixer", {FakeMixerBackend::playback({
//                       {101, "Altoparlanti", {FakeMixerBackend::volume(1001)}}})}}};
//   TAudioMixer mixer(fake);
class FakeMixerBackend final : public MixerBackend {
public:
    struct Control {
        quint32 id = 0;
        quint32 type = 0;
        quint32 items = 0; // cMultipleItems of a source list
        quint32 maximum = 65535;
        std::vector<quint32> values;                // one value, or one per item
        QStringList texts;                          // a source list's item texts
        MixerResult readResult = MMSYSERR_NOERROR;  // forced result of reads
        MixerResult writeResult = MMSYSERR_NOERROR; // forced result of writes
    };
    struct Line {
        quint32 id = 0;
        QString name;
        std::vector<Control> controls;
    };
    struct Destination {
        Line line;
        std::vector<Line> sources;
    };
    struct Device {
        QString name;
        std::vector<Destination> destinations;
    };

    static Control volume(quint32 id, quint32 maximum = 65535, quint32 value = 0);
    static Control mute(quint32 id, bool on = false);
    // A selector (MIXERCONTROL_CONTROLTYPE_MUX or _MIXER) with its item texts and values.
    static Control selector(quint32 id, quint32 type, const QStringList& texts,
                            const std::vector<quint32>& values);

    std::vector<Device> devices;

    // One sound card, "Scheda audio di prova": a playback line "Riproduzione" (id 100, volume
    // control 1000) with the given source lines (ids 101, 102, ..., volume controls 1001,
    // 1002, ... at 0 of 65535).
    void layOutSoundCard(const QStringList& sources);
    // The card with "Line In", "Altoparlanti (scheda)" and "Microfono": only the second name
    // holds the console line's word, in another letter case.
    void layOutThreeLines();

    // What was asked.
    int opens = 0;
    int closes = 0;
    std::vector<std::pair<quint32, std::vector<quint32>>> writes; // control id, values
    MixerHandle lastHandle() const { return m_lastHandle; }
    bool isOpen(MixerHandle h) const { return m_open.count(h) != 0; }

    // The control with id on any line of any device, or nullptr.
    Control* control(quint32 id);
    // The value a control holds (its first value).
    quint32 value(quint32 controlId);

    // Sends a notice as the driver would.
    void notifyLine(MixerHandle handle, quint32 lineId) { emit lineChange(handle, lineId); }
    void notifyControl(MixerHandle handle, quint32 controlId)
    {
        emit controlChange(handle, controlId);
    }

    quint32 deviceCount() override;
    MixerResult deviceCaps(quint32 deviceId, MixerCaps& caps) override;
    MixerResult open(quint32 deviceId, MixerHandle& handle) override;
    void close(MixerHandle handle) override;
    MixerResult destinationLine(MixerHandle handle, quint32 destination,
                                MixerLineInfo& line) override;
    MixerResult sourceLine(MixerHandle handle, quint32 destination, quint32 source,
                           MixerLineInfo& line) override;
    MixerResult lineControl(MixerHandle handle, quint32 lineId, quint32 controlType,
                            MixerControlInfo& control) override;
    MixerResult controlValues(MixerHandle handle, quint32 controlId, quint32 items,
                              std::vector<quint32>& values) override;
    MixerResult controlItemTexts(MixerHandle handle, quint32 controlId, quint32 items,
                                 QStringList& texts) override;
    MixerResult setControlValues(MixerHandle handle, quint32 controlId, quint32 items,
                                 const std::vector<quint32>& values) override;

private:
    Device* deviceOf(MixerHandle handle);
    Line* lineOf(Device& d, quint32 lineId);
    Control* controlOf(Device& d, quint32 controlId);

    std::map<MixerHandle, quint32> m_open; // handle -> device id
    MixerHandle m_nextHandle = 0x100;
    MixerHandle m_lastHandle = 0;
};
