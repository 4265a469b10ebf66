// The mixer model on a real sound server started by the test (PulseAudio, or PipeWire with
// WL_SOUND_SERVER=pipewire): lines, write-through, change notices from outside, the console's
// bar following them, the recording source list, the console line, no server, and a server
// that goes away and comes back.
#include "WaveMixer.h"
#include "consolebar.h"
#include "pulsemixerbackend.h"
#include "pulseserver.h"

#include <QElapsedTimer>
#include <QLabel>
#include <QRegularExpression>
#include <QScrollBar>
#include <QThread>
#include <QtTest>

namespace {

struct ControlEvent {
    TAudioMixerLine* line;
    TMixerControlType kind;
    bool onGuiThread;
};

// The first channel's raw volume and percentage that pactl reports for a sink or source.
std::pair<int, int> pactlVolume(const PulseServer& pulse, const QString& what, const QString& name)
{
    const QString out = pulse.pactl({QStringLiteral("get-%1-volume").arg(what), name});
    const auto m = QRegularExpression(QStringLiteral("(\\d+) /\\s+(\\d+)%")).match(out);
    if (!m.hasMatch())
        return {-1, -1};
    return {m.captured(1).toInt(), m.captured(2).toInt()};
}

int indexOfLine(TAudioMixer& mixer, const QString& name)
{
    for (int i = 0; i < mixer.ConnectionCount(); ++i) {
        if (mixer.Connection(i).Name() == name)
            return i;
    }
    return -1;
}

} // namespace

class TestPulseMixer : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void cleanupTestCase();
    void init();
    void linesAreSinksAndSources();
    void volumeWritesThrough();
    void outsideChangesArriveAsNotices();
    void outsideVolumeMovesTheBarWithoutWritingBack();
    void selectorIsDefaultSource();
    void consoleLinePicksSpeakers();
    void noServerNoDevice();
    void serverGoingAway();
    void serverRestartBringsTheLinesBack();

private:
    std::unique_ptr<PulseServer> m_pulse;
    std::unique_ptr<PulseMixerBackend> m_backend;
    const QStringList m_sinks{QStringLiteral("cuffie"), QStringLiteral("alto"),
                              QStringLiteral("usb")};
};

void TestPulseMixer::initTestCase()
{
    m_pulse = std::make_unique<PulseServer>(
        QList<PulseServer::Sink>{{m_sinks[0], QStringLiteral("Cuffie")},
                                 {m_sinks[1], QStringLiteral("Altoparlanti di prova")},
                                 {m_sinks[2], QStringLiteral("Cuffie USB")}});
    QVERIFY2(m_pulse->isRunning(), qPrintable(m_pulse->error()));
    m_backend = std::make_unique<PulseMixerBackend>(m_pulse->serverAddress());
    QVERIFY2(m_backend->waitForConnected(10000), qPrintable(m_backend->lastErrorText()));
}

void TestPulseMixer::cleanupTestCase()
{
    m_backend.reset();
    m_pulse.reset();
}

void TestPulseMixer::init()
{
    bool ok = false;
    for (const QString& s : m_sinks) {
        m_pulse->pactl({QStringLiteral("set-sink-volume"), s, QStringLiteral("30%")}, &ok);
        QVERIFY(ok);
        m_pulse->pactl({QStringLiteral("set-sink-mute"), s, QStringLiteral("0")}, &ok);
        QVERIFY(ok);
    }
    m_pulse->pactl({QStringLiteral("set-default-source"), QStringLiteral("cuffie.monitor")}, &ok);
    QVERIFY(ok);
    // Let the events of the reset reach the cache before the test looks.
    TAudioMixer mixer(*m_backend);
    auto settled = [&] {
        for (const auto& line : mixer.Connections()) {
            std::vector<quint32> mute;
            m_backend->controlValues(mixer.Handle(), line->Controls[mcMute].controlId, 0, mute);
            if (line->Volume() != 30 || mute != std::vector<quint32>{0})
                return false;
        }
        return mixer.ConnectionCount() == 3;
    };
    QTRY_VERIFY(settled());
    mixer.setDestinationID(1);
    QTRY_COMPARE(mixer.Destination().SelectedSource(),
                 indexOfLine(mixer, QStringLiteral("Monitor of Cuffie")));
    QVERIFY(m_backend->waitForIdle(5000));
    QCoreApplication::processEvents(); // notices posted so far
}

