#pragma once
// The scenario the link's end-to-end tests and benchmark serve with vbtsim.

#include <QByteArray>
#include <QString>

namespace cvx::test {

// A scenario with `count` temperature and humidity sensors at addresses 1..count behind
// one interface, on TCP (port 0: a free one) or on a serial device path.
inline QByteArray sensorScenario(int count, int tcpPort, const QString& serialPath = {}, int slowBaud = 0)
{
    QByteArray devices;
    for (int a = 1; a <= count; ++a) {
        if (a > 1)
            devices += ',';
        devices += QStringLiteral(R"({"name": "s%1", "address": %1, "type": 4, "values": {"T": %2, "H": 45.2}})")
                       .arg(a)
                       .arg(20.0 + a * 0.25)
                       .toUtf8();
    }
    const QByteArray endpoint = serialPath.isEmpty()
        ? QStringLiteral(R"("tcp": {"host": "127.0.0.1", "port": %1})").arg(tcpPort).toUtf8()
        : QStringLiteral(R"("serial": {"path": "%1"})").arg(serialPath).toUtf8();
    const QByteArray faults = slowBaud > 0 ? QStringLiteral(R"("faults": {"slow": {"on": true, "baud": %1}},)")
                                                 .arg(slowBaud)
                                                 .toUtf8()
                                           : QByteArray();
    return R"({"name": "link-e2e", "interfaces": [{"name": "room", "protocol": "VBT", )" + endpoint + ", " + faults
        + R"( "devices": [)" + devices + "]}]}";
}

} // namespace cvx::test
