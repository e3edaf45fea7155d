#pragma once
// One SNMP GET of one object identifier, blocking: meant for a worker thread. net-snmp
// stays behind this header. Several clients may run on different threads at once.

#include <QString>

namespace cvx {

struct SnmpGetResult {
    bool ok = false;
    // The value as text: octet strings as they are (UTF-8, else one character per byte),
    // integers, counters, gauges and time ticks in decimal, other types as the library
    // prints them.
    QString value;
    QString error;   // why it failed (no answer, error status, no such object ...)
};

class SnmpClient {
public:
    virtual ~SnmpClient() = default;
    // host: name or address, optionally ":port" (161 by default). oid: dotted numbers.
    virtual SnmpGetResult Get(const QString& host, const QString& oid, const QString& community) = 0;
};

// The net-snmp client: SNMPv1 (what the climate sensors speak), one try of
// timeoutMs by default.
class NetSnmpClient final : public SnmpClient {
public:
    explicit NetSnmpClient(int timeoutMs = 5000, int retries = 0, bool version2c = false);
    SnmpGetResult Get(const QString& host, const QString& oid, const QString& community) override;

private:
    int timeoutMs_;
    int retries_;
    bool version2c_;
};

// Parses "1.3.6.1" (a leading dot allowed) into its numbers; false for anything else.
bool ParseNumericOid(const QString& text, unsigned long* out, int maxLength, int* length);

} // namespace cvx
