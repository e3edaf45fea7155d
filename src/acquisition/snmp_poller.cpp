#include "snmp_poller.h"

#include "measure_decode.h"

#include "devproto/commands.h"
#include "link/vbt_comms.h"
#include "platform/snmp_client.h"
#include "platform/time_service.h"
#include "shell/conventions.h"

#include <QMetaObject>
#include <QObject>
#include <QThread>

#include <algorithm>
#include <cmath>

namespace cvx {

namespace {

constexpr char Community[] = "public";

QByteArray le16(qint64 value)
{
    QByteArray out(2, '\0');
    out[0] = char(value & 0xFF);
    out[1] = char((value >> 8) & 0xFF);
    return out;
}

} // namespace

TSNMPPoller::TSNMPPoller(TimeService& time, ProbeLists& lists, std::unique_ptr<SnmpClient> client,
                         const QString& oidPrefix)
    : OidPrefix(oidPrefix), time_(time), lists_(lists), client_(std::move(client))
{
    scheduler_ = time_.createTimer(SchedulerPeriodMs, false, [this] { SchedulerTick(); });
    starter_ = time_.createTimer(StarterPeriodMs, false, [this] { StarterTick(); });
    homeContext_ = std::make_unique<QObject>();
    thread_ = std::make_unique<QThread>();
    thread_->setObjectName(QStringLiteral("SNMP worker"));
    workerContext_ = std::make_unique<QObject>();
    workerContext_->moveToThread(thread_.get());
    thread_->start();
}

TSNMPPoller::~TSNMPPoller()
{
    scheduler_->stop();
    starter_->stop();
    handler_ = nullptr;
    // A GET in flight ends within the client's time-out; its result, posted to the home
    // context, goes with it.
    thread_->quit();
    thread_->wait();
    workerContext_.reset();
    homeContext_.reset();
    requests_.clear();
}

bool TSNMPPoller::SchedulerRunning() const { return scheduler_->isActive(); }
bool TSNMPPoller::StarterRunning() const { return starter_->isActive(); }

const TSNMPPoller::TReqRec* TSNMPPoller::QueuedRequest(int index) const
{
    return index >= 0 && index < int(requests_.size()) ? &requests_[size_t(index)] : nullptr;
}

void TSNMPPoller::StartScheduler() { scheduler_->setEnabled(true); }

void TSNMPPoller::SchedulerTick()
{
    const bool anySnmp = std::any_of(lists_.Interfaces.begin(), lists_.Interfaces.end(),
                                     [](const auto& i) { return i->ProtocolType == ptSNMP; });
    if (!anySnmp) {
        scheduler_->stop();
        return;
    }
    const int n = int(lists_.Sensors.size());
    TProbe* next = nullptr;
    int index = -1;
    for (int step = 1; step <= n && !next; ++step) {
        const int i = (std::max(lastIndex_, -1) + step) % n;
        TProbe* s = lists_.Sensors[size_t(i)].get();
        if (s->PollPending && s->ParentInterface && s->ParentInterface->ProtocolType == ptSNMP) {
            next = s;
            index = i;
        }
    }
    if (!next)
        return;
    const QString host = next->ParentInterface->Link ? next->ParentInterface->Link->Host : QString();
    if (next->SensorType == stSNMPClimate) {
        queue({next->Id, Temperature, host, QString::fromLatin1(ClimateTemperatureOid), true});
        queue({next->Id, Humidity, host, QString::fromLatin1(ClimateHumidityOid), true});
    } else {
        queue({next->Id, Temperature, host, OidPrefix + QStringLiteral(".%1.0").arg(next->Address), true});
    }
    lastIndex_ = index;
}

void TSNMPPoller::queue(TReqRec request)
{
    if (int(requests_.size()) >= MaxQueued)
        return;
    requests_.push_back(std::move(request));
    starter_->setEnabled(true);
}

void TSNMPPoller::StarterTick()
{
    if (busy_)
        return;
    if (requests_.empty()) {
        starter_->stop();
        return;
    }
    runWorker();
}

void TSNMPPoller::runWorker()
{
    busy_ = true;
    const TReqRec& r = requests_.front();
    SnmpClient* client = client_.get();
    QObject* home = homeContext_.get();
    QMetaObject::invokeMethod(
        workerContext_.get(),
        [this, client, home, host = r.Host, oid = r.Oid] {
            const SnmpGetResult got = client->Get(host, oid, QString::fromLatin1(Community));
            const QString text = got.ok ? got.value : QString();
            QMetaObject::invokeMethod(home, [this, text] { workerEnd(text); }, Qt::QueuedConnection);
        },
        Qt::QueuedConnection);
}

void TSNMPPoller::workerEnd(const QString& result)
{
    busy_ = false;
    if (requests_.empty())
        return;
    const TReqRec r = requests_.front();
    requests_.pop_front();
    ++completed_;
    result_ = result;
    const QByteArray answer = r.Convert ? BuildAnswer(r.SensorId, r.Kind, result) : result.toLatin1();
    if (!r.Convert)
        result_ = QString::fromLatin1(answer);
    TProbe* sensor = lists_.FindSensor(r.SensorId);
    if (sensor && handler_)
        handler_(*sensor, answer, answer.isEmpty() ? vbt::rcNoAnswer : vbt::rcOk);
}

QByteArray TSNMPPoller::BuildAnswer(int sensorId, int kind, const QString& text) const
{
    QString t = text;
    t.replace(u'.', DecimalSeparator);
    t.replace(u',', DecimalSeparator);
    double number = 0;
    if (!ParseDecimal(t, &number) || !std::isfinite(number))
        number = 100000;
    const qint64 raw = RoundHalfEven(kind == Temperature ? number * 100 : number * 10);
    const TProbe* s = lists_.FindSensor(sensorId);
    // Beyond 16 bits the value would arrive as another, plausible-looking one.
    if (raw > 99999 || !s || raw < -32768 || raw > 32767)
        return {};
    QByteArray answer(cmd::AITGD);
    if (s->SensorType == stSNMPClimate && kind == Temperature) {
        answer += le16(raw);
        answer += le16(s->RawValues[mtH]);
    } else if (s->SensorType == stSNMPClimate) {
        answer += le16(s->RawValues[mtT]);
        answer += le16(raw);
    } else {
        answer += le16(raw);
    }
    return answer;
}

} // namespace cvx
