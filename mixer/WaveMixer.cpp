#include "WaveMixer.h"

#include "wllog.h"

#include <limits>

quint32 mixerControlTypeCode(TMixerControlType kind)
{
    switch (kind) {
    case mcVolume:
        return MIXERCONTROL_CONTROLTYPE_VOLUME;
    case mcMute:
        return MIXERCONTROL_CONTROLTYPE_MUTE;
    case mcSelect:
        return MIXERCONTROL_CONTROLTYPE_MUX;
    case mcMix:
        return MIXERCONTROL_CONTROLTYPE_MIXER;
    }
    return 0;
}

static constexpr std::array<TMixerControlType, MixerControlTypeCount> allKinds{mcVolume, mcMute,
                                                                               mcSelect, mcMix};

EListError::EListError(int index)
    : AppError(QStringLiteral("List index out of bounds (%1)").arg(index)), m_index(index)
{}

int MulDiv(int a, int b, int c)
{
    if (c == 0)
        return -1;
    qint64 n = static_cast<qint64>(a) * b;
    qint64 d = c;
    if (d < 0) {
        n = -n;
        d = -d;
    }
    const qint64 r = n >= 0 ? (n + d / 2) / d : (n - d / 2) / d;
    if (r > std::numeric_limits<qint32>::max() || r < -std::numeric_limits<qint32>::max())
        return -1;
    return static_cast<int>(r);
}

// ---------------------------------------------------------------------------------------------
// TAudioMixerLine

TAudioMixerLine::TAudioMixerLine(TAudioMixer& mixer, int sourceIndex) : Mixer(&mixer)
{
    Refresh(sourceIndex);
}

MixerBackend& TAudioMixerLine::backend() const
{
    return Mixer->backend();
}

MixerHandle TAudioMixerLine::handle() const
{
    return Mixer->Handle();
}

QString TAudioMixerLine::Name() const
{
    return LineInfo.name.left(MixerLineNameChars);
}

void TAudioMixerLine::Refresh(int sourceIndex)
{
    SourceIndex = sourceIndex;
    LineInfo = MixerLineInfo{};
    LineInfo.destination = Mixer->DestinationID();
    if (sourceIndex >= 0) {
        LineInfo.source = static_cast<quint32>(sourceIndex);
        LastResult =
            backend().sourceLine(handle(), LineInfo.destination, LineInfo.source, LineInfo);
    } else {
        LastResult = backend().destinationLine(handle(), LineInfo.destination, LineInfo);
    }
    if (LastResult != MMSYSERR_NOERROR)
        LineInfo.connections = 0;
    AvailableControls.clear();
    if (LastResult != MMSYSERR_NOERROR)
        return;
    for (TMixerControlType kind : allKinds) {
        MixerControlInfo& c = Controls[kind];
        c = MixerControlInfo{};
        if (backend().lineControl(handle(), LineInfo.lineId, mixerControlTypeCode(kind), c) ==
            MMSYSERR_NOERROR)
            AvailableControls.insert(kind);
        else
            c = MixerControlInfo{};
    }
}

int TAudioMixerLine::Volume()
{
    LastResult = MIXERR_INVALCONTROL;
    if (!AvailableControls.contains(mcVolume))
        return -1;
    const MixerControlInfo& c = Controls[mcVolume];
    std::vector<quint32> values(1, 0);
    LastResult = backend().controlValues(handle(), c.controlId, 0, values);
    if (LastResult != MMSYSERR_NOERROR || values.empty())
        return -1;
    return MulDiv(static_cast<int>(values[0]), 100, static_cast<int>(c.maximum));
}

void TAudioMixerLine::setVolume(int percent)
{
    LastResult = MIXERR_INVALCONTROL;
    if (!AvailableControls.contains(mcVolume))
        return;
    percent = std::clamp(percent, 0, 100);
    const MixerControlInfo& c = Controls[mcVolume];
    const int value = MulDiv(static_cast<int>(c.maximum), percent, 100);
    Mixer->holdVolume(*this, percent);
    LastResult =
        backend().setControlValues(handle(), c.controlId, 0, {static_cast<quint32>(value)});
}

