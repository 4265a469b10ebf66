#include "fakemixerbackend.h"

FakeMixerBackend::Control FakeMixerBackend::volume(quint32 id, quint32 maximum, quint32 value)
{
    Control c;
    c.id = id;
    c.type = MIXERCONTROL_CONTROLTYPE_VOLUME;
    c.maximum = maximum;
    c.values = {value};
    return c;
}

FakeMixerBackend::Control FakeMixerBackend::mute(quint32 id, bool on)
{
    Control c;
    c.id = id;
    c.type = MIXERCONTROL_CONTROLTYPE_MUTE;
    c.maximum = 1;
    c.values = {on ? 1u : 0u};
    return c;
}

FakeMixerBackend::Control FakeMixerBackend::selector(quint32 id, quint32 type,
                                                     const QStringList& texts,
                                                     const std::vector<quint32>& values)
{
    Control c;
    c.id = id;
    c.type = type;
    c.items = static_cast<quint32>(texts.size());
    c.maximum = 1;
    c.texts = texts;
    c.values = values;
    return c;
}

void FakeMixerBackend::layOutSoundCard(const QStringList& sources)
{
    Destination d;
    d.line = {100, QStringLiteral("Riproduzione"), {volume(1000)}};
    for (int i = 0; i < sources.size(); ++i)
        d.sources.push_back({quint32(101 + i), sources[i], {volume(quint32(1001 + i))}});
    devices = {{QStringLiteral("Scheda audio di prova"), {d}}};
}

void FakeMixerBackend::layOutThreeLines()
{
    layOutSoundCard({QStringLiteral("Line In"), QStringLiteral("Altoparlanti (scheda)"),
                     QStringLiteral("Microfono")});
}

FakeMixerBackend::Control* FakeMixerBackend::control(quint32 id)
{
    for (Device& d : devices) {
        if (Control* c = controlOf(d, id))
            return c;
    }
    return nullptr;
}

quint32 FakeMixerBackend::value(quint32 controlId)
{
    Control* c = control(controlId);
    return c && !c->values.empty() ? c->values[0] : 0;
}

FakeMixerBackend::Device* FakeMixerBackend::deviceOf(MixerHandle handle)
{
    auto it = m_open.find(handle);
    if (it == m_open.end() || it->second >= devices.size())
        return nullptr;
    return &devices[it->second];
}

FakeMixerBackend::Line* FakeMixerBackend::lineOf(Device& d, quint32 lineId)
{
    for (Destination& dest : d.destinations) {
        if (dest.line.id == lineId)
            return &dest.line;
        for (Line& l : dest.sources) {
            if (l.id == lineId)
                return &l;
        }
    }
    return nullptr;
}

FakeMixerBackend::Control* FakeMixerBackend::controlOf(Device& d, quint32 controlId)
{
    auto find = [controlId](Line& l) -> Control* {
        for (Control& c : l.controls) {
            if (c.id == controlId)
                return &c;
        }
        return nullptr;
    };
    for (Destination& dest : d.destinations) {
        if (Control* c = find(dest.line))
            return c;
        for (Line& l : dest.sources) {
            if (Control* c = find(l))
                return c;
        }
    }
    return nullptr;
}

quint32 FakeMixerBackend::deviceCount()
{
    return static_cast<quint32>(devices.size());
}

MixerResult FakeMixerBackend::deviceCaps(quint32 deviceId, MixerCaps& caps)
{
    caps = MixerCaps{};
    if (deviceId >= devices.size())
        return MMSYSERR_BADDEVICEID;
    caps.name = devices[deviceId].name;
    caps.destinations = static_cast<quint32>(devices[deviceId].destinations.size());
    return MMSYSERR_NOERROR;
}

MixerResult FakeMixerBackend::open(quint32 deviceId, MixerHandle& handle)
{
    ++opens;
    handle = 0;
    if (deviceId >= devices.size())
        return MMSYSERR_BADDEVICEID;
    handle = m_nextHandle++;
    m_open[handle] = deviceId;
    m_lastHandle = handle;
    return MMSYSERR_NOERROR;
}

