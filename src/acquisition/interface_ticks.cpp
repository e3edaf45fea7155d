// The interface timers: relay panels and serial relay controllers, device restart,
// logger clock, SNMP scheduling.

#include "acquisition.h"

#include "snmp_poller.h"

#include "devproto/commands.h"
#include "link/vbt_comms.h"
#include "platform/time_service.h"

namespace cvx {

namespace {

// Sent at once to every device behind the interface, expecting nothing back.
void broadcast(TVBTComms* link, const QByteArray& payload)
{
    if (!link)
        return;
    auto p = std::make_unique<TKuldendo>(payload, vbt::BroadcastAddress);
    p->Options = psoDontAck | psoDontQueue;
    SendWith(std::move(p), link);
}

} // namespace

void Acquisition::PanelTick(TProbe& iface)
{
    if (!iface.IsUsed || !iface.Link)
        return;
    for (const auto& owned : lists_.Sensors) {
        TProbe& s = *owned;
        if (s.ParentInterface != &iface || !s.IsUsed)
            continue;
        if (s.SensorType == stRelayPanel || s.SensorType == stInputPanel) {
            TProbe* sensor = &s;
            SendPollCommand(iface.Link.get(), CmdRelay(cmd::CRLGS, s.RelayIndex), quint32(s.Address),
                            TOnIncoming_tagged::keyed(sensor, "panel",
                                                      [this, sensor](const QByteArray& a, quint16 code, int) {
                                                          HandleAnswer(*sensor, a, code);
                                                      }),
                            cmd::ARLGS);
        } else if (s.SensorType == stSerialRelay) {
            const char state = iface.Link->GetLine(s.RelayIndex + 1) ? 1 : 0;
            HandleAnswer(s, QByteArray(cmd::ARLGS) + state, 0);
        }
    }
}

void Acquisition::RestartTick(TProbe& iface) { broadcast(iface.Link.get(), QByteArray(cmd::CSYRS)); }

void Acquisition::ClockTick(TProbe& iface) { broadcast(iface.Link.get(), CmdSetClock(time_.localNow())); }

void Acquisition::SnmpTick(TProbe& iface)
{
    if (!iface.IsUsed)
        return;
    for (const auto& s : lists_.Sensors)
        if (s->ParentInterface == &iface && s->IsUsed)
            s->PollPending = true;
    if (snmp_)
        snmp_->StartScheduler();
}

} // namespace cvx