int TAudioMixerLine::SelectedSource()
{
    TMixerControlType kind;
    if (AvailableControls.contains(mcMix)) {
        kind = mcMix;
    } else if (AvailableControls.contains(mcSelect)) {
        kind = mcSelect;
    } else {
        LastResult = MIXERR_INVALCONTROL;
        return -1;
    }
    const MixerControlInfo& c = Controls[kind];
    const quint32 n = c.multipleItems;
    std::vector<quint32> values(n, 0);
    LastResult = backend().controlValues(handle(), c.controlId, n, values);
    if (LastResult != MMSYSERR_NOERROR)
        return -1;
    for (quint32 i = 0; i < n && i < values.size(); ++i) {
        if ((values[i] & 0xFF) != 0)
            return SourceOfItem(static_cast<int>(i), kind);
    }
    return -1;
}

int TAudioMixerLine::SourceOfItem(int itemIndex, TMixerControlType kind)
{
    if (!AvailableControls.contains(kind)) {
        LastResult = MIXERR_INVALCONTROL;
        return -1;
    }
    const MixerControlInfo& c = Controls[kind];
    const auto i = static_cast<quint32>(itemIndex);
    if (i >= c.multipleItems) {
        LastResult = MMSYSERR_INVALPARAM;
        return -1;
    }
    QStringList texts;
    LastResult = backend().controlItemTexts(handle(), c.controlId, c.multipleItems, texts);
    if (LastResult != MMSYSERR_NOERROR || i >= static_cast<quint32>(texts.size()))
        return -1;
    const QString item = texts.at(static_cast<qsizetype>(i)).left(MixerLineNameChars);
    for (const auto& line : Mixer->Connections()) {
        if (line->Name() == item)
            return line->SourceIndex;
    }
    return -1;
}

bool TAudioMixerLine::FindControl(quint32 controlId, TMixerControlType& kind) const
{
    for (TMixerControlType k : allKinds) {
        if (AvailableControls.contains(k) && Controls[k].controlId == controlId) {
            kind = k;
            return true;
        }
    }
    return false;
}

// ---------------------------------------------------------------------------------------------
// TAudioMixer

TAudioMixer::TAudioMixer(MixerBackend& backend, QObject* owner) : QObject(owner), m_backend(backend)
{
    // The device's notices come in as queued or direct signals on the GUI thread; they are
    // handled as the notice window's messages.
    connect(&m_backend, &MixerBackend::lineChange, this, [this](MixerHandle h, quint32 lineId) {
        WndProc(MM_MIXM_LINE_CHANGE, h, static_cast<qintptr>(lineId));
    });
    connect(&m_backend, &MixerBackend::controlChange, this,
            [this](MixerHandle h, quint32 controlId) {
                WndProc(MM_MIXM_CONTROL_CHANGE, h, static_cast<qintptr>(controlId));
            });
    connect(&m_backend, &MixerBackend::deviceChange, this, &TAudioMixer::deviceChanged);
    // The device is not open yet: this first read fails and finds no controls.
    m_destination = std::make_unique<TAudioMixerLine>(*this, -1);
    Reopen(false);
}

TAudioMixer::~TAudioMixer()
{
    freeConnections();
    m_destination.reset();
    if (m_handle != 0) {
        m_backend.close(m_handle);
        m_handle = 0;
    }
}

void TAudioMixer::freeConnections()
{
    while (!m_connections.empty())
        m_connections.pop_back();
}

void TAudioMixer::Reopen(bool destinationOnly)
{
    freeConnections();
    if (!destinationOnly) {
        if (m_handle != 0) {
            m_backend.close(m_handle);
            m_handle = 0;
        }
        m_caps = MixerCaps{};
        if (m_backend.deviceCaps(m_mixerId, m_caps) != MMSYSERR_NOERROR)
            m_caps = MixerCaps{};
        MixerHandle h = 0;
        m_openResult = m_backend.open(m_mixerId, h);
        m_handle = m_openResult == MMSYSERR_NOERROR ? h : 0;
    }
    if (m_destinationId >= DestinationCount())
        m_destinationId = 0;
    m_destination->Refresh(-1);
    const int n = ConnectionCount();
    for (int i = 0; i < n; ++i)
        m_connections.push_back(std::make_unique<TAudioMixerLine>(*this, i));
}

std::pair<quint32, QString> TAudioMixer::heldKey(const TAudioMixerLine& line) const
{
    return {line.LineInfo.destination, line.Name()};
}

int TAudioMixer::HeldVolume(const TAudioMixerLine& line) const
{
    const auto it = m_heldVolumes.find(heldKey(line));
    return it == m_heldVolumes.end() ? -1 : it->second;
}

