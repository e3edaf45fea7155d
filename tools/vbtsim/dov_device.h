#pragma once
// A DOV device server: it does not answer frames but sends one text line of its
// temperatures (or temperature and humidity) to every connection at a fixed period.

#include "curve.h"
#include "device.h"

#include <QMap>

namespace cvx::vbtsim {

class DovDevice : public Device {
public:
    DovDevice(SimContext& ctx, JsonReader& cfg);
    QString kindName() const override { return QStringLiteral("DOV server"); }
    void start() override;
    // The line it would send now, line feed included.
    QByteArray currentLine() const { return lineAt(faults()[Fault::Broken].active()); }
    QString setValue(const QString& key, const QString& text) override;
    QString runCommand(const QString& verb, const QStringList& args, QStringList* out) override;
    QStringList statusLines() const override;

private:
    QByteArray lineAt(bool broken) const;
    void sendLine();

    bool humidityFormat_ = false; // "*T=21.5C H=45.2%" instead of "*T0=+021.50C T1=..."
    QString prefix_;
    int periodMs_ = 2000;
    QMap<QString, Curve> channels_; // "T0", "T1", ... or "T", "H"
    std::unique_ptr<Timer> timer_;
};

} // namespace cvx::vbtsim
