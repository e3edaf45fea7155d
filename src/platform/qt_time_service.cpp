#include "qt_time_service.h"

#include <QTimer>

namespace cvx {
namespace {

class QtTimer final : public Timer {
public:
    QtTimer()
    {
        timer_.setTimerType(Qt::PreciseTimer);
        QObject::connect(&timer_, &QTimer::timeout, [this] { fire(); });
    }
    void setInterval(int ms) override
    {
        const bool running = timer_.isActive();
        timer_.setInterval(ms);
        if (running)
            timer_.start();
    }
    int interval() const override { return timer_.interval(); }
    void setSingleShot(bool s) override { timer_.setSingleShot(s); }
    bool isSingleShot() const override { return timer_.isSingleShot(); }
    void start() override { timer_.start(); }
    void stop() override { timer_.stop(); }
    bool isActive() const override { return timer_.isActive(); }

private:
    QTimer timer_;
};

} // namespace

QtTimeService::QtTimeService() { monotonic_.start(); }

std::unique_ptr<Timer> QtTimeService::createTimer(Timer::Callback onTimeout)
{
    auto t = std::make_unique<QtTimer>();
    t->setCallback(std::move(onTimeout));
    return t;
}

qint64 QtTimeService::tickMs() const { return monotonic_.elapsed(); }

QDateTime QtTimeService::localNow() const { return QDateTime::currentDateTime(); }

namespace {
TimeService* g_processTime = nullptr;
}

TimeService& processTime()
{
    static QtTimeService qtTime;
    return g_processTime ? *g_processTime : qtTime;
}

void setProcessTime(TimeService* service) { g_processTime = service; }

} // namespace cvx
