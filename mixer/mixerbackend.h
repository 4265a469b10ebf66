#pragma once
#include <QObject>
#include <QString>
#include <QStringList>
#include <cstdint>
#include <vector>

// The platform's mixer: devices, their destinations and source lines, controls and change
// notices. The mixer model reaches the platform only through this interface.
//
// Every operation answers at once (no waiting on a server) and runs on the GUI thread; the
// change notices are signals emitted on that thread. Result codes are those of the
// multimedia mixer functions: 0 on success.

using MixerHandle = quintptr;
using MixerResult = quint32;

constexpr MixerResult MMSYSERR_NOERROR = 0;
constexpr MixerResult MMSYSERR_ERROR = 1;
constexpr MixerResult MMSYSERR_BADDEVICEID = 2;
constexpr MixerResult MMSYSERR_INVALHANDLE = 5;
constexpr MixerResult MMSYSERR_NODRIVER = 6;
constexpr MixerResult MMSYSERR_INVALPARAM = 11;
constexpr MixerResult MIXERR_INVALLINE = 1024;
constexpr MixerResult MIXERR_INVALCONTROL = 1025;
constexpr MixerResult MIXERR_INVALVALUE = 1026;

// Control types searched on a line.
constexpr quint32 MIXERCONTROL_CONTROLTYPE_VOLUME = 0x50030001;
constexpr quint32 MIXERCONTROL_CONTROLTYPE_MUTE = 0x20010002;
constexpr quint32 MIXERCONTROL_CONTROLTYPE_MUX = 0x70010001;
constexpr quint32 MIXERCONTROL_CONTROLTYPE_MIXER = 0x71010001;

// Longest device name (szPname) and line or item name (szName) a record holds.
constexpr int MixerDeviceNameChars = 32;
constexpr int MixerLineNameChars = 64;

// A device's capabilities.
struct MixerCaps {
    QString name;             // szPname
    quint32 destinations = 0; // cDestinations
};

// A line: a destination or one of its source lines.
struct MixerLineInfo {
    quint32 destination = 0; // dwDestination
    quint32 source = 0;      // dwSource
    quint32 lineId = 0;      // dwLineID, unique within the device
    QString name;            // szName
    quint32 connections = 0; // cConnections: a destination's number of source lines
};

// A control of a line.
struct MixerControlInfo {
    quint32 controlId = 0;     // dwControlID, unique within the device
    quint32 controlType = 0;   // dwControlType
    quint32 multipleItems = 0; // cMultipleItems: a source list's number of items, else 0
    qint32 minimum = 0;        // Bounds.dwMinimum
    quint32 maximum = 0;       // Bounds.dwMaximum
};

class MixerBackend : public QObject {
    Q_OBJECT
public:
    explicit MixerBackend(QObject* parent = nullptr) : QObject(parent) {}
    ~MixerBackend() override = default;

    // mixerGetNumDevs.
    virtual quint32 deviceCount() = 0;
    // mixerGetDevCaps: caps is left empty on failure.
    virtual MixerResult deviceCaps(quint32 deviceId, MixerCaps& caps) = 0;
    // mixerOpen: handle is 0 on failure. Notices for the device carry this handle.
    virtual MixerResult open(quint32 deviceId, MixerHandle& handle) = 0;
    // mixerClose.
    virtual void close(MixerHandle handle) = 0;
    // mixerGetLineInfo for a destination (GETLINEINFOF_DESTINATION).
    virtual MixerResult destinationLine(MixerHandle handle, quint32 destination,
                                        MixerLineInfo& line) = 0;
    // mixerGetLineInfo for a source line of a destination (GETLINEINFOF_SOURCE).
    virtual MixerResult sourceLine(MixerHandle handle, quint32 destination, quint32 source,
                                   MixerLineInfo& line) = 0;
    // mixerGetLineControls, one control by type: MIXERR_INVALCONTROL when the line has none.
    virtual MixerResult lineControl(MixerHandle handle, quint32 lineId, quint32 controlType,
                                    MixerControlInfo& control) = 0;
    // mixerGetControlDetails (values), all channels as one: items values for a source list
    // (items = its cMultipleItems), one value otherwise (items = 0).
    virtual MixerResult controlValues(MixerHandle handle, quint32 controlId, quint32 items,
                                      std::vector<quint32>& values) = 0;
    // mixerGetControlDetails (list texts) of a source list.
    virtual MixerResult controlItemTexts(MixerHandle handle, quint32 controlId, quint32 items,
                                         QStringList& texts) = 0;
    // mixerSetControlDetails (values), all channels as one.
    virtual MixerResult setControlValues(MixerHandle handle, quint32 controlId, quint32 items,
                                         const std::vector<quint32>& values) = 0;

signals:
    // MM_MIXM_LINE_CHANGE: handle of the open device, id of the line.
    void lineChange(MixerHandle handle, quint32 lineId);
    // MM_MIXM_CONTROL_CHANGE: handle of the open device, id of the control.
    void controlChange(MixerHandle handle, quint32 controlId);
    // A device came or went (a sound server connected, lost or back): the device count may
    // have changed, and handles opened before a loss stay dead.
    void deviceChange();
};
