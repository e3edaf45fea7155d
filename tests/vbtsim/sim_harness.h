#pragma once
// Runs a scenario inside the test on virtual time, with a connection whose written bytes
// the test reads: the device side without sockets or waiting.

#include "codec.h"
#include "platform/manual_time_service.h"
#include "sim_interface.h"
#include "sim_log.h"
#include "simulator.h"

#include <QStringList>
#include <gtest/gtest.h>

#include <random>
#include <vector>

namespace cvx::vbtsim::test {

class CapturePort : public Port {
public:
    void write(const QByteArray& bytes) override { written += bytes; }
    bool canClose() const override { return closable; }
    void close() override { closed = true; }

    QByteArray written;
    bool closed = false;
    bool closable = true;
};

class SimHarness {
public:
    explicit SimHarness(const QByteArray& scenario, bool connect = true)
        : time_(QDateTime(QDate(2024, 5, 21), QTime(9, 0))), log_(time_), sim_(time_, log_)
    {
        log_.setEchoToStderr(false);
        log_.setVerbose(true);
        log_.setObserver([this](const QString& line) { logLines.append(line); });
        sim_.load(scenario);
        sim_.start();
        if (connect)
            connection = iface()->attach(&port, QStringLiteral("test"));
    }

    ManualTimeService& time() { return time_; }
    SimLog& log() { return log_; }
    Simulator& sim() { return sim_; }
    SimInterface* iface(int i = 0) { return sim_.interfaces().at(size_t(i)).get(); }
    Device* device(const QString& name) { return sim_.findDevice(name); }

    void feed(const QByteArray& bytes)
    {
        iface()->receive(connection, bytes);
        time_.runDue();
    }
    void send(const Frame& f) { feed(encodeFrame(f)); }

    // Frames written since the last call; garbage in front of frames is collected apart.
    std::vector<Frame> frames()
    {
        std::vector<Frame> out;
        while (auto e = extractFrame(port.written, true, true)) {
            skipped += e->skipped;
            Frame f;
            EXPECT_EQ(decodeAnyFrame(e->frame, &f), DecodeOk) << hexBytes(e->frame).toStdString();
            out.push_back(f);
        }
        return out;
    }
    // The one frame written since the last call.
    Frame single()
    {
        auto all = frames();
        EXPECT_EQ(all.size(), 1u);
        return all.empty() ? Frame{} : all.front();
    }
    Simulator::Reply control(const QString& line) { return sim_.command(line); }
    bool logged(const QString& fragment) const
    {
        for (const QString& l : logLines)
            if (l.contains(fragment))
                return true;
        return false;
    }

    CapturePort port;
    int connection = -1;
    QByteArray skipped;
    QStringList logLines;

private:
    ManualTimeService time_;
    SimLog log_;
    Simulator sim_;
};

inline Frame request(quint32 to, const QByteArray& payload, quint8 info = InfoNoAck, quint8 serial = 17,
                     FrameForm form = FrameForm::Vbt, bool enableAsyer = true)
{
    Frame f;
    f.form = form;
    f.addressee = to;
    f.sender = ComputerAddress;
    f.shortSender = ComputerAddress;
    f.info = info;
    f.serial = serial;
    f.enableAsyer = form == FrameForm::Vbtw && enableAsyer;
    f.payload = payload;
    return f;
}

inline QByteArray hex(const char* text) { return *parseHexBytes(QString::fromLatin1(text)); }

} // namespace cvx::vbtsim::test
