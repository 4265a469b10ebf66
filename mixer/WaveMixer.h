#pragma once
#include "apperror.h"
#include "mixerbackend.h"

#include <QObject>
#include <QString>
#include <QStringList>
#include <array>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

class TAudioMixer;

// The kinds of control a line is searched for, in search order.
enum TMixerControlType { mcVolume = 0, mcMute = 1, mcSelect = 2, mcMix = 3 };
constexpr int MixerControlTypeCount = 4;

// The mixer's control type code of a kind.
quint32 mixerControlTypeCode(TMixerControlType kind);

// A set of control kinds.
class TMixerControlTypes {
public:
    bool contains(TMixerControlType kind) const { return (m_bits & bit(kind)) != 0; }
    void insert(TMixerControlType kind) { m_bits |= bit(kind); }
    void clear() { m_bits = 0; }
    bool isEmpty() const { return m_bits == 0; }
    bool operator==(const TMixerControlTypes&) const = default;

private:
    static unsigned bit(TMixerControlType kind) { return 1u << static_cast<unsigned>(kind); }
    unsigned m_bits = 0;
};

// The index error of a list: "List index out of bounds (%d)".
class EListError : public AppError {
public:
    explicit EListError(int index);
    int index() const { return m_index; }

private:
    int m_index;
};

// Windows' MulDiv: a * b / c rounded to the nearest integer (halves away from zero); -1 when c
// is 0 or the result does not fit.
int MulDiv(int a, int b, int c);

// A destination line or one of its source lines. Made, owned and freed by its mixer.
class TAudioMixerLine {
public:
    TAudioMixerLine(TAudioMixer& mixer, int sourceIndex);
    TAudioMixerLine(const TAudioMixerLine&) = delete;
    TAudioMixerLine& operator=(const TAudioMixerLine&) = delete;

    // -1 for the destination itself, otherwise the position among the destination's lines.
    int SourceIndex = -1;
    TAudioMixer* Mixer = nullptr;
    // The line as last read.
    MixerLineInfo LineInfo;
    // Outcome of the last call or check made for this line; 0 is success.
    MixerResult LastResult = MMSYSERR_NOERROR;
    TMixerControlTypes AvailableControls;
    // One record per kind; counts only if the kind is in AvailableControls.
    std::array<MixerControlInfo, MixerControlTypeCount> Controls{};

    QString Name() const;

    // 0 to 100, or -1 (no volume control, a failed read, a maximum of 0).
    int Volume();
    // Clamped to 0..100; does nothing without a volume control.
    void setVolume(int percent);

    // The SourceIndex of the connection the line's selector picks, or -1.
    int SelectedSource();
    // The SourceIndex of the connection named by item itemIndex of the selector of kind, or -1.
    int SourceOfItem(int itemIndex, TMixerControlType kind);
    // Whether id is one of the line's available controls, and then its kind.
    bool FindControl(quint32 controlId, TMixerControlType& kind) const;

    // Re-reads the line for source index sourceIndex (-1: the destination).
    void Refresh(int sourceIndex);

private:
    MixerBackend& backend() const;
    MixerHandle handle() const;
};

// One mixer device and one of its destinations, with the destination's source lines
// (connections). Never raises, except Connection with an index out of range.
//
// The backend's change notices reach WndProc for the open handle and come out as
// OnLineChange and OnControlChange, on the GUI thread.
//
// When the backend's device comes (later than the mixer, or back after the sound server was
// lost) the mixer reopens by itself, re-applies to each line of the same name the volume last
// written to it through the mixer (or changed elsewhere since), and announces the change as
// OnLineChange of the destination. While the device is gone the lines stay as last read, and
// their reads and writes fail; a volume written meanwhile is the one re-applied.
class TAudioMixer : public QObject {
    Q_OBJECT
    Q_PROPERTY(quint32 MixerID READ MixerID WRITE setMixerID)
    Q_PROPERTY(QString MixerName READ MixerName WRITE setMixerName STORED false)
    Q_PROPERTY(quint32 DestinationID READ DestinationID WRITE setDestinationID)
    Q_PROPERTY(QString DestinationName READ DestinationName WRITE setDestinationName STORED false)
public:
    // Opens device 0, destination 0 of backend. The backend must outlive the mixer.
    explicit TAudioMixer(MixerBackend& backend, QObject* owner = nullptr);
    ~TAudioMixer() override;