void TestPulseMixer::linesAreSinksAndSources()
{
    TAudioMixer mixer(*m_backend);
    QVERIFY(mixer.Handle() != 0);
    QCOMPARE(mixer.DeviceCount(), 1);
    QCOMPARE(mixer.DestinationCount(), 2);
    QVERIFY(!mixer.MixerName().isEmpty());
    QCOMPARE(mixer.ConnectionCount(), 3);
    QCOMPARE(mixer.Connection(0).Name(), QStringLiteral("Cuffie"));
    QCOMPARE(mixer.Connection(1).Name(), QStringLiteral("Altoparlanti di prova"));
    QCOMPARE(mixer.Connection(2).Name(), QStringLiteral("Cuffie USB"));
    for (const auto& line : mixer.Connections()) {
        QVERIFY(line->AvailableControls.contains(mcVolume));
        QVERIFY(line->AvailableControls.contains(mcMute));
        QVERIFY(!line->AvailableControls.contains(mcSelect));
        QCOMPARE(line->Controls[mcVolume].maximum, 65536u);
        QCOMPARE(line->Volume(), 30);
    }
    QVERIFY(mixer.Destination().AvailableControls.isEmpty());

    mixer.setDestinationID(1);
    QCOMPARE(mixer.DestinationID(), 1u);
    QVERIFY(mixer.ConnectionCount() >= 3);
    QVERIFY(indexOfLine(mixer, QStringLiteral("Monitor of Altoparlanti di prova")) >= 0);
    QVERIFY(mixer.Destination().AvailableControls.contains(mcSelect));
    QCOMPARE(mixer.Destination().Controls[mcSelect].multipleItems,
             static_cast<quint32>(mixer.ConnectionCount()));
    for (const auto& line : mixer.Connections())
        QVERIFY(line->AvailableControls.contains(mcVolume));
}

void TestPulseMixer::volumeWritesThrough()
{
    TAudioMixer mixer(*m_backend);
    TAudioMixerLine& line = mixer.Connection(1);
    line.setVolume(75);
    QCOMPARE(line.LastResult, MMSYSERR_NOERROR);
    QCOMPARE(line.Volume(), 75); // at once, from the cache
    QVERIFY(m_backend->waitForPendingWrites(5000));
    QCOMPARE(pactlVolume(*m_pulse, QStringLiteral("sink"), m_sinks[1]), std::make_pair(49152, 75));
    // The other sinks are untouched.
    QCOMPARE(pactlVolume(*m_pulse, QStringLiteral("sink"), m_sinks[0]).second, 30);

    line.setVolume(150);
    QVERIFY(m_backend->waitForPendingWrites(5000));
    QCOMPARE(pactlVolume(*m_pulse, QStringLiteral("sink"), m_sinks[1]).second, 100);

    // The mute switch writes through too.
    TAudioMixerLine& other = mixer.Connection(2);
    const quint32 muteId = other.Controls[mcMute].controlId;
    QCOMPARE(m_backend->setControlValues(mixer.Handle(), muteId, 0, {1}), MMSYSERR_NOERROR);
    QVERIFY(m_backend->waitForPendingWrites(5000));
    QVERIFY(m_pulse->pactl({QStringLiteral("get-sink-mute"), m_sinks[2]}).contains("yes"));

    // A recording line.
    mixer.setDestinationID(1);
    const int monitor = indexOfLine(mixer, QStringLiteral("Monitor of Cuffie USB"));
    QVERIFY(monitor >= 0);
    mixer.Connection(monitor).setVolume(60);
    QVERIFY(m_backend->waitForPendingWrites(5000));
    QCOMPARE(pactlVolume(*m_pulse, QStringLiteral("source"), QStringLiteral("usb.monitor")).second,
             60);
    QCOMPARE(mixer.Connection(monitor).Volume(), 60);
}

