#include "snmp_client.h"

#include <QByteArray>
#include <QStringDecoder>
#include <QStringList>

#include <mutex>
#include <vector>

#include <net-snmp/net-snmp-config.h>
#include <net-snmp/net-snmp-includes.h>

namespace cvx {

namespace {

std::mutex& libraryMutex()
{
    static std::mutex m;
    return m;
}

// The library's own start-up is not thread-safe; it runs once, under the lock. No
// configuration or MIB files are read: object identifiers are numeric.
void initLibraryOnce()
{
    static std::once_flag once;
    std::call_once(once, [] {
        netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_DONT_READ_CONFIGS, 1);
        netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_DISABLE_PERSISTENT_LOAD, 1);
        netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_DISABLE_PERSISTENT_SAVE, 1);
        netsnmp_session probe;
        snmp_sess_init(&probe);
    });
}

QString octetText(const u_char* bytes, size_t length)
{
    const QByteArray raw(reinterpret_cast<const char*>(bytes), qsizetype(length));
    QStringDecoder utf8(QStringDecoder::Utf8);
    QString text = utf8.decode(raw);
    if (utf8.hasError())
        text = QString::fromLatin1(raw);
    return text;
}

QString valueText(const netsnmp_variable_list* v)
{
    switch (v->type) {
    case ASN_OCTET_STR:
        return octetText(v->val.string, v->val_len);
    case ASN_INTEGER:
        return QString::number(*v->val.integer);
    case ASN_COUNTER:
    case ASN_GAUGE:
    case ASN_TIMETICKS:
    case ASN_UINTEGER:
        return QString::number(static_cast<unsigned long>(*v->val.integer) & 0xFFFFFFFFul);
    default: {
        std::vector<char> buffer(512);
        const int n = snprint_value(buffer.data(), buffer.size(), v->name, v->name_length, v);
        return n > 0 ? QString::fromUtf8(buffer.data(), n) : QString();
    }
    }
}

} // namespace

bool ParseNumericOid(const QString& text, unsigned long* out, int maxLength, int* length)
{
    QString t = text.trimmed();
    if (t.startsWith(u'.'))
        t.remove(0, 1);
    const QStringList parts = t.split(u'.');
    if (t.isEmpty() || parts.size() < 2 || parts.size() > maxLength)
        return false;
    int n = 0;
    for (const QString& p : parts) {
        bool ok = false;
        const qulonglong v = p.toULongLong(&ok);
        if (!ok || p.isEmpty() || v > 0xFFFFFFFFull)
            return false;
        out[n++] = static_cast<unsigned long>(v);
    }
    *length = n;
    return true;
}

NetSnmpClient::NetSnmpClient(int timeoutMs, int retries, bool version2c)
    : timeoutMs_(timeoutMs), retries_(retries), version2c_(version2c)
{
}

SnmpGetResult NetSnmpClient::Get(const QString& host, const QString& oidText, const QString& community)
{
    SnmpGetResult result;
    oid name[MAX_OID_LEN];
    unsigned long parsed[MAX_OID_LEN];
    int length = 0;
    if (!ParseNumericOid(oidText, parsed, MAX_OID_LEN, &length)) {
        result.error = QStringLiteral("Invalid object identifier: %1").arg(oidText);
        return result;
    }
    for (int i = 0; i < length; ++i)
        name[i] = parsed[i];

    QByteArray peer = host.trimmed().toUtf8();
    QByteArray comm = community.toUtf8();
    void* handle = nullptr;
    {
        std::lock_guard<std::mutex> lock(libraryMutex());
        initLibraryOnce();
        netsnmp_session session;
        snmp_sess_init(&session);
        session.peername = peer.data();
        session.version = version2c_ ? SNMP_VERSION_2c : SNMP_VERSION_1;
        session.community = reinterpret_cast<u_char*>(comm.data());
        session.community_len = size_t(comm.size());
        session.timeout = long(timeoutMs_) * 1000;
        session.retries = retries_;
        handle = snmp_sess_open(&session);
    }
    if (!handle) {
        result.error = QStringLiteral("Cannot open an SNMP session to %1").arg(host);
        return result;
    }

    netsnmp_pdu* request = snmp_pdu_create(SNMP_MSG_GET);
    snmp_add_null_var(request, name, size_t(length));
    netsnmp_pdu* response = nullptr;
    const int status = snmp_sess_synch_response(handle, request, &response);
    if (status != STAT_SUCCESS || !response) {
        result.error = status == STAT_TIMEOUT ? QStringLiteral("No answer from %1").arg(host)
                                              : QStringLiteral("SNMP request to %1 failed").arg(host);
    } else if (response->errstat != SNMP_ERR_NOERROR) {
        result.error = QStringLiteral("SNMP error status %1: %2")
                           .arg(response->errstat)
                           .arg(QString::fromUtf8(snmp_errstring(int(response->errstat))));
    } else if (!response->variables) {
        result.error = QStringLiteral("Empty SNMP answer");
    } else {
        const netsnmp_variable_list* v = response->variables;
        if (v->type == SNMP_NOSUCHOBJECT || v->type == SNMP_NOSUCHINSTANCE || v->type == SNMP_ENDOFMIBVIEW
            || v->type == ASN_NULL) {
            result.error = QStringLiteral("No such object: %1").arg(oidText);
        } else {
            result.ok = true;
            result.value = valueText(v);
        }
    }
    if (response)
        snmp_free_pdu(response);
    snmp_sess_close(handle);
    return result;
}

} // namespace cvx
