#pragma once
// TSNMPPoller: reads the sensors of SNMP interfaces (protocol 3) with SNMP GET
// requests, one at a time on a worker thread, and hands each result back on the
// event-loop thread as an "AITGD" answer for the sensor's answer handler. A scheduler
// timer picks the next sensor marked PollPending and queues its requests; a starter
// timer runs the worker while requests wait.

#include "acquisition/probe_lists.h"

#include <QByteArray>
#include <QString>

#include <deque>
#include <functional>
#include <memory>

class QObject;
class QThread;

namespace cvx {

class SnmpClient;
class TimeService;
class Timer;

class TSNMPPoller {
public:
    static constexpr int MaxQueued = 26;
    static constexpr int SchedulerPeriodMs = 500;
    static constexpr int StarterPeriodMs = 200;
    static constexpr char ClimateTemperatureOid[] = "1.3.6.1.4.1.52417.2.1.0";
    static constexpr char ClimateHumidityOid[] = "1.3.6.1.4.1.52417.2.2.0";

    enum Kind { Temperature = 1, Humidity = 2 };

    struct TReqRec {
        int SensorId = 0;
        int Kind = Temperature;
        QString Host;
        QString Oid;
        bool Convert = true;
    };

    // Called on the event-loop thread with the sensor, the answer (empty when the GET
    // failed) and the result code (0, or 5 for no answer).
    using Handler = std::function<void(TProbe& sensor, const QByteArray& answer, quint16 code)>;

    TSNMPPoller(TimeService& time, ProbeLists& lists, std::unique_ptr<SnmpClient> client, const QString& oidPrefix);
    // Stops the timers, waits for a GET in flight, frees the queue.
    ~TSNMPPoller();
    TSNMPPoller(const TSNMPPoller&) = delete;
    TSNMPPoller& operator=(const TSNMPPoller&) = delete;

    QString OidPrefix;
    void SetHandler(Handler handler) { handler_ = std::move(handler); }

    // What the interfaces' SNMP timers call after marking their sensors.
    void StartScheduler();
    // The two timer handlers (public for tests).
    void SchedulerTick();
    void StarterTick();

    // The answer built from a result for the sensor with that id; empty when the text
    // is no number, the raw value does not fit, or no such sensor is loaded.
    QByteArray BuildAnswer(int sensorId, int kind, const QString& text) const;

    int QueueCount() const { return int(requests_.size()); }
    const TReqRec* QueuedRequest(int index) const;
    bool Busy() const { return busy_; }
    bool SchedulerRunning() const;
    bool StarterRunning() const;
    int LastIndex() const { return lastIndex_; }
    const QString& Result() const { return result_; }
    qint64 CompletedRequests() const { return completed_; }

private:
    void queue(TReqRec request);
    void runWorker();
    void workerEnd(const QString& result);

    TimeService& time_;
    ProbeLists& lists_;
    std::unique_ptr<SnmpClient> client_;
    Handler handler_;
    std::deque<TReqRec> requests_;
    int lastIndex_ = -1;
    std::unique_ptr<Timer> scheduler_;
    std::unique_ptr<Timer> starter_;
    std::unique_ptr<QThread> thread_;
    std::unique_ptr<QObject> workerContext_; // lives on the worker thread
    std::unique_ptr<QObject> homeContext_;   // lives on the event-loop thread
    bool busy_ = false;
    QString result_;
    qint64 completed_ = 0;
};

} // namespace cvx