void FakeMixerBackend::close(MixerHandle handle)
{
    ++closes;
    m_open.erase(handle);
}

MixerResult FakeMixerBackend::destinationLine(MixerHandle handle, quint32 destination,
                                              MixerLineInfo& line)
{
    Device* d = deviceOf(handle);
    if (!d)
        return MMSYSERR_INVALHANDLE;
    if (destination >= d->destinations.size())
        return MMSYSERR_INVALPARAM;
    const Destination& dest = d->destinations[destination];
    line.destination = destination;
    line.lineId = dest.line.id;
    line.name = dest.line.name;
    line.connections = static_cast<quint32>(dest.sources.size());
    return MMSYSERR_NOERROR;
}

MixerResult FakeMixerBackend::sourceLine(MixerHandle handle, quint32 destination, quint32 source,
                                         MixerLineInfo& line)
{
    Device* d = deviceOf(handle);
    if (!d)
        return MMSYSERR_INVALHANDLE;
    if (destination >= d->destinations.size() ||
        source >= d->destinations[destination].sources.size())
        return MMSYSERR_INVALPARAM;
    const Line& l = d->destinations[destination].sources[source];
    line.destination = destination;
    line.source = source;
    line.lineId = l.id;
    line.name = l.name;
    line.connections = 0;
    return MMSYSERR_NOERROR;
}

MixerResult FakeMixerBackend::lineControl(MixerHandle handle, quint32 lineId, quint32 controlType,
                                          MixerControlInfo& control)
{
    Device* d = deviceOf(handle);
    if (!d)
        return MMSYSERR_INVALHANDLE;
    Line* l = lineOf(*d, lineId);
    if (!l)
        return MIXERR_INVALLINE;
    for (const Control& c : l->controls) {
        if (c.type == controlType) {
            control.controlId = c.id;
            control.controlType = c.type;
            control.multipleItems = c.items;
            control.minimum = 0;
            control.maximum = c.maximum;
            return MMSYSERR_NOERROR;
        }
    }
    return MIXERR_INVALCONTROL;
}

MixerResult FakeMixerBackend::controlValues(MixerHandle handle, quint32 controlId, quint32 items,
                                            std::vector<quint32>& values)
{
    Device* d = deviceOf(handle);
    if (!d)
        return MMSYSERR_INVALHANDLE;
    Control* c = controlOf(*d, controlId);
    if (!c)
        return MIXERR_INVALCONTROL;
    if (c->readResult != MMSYSERR_NOERROR)
        return c->readResult;
    values.assign(std::max<quint32>(items, 1), 0);
    for (std::size_t i = 0; i < values.size() && i < c->values.size(); ++i)
        values[i] = c->values[i];
    return MMSYSERR_NOERROR;
}

MixerResult FakeMixerBackend::controlItemTexts(MixerHandle handle, quint32 controlId, quint32 items,
                                               QStringList& texts)
{
    Device* d = deviceOf(handle);
    if (!d)
        return MMSYSERR_INVALHANDLE;
    Control* c = controlOf(*d, controlId);
    if (!c)
        return MIXERR_INVALCONTROL;
    if (c->readResult != MMSYSERR_NOERROR)
        return c->readResult;
    texts.clear();
    for (quint32 i = 0; i < items; ++i)
        texts.append(i < static_cast<quint32>(c->texts.size()) ? c->texts.at(i) : QString());
    return MMSYSERR_NOERROR;
}

MixerResult FakeMixerBackend::setControlValues(MixerHandle handle, quint32 controlId, quint32 items,
                                               const std::vector<quint32>& values)
{
    Device* d = deviceOf(handle);
    if (!d)
        return MMSYSERR_INVALHANDLE;
    Control* c = controlOf(*d, controlId);
    if (!c)
        return MIXERR_INVALCONTROL;
    writes.emplace_back(controlId, values);
    if (c->writeResult != MMSYSERR_NOERROR)
        return c->writeResult;
    c->values = values;
    return MMSYSERR_NOERROR;
}
