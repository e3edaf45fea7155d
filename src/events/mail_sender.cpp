#include "mail_sender.h"

#include <QMetaObject>

namespace cvx {

MailSender::MailSender(SmtpClient& client) : client_(client), receiver_(std::make_unique<QObject>())
{
    worker_ = std::thread([this] { run(); });
}

MailSender::~MailSender()
{
    {
        std::lock_guard lock(mutex_);
        quit_ = true;
        jobs_.clear();
    }
    cancel_ = true;
    wake_.notify_all();
    if (worker_.joinable())
        worker_.join();
    // Outcomes already posted are dropped with their receiver.
    receiver_.reset();
}

void MailSender::send(const SmtpSettings& settings, const SmtpMessage& message, StatusHandler onStatus,
                      DoneHandler onDone)
{
    ++outstanding_;
    {
        std::lock_guard lock(mutex_);
        jobs_.push_back(Job{settings, message, std::move(onStatus), std::move(onDone)});
    }
    wake_.notify_one();
}

void MailSender::post(std::function<void()> fn)
{
    QMetaObject::invokeMethod(receiver_.get(), std::move(fn), Qt::QueuedConnection);
}

void MailSender::run()
{
    for (;;) {
        Job job;
        {
            std::unique_lock lock(mutex_);
            wake_.wait(lock, [this] { return quit_ || !jobs_.empty(); });
            if (quit_)
                return;
            job = std::move(jobs_.front());
            jobs_.pop_front();
        }
        auto onStatus = std::make_shared<StatusHandler>(std::move(job.onStatus));
        const SmtpResult result = client_.send(
            job.settings, job.message,
            [this, onStatus](const SmtpStatus& st) {
                post([onStatus, st] {
                    if (*onStatus)
                        (*onStatus)(st);
                });
            },
            &cancel_);
        if (cancel_)
            return;
        post([this, done = std::move(job.onDone), result] {
            --outstanding_;
            if (done)
                done(result);
        });
    }
}

} // namespace cvx
