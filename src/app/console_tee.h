#pragma once
// Headless, the measurement text log is also shown on the console as it is written, so
// whoever watches a recording master sees its measurements arrive.

#include <QIODevice>

#include <functional>

namespace cvx {

class ConsoleTee final : public QIODevice {
public:
    using LineSink = std::function<void(const QString& line)>;
    ConsoleTee(QIODevice* file, LineSink sink);

    bool isSequential() const override { return true; }

protected:
    qint64 readData(char*, qint64) override { return -1; }
    qint64 writeData(const char* data, qint64 len) override;

private:
    QIODevice* file_;
    LineSink sink_;
    QByteArray partial_;
};

} // namespace cvx