void TAudioMixer::holdVolume(const TAudioMixerLine& line, int percent)
{
    if (line.SourceIndex >= 0)
        m_heldVolumes[heldKey(line)] = percent;
}

void TAudioMixer::deviceChanged()
{
    // Gone: the lines stay as last read and fail until the device is back.
    if (m_backend.deviceCount() <= m_mixerId)
        return;
    // Opened on the device as it is now already (made after it came): nothing to do.
    MixerLineInfo probe;
    if (m_handle != 0 &&
        m_backend.destinationLine(m_handle, m_destinationId, probe) == MMSYSERR_NOERROR)
        return;
    Reopen(false);
    if (m_handle == 0) {
        qCWarning(lcMixer, "mixer device %u did not open (result %u)", m_mixerId, m_openResult);
        return;
    }
    int reapplied = 0;
    for (const auto& line : m_connections) {
        const int held = HeldVolume(*line);
        if (held < 0)
            continue;
        line->setVolume(held);
        if (line->LastResult == MMSYSERR_NOERROR)
            ++reapplied;
        else
            qCWarning(lcMixer, "volume %d%% not re-applied to \"%s\" (result %u)", held,
                      qUtf8Printable(line->Name()), line->LastResult);
    }
    qCInfo(lcMixer, "mixer open on \"%s\": %u lines, %d volumes re-applied",
           qUtf8Printable(MixerName()), ConnectionCount(), reapplied);
    emit OnLineChange(this, m_destination.get());
}

void TAudioMixer::setMixerID(quint32 id)
{
    if (id == m_mixerId || id >= DeviceCount())
        return;
    m_mixerId = id;
    Reopen(false);
}

QString TAudioMixer::MixerName() const
{
    return m_caps.name.left(MixerDeviceNameChars);
}

void TAudioMixer::setMixerName(const QString& name)
{
    if (name == MixerName())
        return;
    QStringList names;
    ListMixerNames(names);
    for (qsizetype i = 0; i < names.size(); ++i) {
        if (names.at(i).compare(name, Qt::CaseInsensitive) == 0) {
            setMixerID(static_cast<quint32>(i));
            return;
        }
    }
}

void TAudioMixer::setDestinationID(quint32 id)
{
    if (id == m_destinationId)
        return;
    m_destinationId = id;
    Reopen(true);
}

QString TAudioMixer::DestinationName() const
{
    return m_destination->Name();
}

void TAudioMixer::setDestinationName(const QString& name)
{
    if (name == DestinationName())
        return;
    QStringList names;
    ListDestinationNames(names);
    for (qsizetype i = 0; i < names.size(); ++i) {
        if (names.at(i).compare(name, Qt::CaseInsensitive) == 0) {
            setDestinationID(static_cast<quint32>(i));
            return;
        }
    }
}

int TAudioMixer::ListMixerNames(QStringList& list)
{
    const quint32 n = m_backend.deviceCount();
    for (quint32 id = 0; id < n; ++id) {
        MixerCaps caps;
        if (m_backend.deviceCaps(id, caps) != MMSYSERR_NOERROR)
            caps = MixerCaps{};
        list.append(caps.name.left(MixerDeviceNameChars));
    }
    return static_cast<int>(n);
}

int TAudioMixer::ListDestinationNames(QStringList& list)
{
    const quint32 n = m_caps.destinations;
    for (quint32 d = 0; d < n; ++d) {
        MixerLineInfo line;
        if (m_backend.destinationLine(m_handle, d, line) != MMSYSERR_NOERROR)
            line = MixerLineInfo{};
        list.append(line.name.left(MixerLineNameChars));
    }
    return static_cast<int>(n);
}

quint16 TAudioMixer::DeviceCount()
{
    return static_cast<quint16>(m_backend.deviceCount());
}

quint16 TAudioMixer::DestinationCount() const
{
    return static_cast<quint16>(m_caps.destinations);
}

quint16 TAudioMixer::ConnectionCount() const
{
    return static_cast<quint16>(m_destination->LineInfo.connections);
}

TAudioMixerLine& TAudioMixer::Connection(int index)
{
    if (index < 0 || index >= ConnectionCount() ||
        static_cast<std::size_t>(index) >= m_connections.size())
        throw EListError(index);
    return *m_connections[static_cast<std::size_t>(index)];
}

