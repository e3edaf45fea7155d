#pragma once
// Where a port link gets its serial ports and TCP clients from. Production uses the Qt
// adapters of the platform layer; tests hand in a factory of in-memory fakes.

#include "platform/serial_port.h"
#include "platform/tcp_client.h"

#include <QString>

#include <memory>

namespace cvx {

class TransportFactory {
public:
    virtual ~TransportFactory() = default;
    virtual std::unique_ptr<SerialPort> createSerialPort() = 0;
    virtual std::unique_ptr<TcpClient> createTcpClient() = 0;
};

// The Qt serial port and TCP client.
TransportFactory& qtTransports();

// The device path of a serial port. A device text that is set wins: taken as it is
// when it is a path, prefixed with "/dev/" otherwise. Without one, the port number n
// names the device: 1..99 -> /dev/ttyS{n-1} (COM1 is ttyS0), 100..199 ->
// /dev/ttyUSB{n-100}, 200..299 -> /dev/ttyACM{n-200}; other numbers give an empty path
// (no such port).
QString SerialDevicePath(int port, const QString& device = QString());

} // namespace cvx
