#pragma once
// Measuring sensors (answer the poll with their values laid out by sensor type) and
// relay or input panels (relay commands, states in one byte per relay).

#include "curve.h"
#include "device.h"
#include "measures.h"

#include <QMap>
#include <QVector>

namespace cvx::vbtsim {

class SensorDevice : public Device {
public:
    SensorDevice(SimContext& ctx, JsonReader& cfg, int sensorType);
    QString kindName() const override { return QStringLiteral("sensor type %1").arg(type_); }
    int sensorType() const { return type_; }
    QString setValue(const QString& key, const QString& text) override;
    QStringList statusLines() const override;
    std::optional<QByteArray> dataAt(double seconds) const override;

protected:
    void restarted() override;

private:
    void loadCalibration();

    int type_;
    QVector<LayoutSlot> layout_;
    QMap<int, Curve> curves_;      // by measure type
    QMap<int, qint64> calibration_; // raw offsets in effect, by measure type
};

class PanelDevice : public Device {
public:
    PanelDevice(SimContext& ctx, JsonReader& cfg, int sensorType);
    QString kindName() const override;
    QString setValue(const QString& key, const QString& text) override;
    QStringList statusLines() const override;
    std::optional<QByteArray> dataAt(double seconds) const override;

protected:
    std::optional<Outcome> executeOwn(const QByteArray& payload, const QByteArray& mnemonic,
                                      const ReplyRoute& route) override;
    void restarted() override;

private:
    int type_;
    QVector<bool> states_;
    QVector<bool> powerOn_;
};

// Calibration parameter addresses of a sensor, by measure type; -1 when it has none.
int calibrationAddress(int measureType);

} // namespace cvx::vbtsim
