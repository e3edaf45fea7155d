#pragma once
// The acquisition model on virtual time over in-memory transports, with a measurement
// store that remembers every write, a captured main log and a private working folder.

#include "../link/fake_transport.h"
#include "../link/link_fixture.h"

#include "acquisition/acquisition.h"
#include "acquisition/probe_lists.h"
#include "platform/manual_time_service.h"
#include "shell/catalogue.h"
#include "shell/config_file.h"
#include "shell/shell_state.h"
#include "store/measure_store.h"
#include "test_support.h"

#include <QBuffer>

#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <vector>

namespace cvx::test {

class FakeMeasureStore final : public MeasureStore {
public:
    struct Row {
        qint64 id = 0;
        QString value;
        int probeId = 0;
        int measureType = 0;
        QDateTime time;
    };
    struct Update {
        qint64 id = 0;
        QString value;
        int measureType = 0;
        int probeId = 0;
        QDateTime time;
        bool withTime = false;
    };

    qint64 StoreMeasure(const QString& valueText, int probeId, int mt, const QDateTime& time) override
    {
        const qint64 id = AddMeasureRow(encrypt ? QString() : valueText, probeId, mt, time);
        return encrypt ? 0 : id;
    }
    qint64 AddMeasureRow(const QString& valueText, int probeId, int mt, const QDateTime& time) override
    {
        const Row r{nextId++, valueText, probeId, mt, time};
        adds.push_back(r);
        rows[r.id] = r;
        return r.id;
    }
    void UpdateMeasureRow(qint64 id, const QString& v, int mt, int probeId) override
    {
        updates.push_back({id, v, mt, probeId, {}, false});
        apply(updates.back());
    }
    void UpdateMeasureRow(qint64 id, const QString& v, int mt, int probeId, const QDateTime& time) override
    {
        updates.push_back({id, v, mt, probeId, time, true});
        apply(updates.back());
    }
    bool EncryptionInUse() const override { return encrypt; }
    QString PlainMeasureValue(qint64, const QString& stored, bool* ok) const override
    {
        if (ok)
            *ok = true;
        return stored;
    }

    // Rows of one sensor and measure type, oldest first.
    std::vector<Row> rowsOf(int probeId, int mt) const
    {
        std::vector<Row> out;
        for (const auto& [id, r] : rows)
            if (r.probeId == probeId && r.measureType == mt)
                out.push_back(r);
        return out;
    }
    // Forgets everything written so far.
    void clear()
    {
        adds.clear();
        updates.clear();
        rows.clear();
    }

    std::vector<Row> adds;
    std::vector<Update> updates;
    std::map<qint64, Row> rows; // current contents
    qint64 nextId = 1;
    bool encrypt = false;

private:
    void apply(const Update& u)
    {
        auto it = rows.find(u.id);
        if (it == rows.end())
            return;
        it->second.value = u.value;
        it->second.measureType = u.measureType;
        it->second.probeId = u.probeId;
        if (u.withTime)
            it->second.time = u.time;
    }
};

// Raw values as measurement data: 16-bit little-endian each.
inline QByteArray le16(int v)
{
    QByteArray b(2, '\0');
    b[0] = char(v & 0xFF);
    b[1] = char((v >> 8) & 0xFF);
    return b;
}
inline QByteArray le32(qint64 v)
{
    QByteArray b(4, '\0');
    for (int i = 0; i < 4; ++i)
        b[i] = char((v >> (8 * i)) & 0xFF);
    return b;
}
inline QByteArray aitgd(std::initializer_list<int> raws16)
{
    QByteArray a("AITGD");
    for (int r : raws16)
        a += le16(r);
    return a;
}

// The frames written to a fake line, without the keep-alive bytes between them.
inline std::vector<SentFrame> framesOn(const FakeLine& line)
{
    std::vector<SentFrame> out = decodeWrites(line.writes);
    std::erase_if(out, [](const SentFrame& f) { return f.error != 0; });
    return out;
}

class AcquisitionTest : public ::testing::Test {
protected:
    AcquisitionTest()
    {
        resetShellState();
        Catalogue::instance().select(Catalogue::Hungarian);
        shellState().MasterMode = true;
        shellState().LogFolder = home.path();
        AverageWindowMinutes() = 120;
        acq = std::make_unique<Acquisition>(time, lists, &transports);
        acq->SetDatabase(nullptr, &store);
    }
    ~AcquisitionTest() override
    {
        acq.reset();
        resetShellState();
        AverageWindowMinutes() = 120;
    }

    TProbe& addInterface(int id, int serverType = 2, int protocol = 1, int interval = 2000,
                         const QString& ip = QStringLiteral("127.0.0.1"), int port = 4001)
    {
        IniInterfaceEntry e;
        e.number = id;
        e.name = QStringLiteral("if%1").arg(id);
        e.serverType = serverType;
        e.protocol = protocol;
        e.ip = ip;
        e.port = port;
        e.interval = interval;
        e.address = 249;
        auto p = std::make_unique<TProbe>();
        EXPECT_TRUE(acq->LoadInterfaceFromIni(*p, e));
        lists.Interfaces.push_back(std::move(p));
        return *lists.Interfaces.back();
    }
    TProbe& addSensor(int id, int ifaceId, int type, int address, qint64 recordingRate = 60000)
    {
        IniSensorEntry e;
        e.number = id;
        e.name = QStringLiteral("s%1").arg(id);
        e.interfaceNumber = ifaceId;
        e.type = type;
        e.address = address;
        auto p = std::make_unique<TProbe>();
        EXPECT_TRUE(acq->LoadSensorFromIni(*p, e));
        p->RecordingRate = recordingRate;
        lists.Sensors.push_back(std::move(p));
        return *lists.Sensors.back();
    }
    QDateTime now() const { return time.localNow(); }

    ManualTimeService time{QDateTime(QDate(2024, 5, 21), QTime(10, 0)), 1'000'000};
    FakeTransports transports{&time};
    TempHome home;
    CapturedMainLog log;
    ProbeLists lists;
    FakeMeasureStore store;
    std::unique_ptr<Acquisition> acq;
};

} // namespace cvx::test
