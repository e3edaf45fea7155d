#pragma once
// The whole simulation of one scenario: its interfaces with their devices, and the
// commands of the control channel that change them while they run.

#include "sim_context.h"
#include "sim_interface.h"

#include <QString>
#include <QStringList>

#include <memory>
#include <vector>

namespace cvx::vbtsim {

class Simulator {
public:
    Simulator(TimeService& time, SimLog& log);
    ~Simulator();

    // Both throw ScenarioError with the place and nature of the first mistake.
    void load(const QByteArray& json, const QString& scenarioDir = QString());
    void loadFile(const QString& path);
    // Starts the devices that act by themselves (loggers, DOV lines, watchdogs).
    void start();

    const QString& scenarioName() const { return name_; }
    const std::vector<std::unique_ptr<SimInterface>>& interfaces() const { return interfaces_; }
    SimInterface* findInterface(const QString& name) const;
    // By name, or as INTERFACE/ADDRESS.
    Device* findDevice(const QString& name) const;
    SimContext& context() { return *ctx_; }

    struct Reply {
        bool ok = true;
        QString error;
        QStringList lines;
        bool quit = false;
    };
    // One line of the control channel (see the README for the commands).
    Reply command(const QString& line);
    static QStringList helpLines();

private:
    Reply setFault(const QStringList& words);

    TimeService& time_;
    SimLog& log_;
    std::unique_ptr<SimContext> ctx_;
    QString name_;
    std::vector<std::unique_ptr<SimInterface>> interfaces_;
};

} // namespace cvx::vbtsim
