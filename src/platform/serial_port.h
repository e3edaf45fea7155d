#pragma once
// A serial port as the device link needs it: open by device path with a baud rate, no
// flow control and given modem lines; write; received bytes and errors as callbacks;
// DTR, RTS and break while open. Open failures tell a port in use and a missing port
// apart from other errors. Notifications arrive on the thread that created the port.

#include <QByteArray>
#include <QString>

#include <functional>
#include <memory>

namespace cvx {

class SerialPort {
public:
    enum class OpenFailure { None, Busy, NoSuchPort, Other };

    struct Events {
        std::function<void(const QByteArray& bytes)> received;
        // An error after a successful open (device removed, I/O failure); the port is
        // unusable and the owner is expected to close it.
        std::function<void(int code, const QString& message)> error;
    };

    virtual ~SerialPort() = default;
    virtual void setEvents(Events events) = 0;
    // DTR and RTS are applied as the port opens, before any byte is exchanged.
    virtual bool open(const QString& device, int baud, bool dtr, bool rts, OpenFailure* failure,
                      QString* message) = 0;
    // No notifications follow a close.
    virtual void close() = 0;
    virtual bool isOpen() const = 0;
    virtual bool write(const QByteArray& bytes, QString* error) = 0;
    virtual bool setDtr(bool on) = 0;
    virtual bool setRts(bool on) = 0;
    virtual bool setBreak(bool on) = 0;
};

// The Qt SerialPort implementation. Besides Qt's own lock file it takes an exclusive
// flock() on the open device, so two programs that both lock cannot share a line.
std::unique_ptr<SerialPort> createQtSerialPort();

} // namespace cvx