void TestPulseMixer::outsideChangesArriveAsNotices()
{
    TAudioMixer mixer(*m_backend);
    std::vector<ControlEvent> events;
    QThread* gui = QThread::currentThread();
    connect(&mixer, &TAudioMixer::OnControlChange, this,
            [&](TAudioMixer*, TAudioMixerLine* l, TMixerControlType k) {
                events.push_back({l, k, QThread::currentThread() == gui});
            });
    bool ok = false;
    m_pulse->pactl({QStringLiteral("set-sink-volume"), m_sinks[0], QStringLiteral("40%")}, &ok);
    QVERIFY(ok);
    QTRY_VERIFY(!events.empty());
    QCOMPARE(events[0].line, &mixer.Connection(0));
    QCOMPARE(events[0].kind, mcVolume);
    QVERIFY(events[0].onGuiThread);
    QCOMPARE(mixer.Connection(0).Volume(), 40);

    events.clear();
    m_pulse->pactl({QStringLiteral("set-sink-mute"), m_sinks[2], QStringLiteral("1")}, &ok);
    QVERIFY(ok);
    QTRY_VERIFY(!events.empty());
    QCOMPARE(events[0].line, &mixer.Connection(2));
    QCOMPARE(events[0].kind, mcMute);

    // A new sink changes the playback destination's line.
    std::vector<TAudioMixerLine*> lines;
    connect(&mixer, &TAudioMixer::OnLineChange, this,
            [&](TAudioMixer*, TAudioMixerLine* l) { lines.push_back(l); });
    const QString module =
        m_pulse
            ->pactl({QStringLiteral("load-module"), QStringLiteral("module-null-sink"),
                     QStringLiteral("sink_name=extra")},
                    &ok)
            .trimmed();
    QVERIFY(ok);
    QTRY_VERIFY(!lines.empty());
    QCOMPARE(lines[0], &mixer.Destination());
    QCOMPARE(mixer.ConnectionCount(), 3); // read again only by a reopen
    mixer.Reopen(true);
    QCOMPARE(mixer.ConnectionCount(), 4);
    m_pulse->pactl({QStringLiteral("unload-module"), module}, &ok);
    QVERIFY(ok);
    QTRY_COMPARE(lines.size(), 2u);
    mixer.Reopen(true);
    QCOMPARE(mixer.ConnectionCount(), 3);
}

void TestPulseMixer::outsideVolumeMovesTheBarWithoutWritingBack()
{
    TAudioMixer mixer(*m_backend);
    QScrollBar scb(Qt::Vertical);
    scb.setRange(0, 100);
    scb.setValue(75);
    QLabel lbvol;
    int index = -1;
    const ConsoleLineChoice choice = chooseConsoleLine(mixer, &index);
    showChoice(choice, scb, lbvol);
    QCOMPARE(choice.line, 1);
    // Wired as the console wires it: a move of the bar writes the line.
    connect(&scb, &QScrollBar::valueChanged, this, [&] { showVolume(mixer, index, scb, lbvol); });
    followWith(
        mixer, [&] { return index; }, scb, lbvol);
    QVERIFY(m_backend->waitForIdle(5000));

    // A raw value no percentage maps to: a write back from the bar would change it.
    constexpr int raw = 21823; // 33.3 %
    QElapsedTimer clock;
    clock.start();
    bool ok = false;
    m_pulse->pactl({QStringLiteral("set-sink-volume"), m_sinks[1], QString::number(raw)}, &ok);
    QVERIFY(ok);
    QTRY_COMPARE(scb.value(), 33);
    qInfo("bar followed an outside change in %lld ms (pactl's own run included)",
          static_cast<long long>(clock.elapsed()));
    QCOMPARE(lbvol.text(), QStringLiteral("33"));
    QCOMPARE(mixer.Connection(index).Volume(), 33);
    QVERIFY(m_backend->waitForIdle(5000));
    QCOMPARE(pactlVolume(*m_pulse, QStringLiteral("sink"), m_sinks[1]).first, raw);

    // Another line's change leaves the bar alone.
    m_pulse->pactl({QStringLiteral("set-sink-volume"), m_sinks[0], QStringLiteral("90%")}, &ok);
    QVERIFY(ok);
    QTRY_COMPARE(mixer.Connection(0).Volume(), 90);
    QCOMPARE(scb.value(), 33);
}