    MixerHandle Handle() const { return m_handle; }
    const MixerCaps& Caps() const { return m_caps; }
    MixerResult OpenResult() const { return m_openResult; }
    TAudioMixerLine& Destination() { return *m_destination; }
    const std::vector<std::unique_ptr<TAudioMixerLine>>& Connections() const
    {
        return m_connections;
    }

    quint32 MixerID() const { return m_mixerId; }
    void setMixerID(quint32 id);
    QString MixerName() const;
    void setMixerName(const QString& name);
    quint32 DestinationID() const { return m_destinationId; }
    void setDestinationID(quint32 id);
    QString DestinationName() const;
    void setDestinationName(const QString& name);

    int ListMixerNames(QStringList& list);
    int ListDestinationNames(QStringList& list);

    quint16 DeviceCount();
    quint16 DestinationCount() const;
    quint16 ConnectionCount() const;

    // The connection at index; throws EListError outside 0..ConnectionCount-1.
    TAudioMixerLine& Connection(int index);

    // Re-makes the connection lines; a full reopen also closes and reopens the device.
    // References to connection lines are invalid afterwards.
    void Reopen(bool destinationOnly);

    MixerBackend& backend() const { return m_backend; }

    // The volume held for a line (by destination and name) since it was written through the
    // mixer, or -1.
    int HeldVolume(const TAudioMixerLine& line) const;
    // A line's volume write: remembered for re-applying it on the device's return.
    void holdVolume(const TAudioMixerLine& line, int percent);

    // The notices of the device: MM_MIXM_LINE_CHANGE (wParam handle, lParam line id) and
    // MM_MIXM_CONTROL_CHANGE (wParam handle, lParam control id). Returns 0.
    static constexpr quint32 MM_MIXM_LINE_CHANGE = 0x3D0;
    static constexpr quint32 MM_MIXM_CONTROL_CHANGE = 0x3D1;
    virtual qintptr WndProc(quint32 msg, quintptr wParam, qintptr lParam);

signals:
    void OnLineChange(TAudioMixer* Sender, TAudioMixerLine* MixerLine);
    void OnControlChange(TAudioMixer* Sender, TAudioMixerLine* MixerLine,
                         TMixerControlType ControlType);

private:
    void freeConnections();
    void deviceChanged();
    std::pair<quint32, QString> heldKey(const TAudioMixerLine& line) const;

    MixerBackend& m_backend;
    MixerHandle m_handle = 0;
    quint32 m_mixerId = 0;
    MixerCaps m_caps;
    quint32 m_destinationId = 0;
    std::vector<std::unique_ptr<TAudioMixerLine>> m_connections;
    std::unique_ptr<TAudioMixerLine> m_destination;
    MixerResult m_openResult = MMSYSERR_NOERROR;
    std::map<std::pair<quint32, QString>, int> m_heldVolumes;
};

// What the console's volume bar and its label show once sign-in has chosen the console line.
struct ConsoleLineChoice {
    int line = -1;     // the console line's index among the connections
    int barValue = 75; // the bar's position
    int barMaximum = 100;
    QString label; // the line's volume as read back
};

// Sign-in's choice of the console line. Sets each connection, up to the first whose name holds
// "ALTOPARLANTI" (ASCII letters upper-cased), to 75 (the console's volume bar put at 75),
// takes that line (or the last one when no name matches) as the console line, stores its index
// in *volumeLineIndex when given (before the line is touched again), sets it to 75 and to the
// bar's position, and returns what the bar (maximum 100, position 75) and its label (the line's
// volume read back) must show. Throws EListError when the destination has no connections (the
// index is then -1).
ConsoleLineChoice chooseConsoleLine(TAudioMixer& mixer, int* volumeLineIndex = nullptr);

// The console's volume bar moved to barValue: connection volumeLineIndex takes it, and the
// return is the volume read back for the label; nothing when the line is not there (the label
// keeps its text; the cause is logged).
std::optional<QString> consoleVolumeBarChanged(TAudioMixer& mixer, int volumeLineIndex,
                                               int barValue);

// Follows the console line's volume when it changes elsewhere (another program, the sound
// server coming back): show gets the line's volume at each change. lineIndex gives the console
// line at each notice. A second call for the same context replaces the first; the link ends
// with the context or the mixer.
void followConsoleLine(TAudioMixer& mixer, std::function<int()> lineIndex, QObject& context,
                       std::function<void(int)> show);
