#include "link/link_transport.h"

namespace cvx {

namespace {

class QtTransports final : public TransportFactory {
public:
    std::unique_ptr<SerialPort> createSerialPort() override { return createQtSerialPort(); }
    std::unique_ptr<TcpClient> createTcpClient() override { return createQtTcpClient(); }
};

} // namespace

TransportFactory& qtTransports()
{
    static QtTransports factory;
    return factory;
}

QString SerialDevicePath(int port, const QString& device)
{
    const QString d = device.trimmed();
    if (!d.isEmpty())
        return d.startsWith(u'/') || d.startsWith(u'.') ? d : QStringLiteral("/dev/") + d;
    if (port >= 1 && port <= 99)
        return QStringLiteral("/dev/ttyS%1").arg(port - 1);
    if (port >= 100 && port <= 199)
        return QStringLiteral("/dev/ttyUSB%1").arg(port - 100);
    if (port >= 200 && port <= 299)
        return QStringLiteral("/dev/ttyACM%1").arg(port - 200);
    return QString();
}

} // namespace cvx
