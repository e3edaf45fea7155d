#pragma once
// One simulated interface: a network device server (one listening TCP port) or a serial
// line, with the devices behind it. It cuts frames out of what each connection sends,
// finds the device they are for and applies the device side of the link rules: a
// request that asks for it is acknowledged, answers carry the request's serial and frame
// form, broadcasts are carried out but never answered, and the faults of the device or
// the interface bend all of that on purpose.

#include "device.h"
#include "faults.h"
#include "paced_writer.h"
#include "sim_context.h"

#include <QString>
#include <QStringList>

#include <map>
#include <memory>
#include <vector>

namespace cvx::vbtsim {

class JsonReader;
class DovDevice;

enum class Protocol { Vbt, Vbtw, Dov };

// One open connection as the interface sees it.
class Port {
public:
    virtual ~Port() = default;
    virtual void write(const QByteArray& bytes) = 0;
    // A serial line cannot be dropped: it only loses what is in flight.
    virtual bool canClose() const { return true; }
    virtual void close() = 0;
};

class SimInterface {
public:
    struct Endpoint {
        bool serial = false;
        QString host = QStringLiteral("127.0.0.1");
        int port = 0;
        QString path;
    };

    SimInterface(SimContext& ctx, JsonReader& cfg);
    ~SimInterface();

    const QString& name() const { return name_; }
    Protocol protocol() const { return protocol_; }
    QString protocolName() const;
    const Endpoint& endpoint() const { return endpoint_; }
    void setBoundPort(int port) { endpoint_.port = port; }
    FaultSet& faults() { return faults_; }
    // Applies a change of the slow-line fault to the open connections.
    void lineSpeedChanged();
    void start();

    // Returns the connection's id, or -1 when the interface refuses it (it has closed
    // the port then).
    int attach(Port* port, const QString& peer);
    void detach(int connection);
    void receive(int connection, const QByteArray& bytes);
    // Drops every connection (a serial line loses what is in flight instead).
    void drop();
    // Writes raw bytes to every connection, outside any frame.
    void noise(const QByteArray& bytes);
    int connectionCount() const { return int(connections_.size()); }

    const std::vector<std::unique_ptr<Device>>& devices() const { return devices_; }
    Device* deviceAt(quint32 shortAddress) const;
    // By its VBT or its wide address.
    Device* deviceByAddress(quint32 address) const;
    Device* deviceByName(const QString& name) const;

    // For devices: an answer that leaves later than its request (erase, restart).
    void sendReply(Device& from, const ReplyRoute& route, const QByteArray& payload, quint8 info);
    // For devices: a frame of their own to every connection; returns how many got it.
    int sendUnsolicited(Device& from, const QByteArray& payload, quint8 info, quint8 serial);
    // For the DOV device: one text line to every connection.
    int sendLine(Device& from, const QByteArray& line, int delayMs);

    QStringList statusLines() const;

private:
    struct Connection {
        int id = 0;
        Port* port = nullptr;
        QString peer;
        QByteArray rx;
        std::unique_ptr<PacedWriter> writer;
    };
    struct Plan {
        quint8 serial = 0;
        QByteArray garbage;
        int delayMs = 0;
    };

    void handleFrame(Connection& c, const QByteArray& raw);
    void serveRequest(Connection& c, Device& d, const Frame& f);
    bool addressedTo(const Device& d, const Frame& f) const;
    void writeFrame(Device& from, int connection, FrameForm form, quint8 info, quint8 serial,
                    const QByteArray& payload, const QByteArray& garbage, int delayMs);
    Connection* connection(int id);
    QString label(int connection) const;

    SimContext& ctx_;
    QString name_;
    Protocol protocol_ = Protocol::Vbt;
    Endpoint endpoint_;
    FaultSet faults_;
    std::vector<std::unique_ptr<Device>> devices_;
    std::map<int, Connection> connections_;
    int nextConnectionId_ = 1;
    qint64 framesIn_ = 0;
    qint64 framesOut_ = 0;
    qint64 badFrames_ = 0;
};

QString describeFrame(const Frame& f);

} // namespace cvx::vbtsim
