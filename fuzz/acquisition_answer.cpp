// Fuzzes what devices and the SNMP agent hand to the acquisition: answers of every
// kind for sensors of every type (weather-station memory reads, logger records and
// downloaded records included) and SNMP result texts, on virtual time.
//
// Input: records of a control byte and its payload. Control bits 0-3 pick the sensor
// (one per sensor type 1..15, then the logger interface), bits 4-5 the entry point
// (0 answer as it is, 1 answer behind a mnemonic chosen by the next byte, 2 logger event
// or downloaded record, 3 SNMP result text), bits 6-7 how far virtual time moves. The
// next byte is the payload length.
//
// Invariants checked: a value is either the no-value mark or plausible for its measure
// type; Recent never holds more than 99 sets; the temperature window's figures come
// from its items.

#include "../tests/link/fake_transport.h"
#include "acquisition/acquisition.h"
#include "acquisition/snmp_poller.h"
#include "platform/manual_time_service.h"
#include "platform/snmp_client.h"
#include "shell/config_file.h"
#include "shell/shell_state.h"

#include <cstdint>
#include <cstdlib>

using namespace cvx;

namespace {

class NoSnmp final : public SnmpClient {
public:
    SnmpGetResult Get(const QString&, const QString&, const QString&) override { return {}; }
};

struct Model {
    Model()
    {
        shellState().MasterMode = true;
        acq = std::make_unique<Acquisition>(time, lists, &transports);
        acq->CreateSnmpPoller(std::make_unique<NoSnmp>());
        IniInterfaceEntry ie;
        ie.number = 1;
        ie.name = QStringLiteral("fuzz");
        ie.serverType = svBridgeWithLogger;
        ie.ip = QStringLiteral("127.0.0.1");
        ie.interval = 1000;
        auto iface = std::make_unique<TProbe>();
        acq->LoadInterfaceFromIni(*iface, ie);
        lists.Interfaces.push_back(std::move(iface));
        for (int type = 1; type <= SensorTypeCount; ++type) {
            IniSensorEntry se;
            se.number = type;
            se.name = QStringLiteral("s%1").arg(type);
            se.interfaceNumber = 1;
            se.type = type;
            se.address = type;
            auto s = std::make_unique<TProbe>();
            acq->LoadSensorFromIni(*s, se);
            s->RecordingRate = 5000;
            lists.Sensors.push_back(std::move(s));
        }
        lists.Sensors.back()->RelayLocks.insert(QStringLiteral("1"), {1, QStringLiteral("e")});
        acq->StartAll();
    }
    ManualTimeService time;
    test::FakeTransports transports{&time};
    ProbeLists lists;
    std::unique_ptr<Acquisition> acq;
};

void check(const TProbe& s)
{
    for (int l = 1; l <= MeasureTypeCount; ++l) {
        const bool none = s.RawValues[l] == NoValueMarker;
        if (none != (s.Values[l] == NoValue))
            std::abort();
        if (!none && !isPlausibleRaw(l, s.RawValues[l]))
            std::abort();
    }
    if (s.Recent.size() > size_t(TProbe::RecentLimit))
        std::abort();
    if (s.TempWindow.Count() > 0 && s.TempWindow.Minimum() > s.TempWindow.Maximum())
        std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static Model m;
    static const char* const mnemonics[] = {"AITGD", "ARLGS", "AWSRM", "EELDL", "CSYAC", "ASYER"};
    size_t i = 0;
    while (i + 2 <= size) {
        const uint8_t control = data[i];
        const size_t length = std::min<size_t>(data[i + 1], size - i - 2);
        QByteArray payload(reinterpret_cast<const char*>(data + i + 2), qsizetype(length));
        i += 2 + length;
        const int pick = control & 0x0F;
        TProbe& sensor = *m.lists.Sensors[size_t(pick % SensorTypeCount)];
        switch ((control >> 4) & 3) {
        case 0:
            m.acq->HandleAnswer(sensor, payload, 0);
            break;
        case 1: {
            const char* mnemonic = mnemonics[payload.isEmpty() ? 0 : quint8(payload[0]) % 6];
            m.acq->HandleAnswer(sensor, QByteArray(mnemonic) + payload.mid(1), 0);
            break;
        }
        case 2:
            if (pick == 15)
                m.acq->HandleLoggerEvent(*m.lists.Interfaces.front(), QByteArray("EELDL") + payload, 0);
            else
                m.acq->HandleLoggerRecord(sensor, payload);
            break;
        default: {
            const QByteArray answer = m.acq->SnmpPoller()->BuildAnswer(sensor.Id, 1 + (control & 1),
                                                                       QString::fromLatin1(payload));
            m.acq->HandleAnswer(sensor, answer, answer.isEmpty() ? 5 : 0);
            break;
        }
        }
        check(sensor);
        m.time.advance(qint64(control >> 6) * 700);
    }
    return 0;
}
