#pragma once
// Interfaces and sensors for the instance-link tests, a fixture on virtual time over the
// in-memory network, and a decoder of what a peer received.

#include "fake_net.h"
#include "link_fixture.h"

#include "acquisition/probe_lists.h"
#include "devproto/instance_codec.h"
#include "shell/catalogue.h"
#include "shell/shell_state.h"
#include "shell/warnings.h"
#include "test_support.h"

#include <QDateTime>
#include <QStringList>

#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <vector>

namespace cvx::test {

// One decoded message: its type and every field as stored.
struct Message {
    int type = -1;
    std::map<QString, QString> fields;
    QString get(const QString& name) const
    {
        auto it = fields.find(name);
        return it == fields.end() ? QString() : it->second;
    }
};

// Every complete message in the bytes, in order.
inline std::vector<Message> decodeMessages(const QByteArray& bytes)
{
    TCorvaluxProtocol p;
    p.MaxPendingBytes = 1 << 30;
    p.AppendReceived(bytes);
    std::vector<Message> out;
    for (QString t = p.ExtractReceived(); !t.isEmpty(); t = p.ExtractReceived()) {
        p.Decode(t);
        Message m;
        m.type = p.PckType;
        for (int i = 0; i < p.Count(); ++i)
            m.fields[p.Field(i).Name()] = p.Field(i).GetAsString();
        out.push_back(m);
    }
    return out;
}

inline QByteArray encodeMessage(int type, const std::vector<std::pair<QString, QString>>& fields = {})
{
    TCorvaluxProtocol p;
    for (const auto& [name, value] : fields)
        p.FieldByName(name).SetRawValue(value);
    return p.EncodeWire(type);
}

class ProbeBuilder {
public:
    explicit ProbeBuilder(ProbeLists& probes) : probes_(probes) {}

    TProbe& addInterface(int id, int protocol = 1, qint64 pollInterval = 6000)
    {
        auto p = std::make_unique<TProbe>();
        p->Id = id;
        p->Name = QStringLiteral("Interface %1").arg(id);
        p->SensorType = InterfaceSensorType;
        p->ProtocolType = protocol;
        p->ServerType = 1;
        p->IsUsed = true;
        p->PollInterval = pollInterval;
        p->InvalidateValues();
        probes_.Interfaces.push_back(std::move(p));
        return *probes_.Interfaces.back();
    }

    TProbe& addSensor(int id, int sensorType, TProbe& iface, const QString& name = QString())
    {
        auto p = std::make_unique<TProbe>();
        p->Id = id;
        p->Name = name.isEmpty() ? QStringLiteral("Sensor %1").arg(id) : name;
        p->SensorType = sensorType;
        p->ParentInterface = &iface;
        p->ProtocolType = iface.ProtocolType;
        p->ServerType = iface.ServerType;
        p->IsUsed = true;
        p->PollInterval = iface.PollInterval;
        p->RecordingRate = 60000;
        p->Address = id;
        p->InvalidateValues();
        probes_.Sensors.push_back(std::move(p));
        return *probes_.Sensors.back();
    }

    static void setValue(TProbe& s, int measureType, double value)
    {
        s.Values[measureType] = value;
        s.RawValues[measureType] = qRound64(value * 100);
    }

private:
    ProbeLists& probes_;
};

// Virtual time, the in-memory network, a captured log and a fresh process state.
class NetTest : public ::testing::Test {
protected:
    NetTest()
    {
        resetShellState();
        warningPanel().reset();
        Catalogue::instance().select(Catalogue::Hungarian);
    }
    ~NetTest() override
    {
        resetShellState();
        warningPanel().reset();
    }

    // Moves virtual time in steps, delivering what the network carries after each.
    void run(qint64 ms, qint64 step = 100)
    {
        net.deliver();
        while (ms > 0) {
            const qint64 d = std::min(ms, step);
            time.advance(d);
            net.deliver();
            ms -= d;
        }
    }

    // A peer on the network, connected to host:port.
    FakeClient& peer(const QString& host, quint16 port)
    {
        peers_.push_back(net.createClient());
        auto* c = static_cast<FakeClient*>(peers_.back().get());
        c->connectToHost(host, port);
        net.deliver();
        return *c;
    }

    int logCount(const QString& fragment) const
    {
        int n = 0;
        for (const QString& l : log.lines())
            n += l.contains(fragment) ? 1 : 0;
        return n;
    }

    VirtualProcessTime vt;
    ManualTimeService& time = vt.time();
    CapturedMainLog log;
    FakeNet net{&time};
    ProbeLists probes;
    ProbeBuilder build{probes};

private:
    std::vector<std::unique_ptr<TcpClient>> peers_;
};

} // namespace cvx::test