qintptr TAudioMixer::WndProc(quint32 msg, quintptr wParam, qintptr lParam)
{
    if (msg == MM_MIXM_LINE_CHANGE) {
        if (wParam == m_handle && m_handle != 0) {
            const auto lineId = static_cast<quint32>(lParam);
            if (m_destination->LineInfo.lineId == lineId) {
                emit OnLineChange(this, m_destination.get());
            } else {
                for (const auto& line : m_connections) {
                    if (line->LineInfo.lineId == lineId) {
                        emit OnLineChange(this, line.get());
                        break;
                    }
                }
            }
        }
        return 0;
    }
    if (msg == MM_MIXM_CONTROL_CHANGE) {
        if (wParam == m_handle && m_handle != 0) {
            const auto controlId = static_cast<quint32>(lParam);
            TMixerControlType kind;
            if (m_destination->FindControl(controlId, kind)) {
                emit OnControlChange(this, m_destination.get(), kind);
            } else {
                for (const auto& line : m_connections) {
                    if (line->FindControl(controlId, kind)) {
                        if (kind == mcVolume && HeldVolume(*line) >= 0) {
                            // A change made elsewhere is what the line holds from now on.
                            const MixerResult last = line->LastResult;
                            const int now = line->Volume();
                            line->LastResult = last;
                            if (now >= 0)
                                holdVolume(*line, now);
                        }
                        emit OnControlChange(this, line.get(), kind);
                        break;
                    }
                }
            }
        }
        return 0;
    }
    // Nothing else reaches the notice window.
    return 0;
}

// ---------------------------------------------------------------------------------------------
// The console line

static QString asciiUpper(const QString& s)
{
    QString r = s;
    for (QChar& c : r) {
        if (c >= QLatin1Char('a') && c <= QLatin1Char('z'))
            c = QChar(c.unicode() - 'a' + 'A');
    }
    return r;
}

ConsoleLineChoice chooseConsoleLine(TAudioMixer& mixer, int* volumeLineIndex)
{
    static const QString word = asciiUpper(QStringLiteral("altoparlanti"));
    ConsoleLineChoice choice;
    int line = -1;
    for (int i = 0; i < mixer.ConnectionCount(); ++i) {
        mixer.Connection(i).setVolume(choice.barValue);
        if (asciiUpper(mixer.Connection(i).Name()).contains(word)) {
            line = i;
            break;
        }
    }
    if (line < 0)
        line = mixer.ConnectionCount() - 1;
    if (volumeLineIndex)
        *volumeLineIndex = line;
    mixer.Connection(line).setVolume(75);
    mixer.Connection(line).setVolume(choice.barValue);
    choice.line = line;
    choice.label = QString::number(mixer.Connection(line).Volume());
    return choice;
}

std::optional<QString> consoleVolumeBarChanged(TAudioMixer& mixer, int volumeLineIndex,
                                               int barValue)
{
    try {
        TAudioMixerLine& line = mixer.Connection(volumeLineIndex);
        line.setVolume(barValue);
        return QString::number(line.Volume());
    } catch (const EListError& e) {
        // The bar keeps working whatever the mixer says; the label keeps its text.
        qCWarning(lcMixer).noquote() << "the volume bar has no console line:" << e.text();
        return std::nullopt;
    }
}

void followConsoleLine(TAudioMixer& mixer, std::function<int()> lineIndex, QObject& context,
                       std::function<void(int)> show)
{
    static const QString linkName = QStringLiteral("consoleLineFollower");
    delete context.findChild<QObject*>(linkName, Qt::FindDirectChildrenOnly);
    auto* link = new QObject(&context);
    link->setObjectName(linkName);
    auto follow = [&mixer, lineIndex = std::move(lineIndex),
                   show = std::move(show)](TAudioMixerLine* changed) {
        const int index = lineIndex();
        if (index < 0 || index >= static_cast<int>(mixer.Connections().size()))
            return;
        TAudioMixerLine& line = *mixer.Connections()[static_cast<std::size_t>(index)];
        if (changed && changed != &line)
            return;
        const int volume = line.Volume();
        if (volume >= 0)
            show(volume);
    };
    QObject::connect(&mixer, &TAudioMixer::OnControlChange, link,
                     [follow](TAudioMixer*, TAudioMixerLine* line, TMixerControlType kind) {
                         if (kind == mcVolume)
                             follow(line);
                     });
    QObject::connect(&mixer, &TAudioMixer::OnLineChange, link,
                     [follow, &mixer](TAudioMixer*, TAudioMixerLine* line) {
                         // The lines were made again (the device is back): show the console's.
                         if (line == &mixer.Destination())
                             follow(nullptr);
                     });
}
