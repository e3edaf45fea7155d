#pragma once
// Sends e-mails one after another on a worker thread, so that a slow or stalled mail
// server never holds up the main thread. Status reports and the outcome of each mail
// arrive on the thread that created the sender, through its event loop, in order.

#include "platform/smtp_client.h"

#include <QObject>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

namespace cvx {

class MailSender {
public:
    using StatusHandler = std::function<void(const SmtpStatus&)>;
    using DoneHandler = std::function<void(const SmtpResult&)>;

    explicit MailSender(SmtpClient& client);
    // Cancels the mail being sent, drops the queued ones (without their handlers) and
    // waits for the worker.
    ~MailSender();
    MailSender(const MailSender&) = delete;
    MailSender& operator=(const MailSender&) = delete;

    void send(const SmtpSettings& settings, const SmtpMessage& message, StatusHandler onStatus, DoneHandler onDone);
    // Mails queued or being sent whose outcome has not been delivered yet.
    int outstanding() const { return outstanding_.load(); }

private:
    struct Job {
        SmtpSettings settings;
        SmtpMessage message;
        StatusHandler onStatus;
        DoneHandler onDone;
    };
    void run();
    void post(std::function<void()> fn);

    SmtpClient& client_;
    std::unique_ptr<QObject> receiver_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<Job> jobs_;
    bool quit_ = false;
    std::atomic<bool> cancel_{false};
    std::atomic<int> outstanding_{0};
    std::thread worker_;
};

} // namespace cvx
