#include "platform/serial_port.h"

#include <QFileInfo>
#include <QSerialPort>

#include <cerrno>
#include <cstring>
#include <sys/file.h>
#include <unistd.h>

namespace cvx {
namespace {

class QtSerialPort final : public SerialPort {
public:
    ~QtSerialPort() override { drop(); }

    void setEvents(Events events) override { events_ = std::move(events); }

    bool open(const QString& device, int baud, bool dtr, bool rts, OpenFailure* failure,
              QString* message) override
    {
        drop();
        port_ = new QSerialPort();
        port_->setPortName(device);
        port_->setBaudRate(baud);
        port_->setDataBits(QSerialPort::Data8);
        port_->setParity(QSerialPort::NoParity);
        port_->setStopBits(QSerialPort::OneStop);
        port_->setFlowControl(QSerialPort::NoFlowControl);
        auto fail = [&](OpenFailure why, const QString& text) {
            if (failure)
                *failure = why;
            if (message)
                *message = device + QStringLiteral(": ") + text;
            drop();
            return false;
        };
        if (!port_->open(QIODevice::ReadWrite)) {
            const QSerialPort::SerialPortError e = port_->error();
            const QString text = port_->errorString();
            if (e == QSerialPort::DeviceNotFoundError || !QFileInfo::exists(device))
                return fail(OpenFailure::NoSuchPort, text);
            if (e == QSerialPort::OpenError)
                return fail(OpenFailure::Busy, text);
            if (e == QSerialPort::PermissionError) {
                // Qt reports a port locked by another program as a permission error;
                // a device we may not open at all is something else.
                const QByteArray path = QFileInfo(device).canonicalFilePath().toLocal8Bit();
                if (!path.isEmpty() && ::access(path.constData(), R_OK | W_OK) != 0)
                    return fail(OpenFailure::Other, text);
                return fail(OpenFailure::Busy, text);
            }
            return fail(OpenFailure::Other, text);
        }
        // Programs that lock serial lines with flock() must not share ours.
        if (::flock(int(port_->handle()), LOCK_EX | LOCK_NB) != 0) {
            const int err = errno;
            if (err == EWOULDBLOCK)
                return fail(OpenFailure::Busy, QStringLiteral("Device is locked by another program"));
        }
        // Modem lines that a pseudo terminal lacks fail harmlessly.
        port_->setDataTerminalReady(dtr);
        port_->setRequestToSend(rts);
        port_->clearError();
        QObject::connect(port_, &QSerialPort::readyRead, [this] {
            const QByteArray bytes = port_->readAll();
            if (!bytes.isEmpty() && events_.received)
                events_.received(bytes);
        });
        QObject::connect(port_, &QSerialPort::errorOccurred, [this](QSerialPort::SerialPortError e) {
            // A lost device makes the port unusable: Qt reports it as a resource error,
            // or, when the line hangs up (a pseudo terminal whose other end closed), as
            // a read error at every turn of the event loop. Unsupported line operations
            // (pseudo terminals have no modem lines) and time-outs are harmless.
            if (e != QSerialPort::ResourceError && e != QSerialPort::ReadError)
                return;
            const QString text = e == QSerialPort::ReadError ? QStringLiteral("Reading from the device failed")
                                                             : port_->errorString();
            auto events = events_;
            drop(); // no further notifications from this port
            if (events.error)
                events.error(int(e), text);
        });
        if (failure)
            *failure = OpenFailure::None;
        return true;
    }

    void close() override { drop(); }

    bool isOpen() const override { return port_ && port_->isOpen(); }

    bool write(const QByteArray& bytes, QString* error) override
    {
        if (!isOpen()) {
            if (error)
                *error = QStringLiteral("Port is not open");
            return false;
        }
        const qint64 n = port_->write(bytes);
        if (n != bytes.size()) {
            if (error)
                *error = port_->errorString();
            port_->clearError();
            return false;
        }
        return true;
    }

    bool setDtr(bool on) override
    {
        if (!isOpen())
            return false;
        const bool ok = port_->setDataTerminalReady(on);
        port_->clearError();
        return ok;
    }
    bool setRts(bool on) override
    {
        if (!isOpen())
            return false;
        const bool ok = port_->setRequestToSend(on);
        port_->clearError();
        return ok;
    }
    bool setBreak(bool on) override
    {
        if (!isOpen())
            return false;
        const bool ok = port_->setBreakEnabled(on);
        port_->clearError();
        return ok;
    }

private:
    void drop()
    {
        if (!port_)
            return;
        // The port may be emitting a signal right now: detach it and let the event
        // loop delete it. Closing releases the flock and Qt's lock file at once.
        QObject::disconnect(port_, nullptr, nullptr, nullptr);
        if (port_->isOpen())
            port_->close();
        port_->deleteLater();
        port_ = nullptr;
    }

    Events events_;
    QSerialPort* port_ = nullptr;
};

} // namespace

std::unique_ptr<SerialPort> createQtSerialPort() { return std::make_unique<QtSerialPort>(); }

} // namespace cvx