void TestPulseMixer::selectorIsDefaultSource()
{
    TAudioMixer mixer(*m_backend);
    mixer.setDestinationID(1);
    TAudioMixerLine& dest = mixer.Destination();
    const int cuffie = indexOfLine(mixer, QStringLiteral("Monitor of Cuffie"));
    const int alto = indexOfLine(mixer, QStringLiteral("Monitor of Altoparlanti di prova"));
    QVERIFY(cuffie >= 0 && alto >= 0);
    QCOMPARE(dest.SelectedSource(), cuffie);
    QCOMPARE(dest.SourceOfItem(alto, mcSelect), alto);

    // Setting the list sets the default source.
    const MixerControlInfo& mux = dest.Controls[mcSelect];
    std::vector<quint32> values(mux.multipleItems, 0);
    values[static_cast<std::size_t>(alto)] = 1;
    QCOMPARE(m_backend->setControlValues(mixer.Handle(), mux.controlId, mux.multipleItems, values),
             MMSYSERR_NOERROR);
    QCOMPARE(dest.SelectedSource(), alto);
    QVERIFY(m_backend->waitForPendingWrites(5000));
    QCOMPARE(m_pulse->pactl({QStringLiteral("get-default-source")}).trimmed(),
             QStringLiteral("alto.monitor"));
    QCOMPARE(m_backend->setControlValues(mixer.Handle(), mux.controlId, mux.multipleItems,
                                         std::vector<quint32>(mux.multipleItems, 0)),
             MIXERR_INVALVALUE);

    // And a default chosen outside arrives as a notice of the list.
    std::vector<ControlEvent> events;
    connect(&mixer, &TAudioMixer::OnControlChange, this,
            [&](TAudioMixer*, TAudioMixerLine* l, TMixerControlType k) {
                events.push_back({l, k, true});
            });
    bool ok = false;
    m_pulse->pactl({QStringLiteral("set-default-source"), QStringLiteral("usb.monitor")}, &ok);
    QVERIFY(ok);
    QTRY_VERIFY(!events.empty());
    QCOMPARE(events[0].line, &mixer.Destination());
    QCOMPARE(events[0].kind, mcSelect);
    QCOMPARE(dest.SelectedSource(), indexOfLine(mixer, QStringLiteral("Monitor of Cuffie USB")));
}

void TestPulseMixer::consoleLinePicksSpeakers()
{
    TAudioMixer mixer(*m_backend);
    QScrollBar scb(Qt::Vertical);
    scb.setRange(0, 100);
    scb.setValue(75);
    QLabel lbvol;
    int index = -1;
    const ConsoleLineChoice choice = chooseConsoleLine(mixer, &index);
    showChoice(choice, scb, lbvol);
    QCOMPARE(choice.line, 1);
    QCOMPARE(index, 1);
    QCOMPARE(lbvol.text(), QStringLiteral("75"));
    QVERIFY(m_backend->waitForPendingWrites(5000));
    QCOMPARE(pactlVolume(*m_pulse, QStringLiteral("sink"), m_sinks[0]).second, 75);
    QCOMPARE(pactlVolume(*m_pulse, QStringLiteral("sink"), m_sinks[1]).second, 75);
    QCOMPARE(pactlVolume(*m_pulse, QStringLiteral("sink"), m_sinks[2]).second, 30);

    scb.setValue(20);
    showVolume(mixer, index, scb, lbvol);
    QCOMPARE(lbvol.text(), QStringLiteral("20"));
    QVERIFY(m_backend->waitForPendingWrites(5000));
    QCOMPARE(pactlVolume(*m_pulse, QStringLiteral("sink"), m_sinks[1]).second, 20);
}

void TestPulseMixer::noServerNoDevice()
{
    QTemporaryDir dir;
    PulseMixerBackend backend(QStringLiteral("unix:") + dir.path() + QStringLiteral("/none"));
    QVERIFY(!backend.isConnected());
    QTRY_VERIFY(!backend.lastErrorText().isEmpty());
    QCOMPARE(backend.deviceCount(), 0u);
    TAudioMixer mixer(backend);
    QCOMPARE(mixer.Handle(), MixerHandle(0));
    QVERIFY(mixer.OpenResult() != MMSYSERR_NOERROR);
    QCOMPARE(mixer.ConnectionCount(), 0);
    QScrollBar scb;
    QLabel lbvol(QStringLiteral("75"));
    showVolume(mixer, 0, scb, lbvol);
    QCOMPARE(lbvol.text(), QStringLiteral("75"));
    QVERIFY_THROWS_EXCEPTION(EListError, showChoice(chooseConsoleLine(mixer), scb, lbvol));
}

