#pragma once
// Turns SIGINT, SIGTERM and SIGHUP into a call on the event loop, so a stop by Ctrl+C or
// by the service manager runs the normal stop sequence, and a reload runs the restart.

#include <QObject>
#include <functional>

class QSocketNotifier;

namespace cvx {

class UnixSignalWatcher : public QObject {
    Q_OBJECT
public:
    explicit UnixSignalWatcher(std::function<void(int signal)> handler, QObject* parent = nullptr);
    ~UnixSignalWatcher() override;

private:
    std::function<void(int)> handler_;
    QSocketNotifier* notifier_ = nullptr;
};

} // namespace cvx
