#include "control_server.h"

#include "simulator.h"

#include <QTcpSocket>

namespace cvx::vbtsim {

ControlServer::ControlServer(Simulator& sim, QObject* parent) : QObject(parent), sim_(sim)
{
    connect(&server_, &QTcpServer::newConnection, this, &ControlServer::accept);
}

bool ControlServer::listen(quint16 port, QString* error)
{
    if (!server_.listen(QHostAddress::LocalHost, port)) {
        *error = server_.errorString();
        return false;
    }
    return true;
}

void ControlServer::accept()
{
    while (QTcpSocket* s = server_.nextPendingConnection()) {
        connect(s, &QTcpSocket::disconnected, s, &QObject::deleteLater);
        connect(s, &QTcpSocket::readyRead, this, [this, s] {
            while (s->canReadLine()) {
                const QString line = QString::fromUtf8(s->readLine()).trimmed();
                if (line.isEmpty())
                    continue;
                const Simulator::Reply r = sim_.command(line);
                QByteArray out;
                for (const QString& l : r.lines)
                    out += l.toUtf8() + '\n';
                out += r.ok ? QByteArrayLiteral("ok\n") : ("error: " + r.error.toUtf8() + '\n');
                s->write(out);
                if (r.quit) {
                    s->flush();
                    Q_EMIT quitRequested();
                    return;
                }
            }
            if (s->bytesAvailable() > 65536) {
                s->write("error: line too long\n");
                s->disconnectFromHost();
            }
        });
    }
}

} // namespace cvx::vbtsim