void TestPulseMixer::serverGoingAway()
{
    auto pulse = std::make_unique<PulseServer>(
        QList<PulseServer::Sink>{{QStringLiteral("x"), QStringLiteral("Altoparlanti")}});
    QVERIFY2(pulse->isRunning(), qPrintable(pulse->error()));
    PulseMixerBackend backend(pulse->serverAddress());
    QVERIFY(backend.waitForConnected(10000));
    TAudioMixer mixer(backend);
    QCOMPARE(mixer.ConnectionCount(), 1);
    QCOMPARE(mixer.Connection(0).Volume(), 100);
    std::vector<TAudioMixerLine*> lines;
    connect(&mixer, &TAudioMixer::OnLineChange, this,
            [&](TAudioMixer*, TAudioMixerLine* l) { lines.push_back(l); });
    pulse.reset();
    QTRY_VERIFY(!backend.isConnected());
    QTRY_VERIFY(!lines.empty());
    QCOMPARE(lines[0], &mixer.Destination());
    QCOMPARE(mixer.Connection(0).Volume(), -1);
    QCOMPARE(mixer.Connection(0).LastResult, MMSYSERR_NODRIVER);
    mixer.Connection(0).setVolume(50);
    QCOMPARE(mixer.Connection(0).LastResult, MMSYSERR_NODRIVER);
    mixer.Reopen(false);
    QCOMPARE(mixer.Handle(), MixerHandle(0));
    QCOMPARE(mixer.ConnectionCount(), 0);
}

void TestPulseMixer::serverRestartBringsTheLinesBack()
{
    PulseServer pulse(
        QList<PulseServer::Sink>{{QStringLiteral("x"), QStringLiteral("Cuffie")},
                                 {QStringLiteral("y"), QStringLiteral("Altoparlanti")}});
    QVERIFY2(pulse.isRunning(), qPrintable(pulse.error()));
    PulseMixerBackend backend(pulse.serverAddress());
    QVERIFY(backend.waitForConnected(10000));
    TAudioMixer mixer(backend);
    QScrollBar scb(Qt::Vertical);
    scb.setRange(0, 100);
    QLabel lbvol;
    int index = -1;
    const ConsoleLineChoice choice = chooseConsoleLine(mixer, &index);
    showChoice(choice, scb, lbvol);
    QCOMPARE(choice.line, 1);
    scb.setValue(40);
    showVolume(mixer, index, scb, lbvol);
    QVERIFY(backend.waitForPendingWrites(5000));
    QCOMPARE(pactlVolume(pulse, QStringLiteral("sink"), QStringLiteral("y")).second, 40);

    QVERIFY2(pulse.kill(), qPrintable(pulse.error()));
    QTRY_VERIFY(!backend.isConnected());
    // The owner moves the bar while the server is down: that is the volume to come back.
    scb.setValue(55);
    showVolume(mixer, index, scb, lbvol);
    QVERIFY2(pulse.restart(), qPrintable(pulse.error()));
    QTRY_VERIFY_WITH_TIMEOUT(backend.isConnected(), 10000);
    QElapsedTimer now;
    now.start();
    qInfo("mixer back %lld ms after the %s server was back",
          static_cast<long long>(now.msecsSinceReference() - pulse.backAtMs()),
          qPrintable(pulse.kindName()));
    QCOMPARE(backend.connectionCount(), 2);

    // The mixer reopened by itself, with the lines in their places and their volumes.
    QTRY_COMPARE(mixer.ConnectionCount(), 2);
    QCOMPARE(mixer.Connection(index).Name(), QStringLiteral("Altoparlanti"));
    QVERIFY(backend.waitForPendingWrites(5000));
    QCOMPARE(pactlVolume(pulse, QStringLiteral("sink"), QStringLiteral("y")).second, 55);
    QCOMPARE(pactlVolume(pulse, QStringLiteral("sink"), QStringLiteral("x")).second, 75);

    // And a write lands.
    scb.setValue(20);
    showVolume(mixer, index, scb, lbvol);
    QCOMPARE(lbvol.text(), QStringLiteral("20"));
    QVERIFY(backend.waitForPendingWrites(5000));
    QCOMPARE(pactlVolume(pulse, QStringLiteral("sink"), QStringLiteral("y")).second, 20);
}

QTEST_MAIN(TestPulseMixer)
#include "tst_pulsemixer.moc"
