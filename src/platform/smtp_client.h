#pragma once
// Sending one plain-text e-mail over SMTP. The send call blocks for as long as the
// server takes (each reply may take up to the read time-out), so callers run it on a
// worker thread. Production uses libcurl; tests hand in a fake.

#include <QByteArray>
#include <QDateTime>
#include <QString>
#include <QStringList>

#include <atomic>
#include <functional>
#include <memory>

namespace cvx {

enum class SmtpSecurity {
    None,        // plain SMTP
    StartTls,    // STARTTLS required: a server that does not offer it is an error
    ImplicitTls, // TLS from the first byte (usually port 465)
};

struct SmtpSettings {
    QString host;
    int port = 25;
    QString userName;   // empty: no authentication
    QString password;
    SmtpSecurity security = SmtpSecurity::None;
    int connectTimeoutMs = 10000;
    int readTimeoutMs = 10000;  // per server reply
    QString caFile;             // extra trusted certificates (PEM); empty: the system's
};

struct SmtpMessage {
    QString sender;          // "addr" or "Name <addr>"
    QStringList recipients;  // each "addr" or "Name <addr>"
    QString subject;
    QString body;
    QDateTime date;          // local time with its offset
};

// A progress report of the client: a short name and a sentence.
struct SmtpStatus {
    QString name;   // "hsResolving", "hsConnecting", "hsConnected", "hsDisconnected"
    QString text;
};

struct SmtpResult {
    bool ok = false;
    QString error;  // why it failed, as the library and the server said it
};

class SmtpClient {
public:
    using StatusSink = std::function<void(const SmtpStatus&)>;
    virtual ~SmtpClient() = default;
    // Connects, sends and disconnects whatever happened. onStatus is called on the
    // calling thread. A set cancel flag ends the transfer early with an error.
    virtual SmtpResult send(const SmtpSettings& settings, const SmtpMessage& message, const StatusSink& onStatus,
                            const std::atomic<bool>* cancel) = 0;
};

// The libcurl client.
std::unique_ptr<SmtpClient> createCurlSmtpClient();

// The address part of "Name <addr>" (or the trimmed text itself).
QString MailAddressOf(const QString& text);
// Splits a comma- or semicolon-separated recipient list; empty entries are dropped.
QStringList ParseRecipientList(const QString& text);
// The message as it goes over the wire: headers, an empty line, the body in
// quoted-printable UTF-8, CR LF line ends.
QByteArray ComposeMailText(const SmtpMessage& message);

} // namespace cvx
