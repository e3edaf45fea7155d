#pragma once
// A port link on virtual time over the in-memory transport, a device that frames its
// answers, a recorder of packet results and a log file the test can read back.

#include "fake_transport.h"
#include "link/vbt_comms.h"
#include "platform/manual_time_service.h"
#include "shell/logs.h"
#include "shell/shell_state.h"

#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <memory>
#include <vector>

// Readable failure messages for Qt strings.
inline void PrintTo(const QString& s, std::ostream* os) { *os << '"' << s.toStdString() << '"'; }
inline void PrintTo(const QByteArray& b, std::ostream* os) { *os << '"' << b.toHex(' ').toStdString() << '"'; }

namespace cvx::test {

struct SentFrame {
    qint64 tick = 0;
    quint32 to = 0;
    quint32 from = 0;
    TInfo info = nem_kerek_nyugtat;
    int serial = 0;
    QByteArray data;
    bool wide = false;
    bool asyer = false;
    int error = 0;
};

// Decodes every write as one frame.
inline std::vector<SentFrame> decodeWrites(const std::vector<FakeWrite>& writes)
{
    std::vector<SentFrame> out;
    for (const auto& w : writes) {
        TVBTProtocol d;
        d.VBTMode = PMDecodeBothEncodeVBT;
        SentFrame f;
        f.tick = w.tick;
        f.data = d.DecodeFrame(w.bytes);
        f.error = d.ErrorCode();
        f.to = d.Cimzett;
        f.from = d.Felado;
        f.info = d.Info;
        f.serial = d.CsomagSorszam;
        f.wide = d.LastWasWide();
        f.asyer = d.Enable_ASYER;
        out.push_back(f);
    }
    return out;
}

struct Result {
    qint64 tick = 0;
    QByteArray s;
    int code = -1;
    int tag = 0;
    QString kind; // "read", "error", "result"
};

class Recorder {
public:
    explicit Recorder(TimeService& time) : time_(time) {}
    TOnIncoming_tagged onRead()
    {
        return TOnIncoming_tagged::keyed(this, "read", [this](const QByteArray& s, quint16 c, int tag) {
            results.push_back({time_.tickMs(), s, c, tag, QStringLiteral("read")});
        });
    }
    TOnIncoming_tagged onError()
    {
        return TOnIncoming_tagged::keyed(this, "error", [this](const QByteArray& s, quint16 c, int tag) {
            results.push_back({time_.tickMs(), s, c, tag, QStringLiteral("error")});
        });
    }
    TOnVBTCmdResult onResult()
    {
        return TOnVBTCmdResult::keyed(this, "result",
                                      [this](TVBTComms*, const QByteArray& s, quint16 c, int tag, void*, const QString&) {
                                          results.push_back({time_.tickMs(), s, c, tag, QStringLiteral("result")});
                                      });
    }
    std::vector<int> codes() const
    {
        std::vector<int> c;
        for (const auto& r : results)
            c.push_back(r.code);
        return c;
    }
    std::vector<Result> results;

private:
    TimeService& time_;
};

// A log file writer whose lines the test reads back (no time stamps).
class LogFile {
public:
    LogFile()
    {
        naplo.LogFile = dir_.filePath(QStringLiteral("test.commlog"));
        naplo.Logging = true;
        naplo.LogTime = false;
        naplo.ConvertToPrintable = false;
        naplo.LogLimit = 50'000'000;
    }
    QByteArray bytes() const
    {
        QFile f(naplo.LogFile);
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }
    QStringList lines() const
    {
        QStringList l = QString::fromUtf8(bytes()).split(QStringLiteral("\r\n"));
        if (!l.isEmpty() && l.last().isEmpty())
            l.removeLast();
        return l;
    }
    int count(const QString& fragment) const
    {
        int n = 0;
        for (const QString& l : lines())
            if (l.contains(fragment))
                ++n;
        return n;
    }
    bool contains(const QString& fragment) const { return count(fragment) > 0; }
    TNaplo naplo;

private:
    QTemporaryDir dir_;
};

class LinkTest : public ::testing::Test {
protected:
    LinkTest() { resetShellState(); }
    ~LinkTest() override
    {
        clients.clear();
        port.reset();
        resetShellState();
    }

    // A TCP port link, connected at once unless told.
    TVBTComms& makeTcpPort(bool connect = true)
    {
        transports.autoConnect = connect;
        port = std::make_unique<TVBTComms>(time, &transports);
        port->Host = QStringLiteral("devserver");
        port->Port = 4001;
        port->SeedRandom(11);
        port->LogWriter = &log.naplo;
        return *port;
    }
    // A serial port link on the given device path.
    TVBTComms& makeSerialPort(const QString& device, bool exists = true)
    {
        if (exists)
            transports.devices[device] = {};
        port = std::make_unique<TVBTComms>(time, &transports);
        port->Port = 3;
        port->SerialDevice = device;
        port->SeedRandom(11);
        port->LogWriter = &log.naplo;
        return *port;
    }
    TVBTComms& addClient(quint32 address)
    {
        auto c = std::make_unique<TVBTComms>(time, &transports);
        c->PortOwner = port.get();
        c->VBTAddress = address;
        clients.push_back(std::move(c));
        return *clients.back();
    }

    FakeLine& line() { return *transports.line(); }
    std::vector<SentFrame> sent() { return decodeWrites(line().writes); }
    SentFrame lastSent()
    {
        auto s = sent();
        return s.empty() ? SentFrame{} : s.back();
    }
    size_t sentCount() { return transports.line() ? line().writes.size() : 0; }

    // Advances virtual time until the link writes another frame, at most maxMs.
    bool advanceUntilWrite(int maxMs = 1000)
    {
        const size_t before = sentCount();
        for (int i = 0; i < maxMs; ++i) {
            time.advance(1);
            if (sentCount() > before)
                return true;
        }
        return false;
    }

    QByteArray deviceFrame(quint32 from, const QByteArray& payload, TInfo info, int serial, bool wide = false,
                           quint32 to = 250)
    {
        TVBTProtocol p;
        p.VBTMode = wide ? PMVBTWOnly : PMVBTOnly;
        p.Cimzett = to;
        p.Felado = from;
        p.Felado_rovid_cim = quint8(from);
        p.Info = info;
        p.CsomagSorszam = quint8(serial);
        return p.EncodeFrame(payload);
    }
    // The device's frame arrives and is processed at once (virtual time stands still).
    void deviceSends(quint32 from, const QByteArray& payload, TInfo info, int serial, bool wide = false,
                     quint32 to = 250)
    {
        receive(deviceFrame(from, payload, info, serial, wide, to));
    }
    void receive(const QByteArray& bytes)
    {
        if (transports.tcp)
            transports.tcp->feed(bytes);
        else if (transports.serial)
            transports.serial->feed(bytes);
        time.runDue();
    }

    std::unique_ptr<TKuldendo> packet(const QByteArray& data, quint32 address, const QByteArray& expected = {},
                                      TVBTSendOptions options = {})
    {
        auto p = std::make_unique<TKuldendo>(data, address);
        p->ExpectedAnswer = expected;
        p->Options = options | psoTagged;
        p->OnRead = rec.onRead();
        p->OnError = rec.onError();
        return p;
    }

    ManualTimeService time;
    FakeTransports transports{&time};
    LogFile log;
    Recorder rec{time};
    std::unique_ptr<TVBTComms> port;
    std::vector<std::unique_ptr<TVBTComms>> clients;
};

} // namespace cvx::test
