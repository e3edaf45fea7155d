#include "smtp_client.h"

#include <QRegularExpression>
#include <QUuid>

#include <curl/curl.h>

#include <cstring>
#include <mutex>

namespace cvx {

// ---- message text ---------------------------------------------------------------------

QString MailAddressOf(const QString& text)
{
    const QString t = text.trimmed();
    const int open = t.lastIndexOf(u'<');
    const int close = t.lastIndexOf(u'>');
    if (open >= 0 && close > open)
        return t.mid(open + 1, close - open - 1).trimmed();
    return t;
}

QStringList ParseRecipientList(const QString& text)
{
    QStringList out;
    for (const QString& part : text.split(QRegularExpression(QStringLiteral("[,;]")))) {
        const QString t = part.trimmed();
        if (!t.isEmpty())
            out << t;
    }
    return out;
}

namespace {

const char* const DayNames[] = {"Mon", "Tue", "Wed", "Thu", "Fri", "Sat", "Sun"};
const char* const MonthNames[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                  "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

QByteArray rfc5322Date(const QDateTime& dt)
{
    const QDateTime d = dt.isValid() ? dt : QDateTime::currentDateTime();
    const int offset = d.offsetFromUtc() / 60;
    const QChar sign = offset < 0 ? u'-' : u'+';
    const int a = qAbs(offset);
    return QStringLiteral("%1, %2 %3 %4 %5 %6%7%8")
        .arg(QLatin1String(DayNames[d.date().dayOfWeek() - 1]))
        .arg(d.date().day())
        .arg(QLatin1String(MonthNames[d.date().month() - 1]))
        .arg(d.date().year())
        .arg(d.time().toString(QStringLiteral("HH:mm:ss")))
        .arg(sign)
        .arg(a / 60, 2, 10, QChar(u'0'))
        .arg(a % 60, 2, 10, QChar(u'0'))
        .toLatin1();
}

bool plainAscii(const QString& s)
{
    for (QChar c : s)
        if (c.unicode() < 32 || c.unicode() > 126)
            return false;
    return true;
}

// A header value as encoded words of at most 75 characters, never splitting a character.
QByteArray encodedWords(const QString& value)
{
    QByteArray out;
    QByteArray chunk;
    auto flush = [&] {
        if (chunk.isEmpty())
            return;
        if (!out.isEmpty())
            out += "\r\n ";
        out += "=?UTF-8?B?" + chunk.toBase64() + "?=";
        chunk.clear();
    };
    for (int i = 0; i < value.size(); ++i) {
        QString ch(value[i]);
        if (value[i].isHighSurrogate() && i + 1 < value.size())
            ch += value[++i];
        const QByteArray bytes = ch.toUtf8();
        if (chunk.size() + bytes.size() > 45)
            flush();
        chunk += bytes;
    }
    flush();
    return out;
}

// "Name: value" folded before blanks so that lines stay short; text that cannot be
// sent as it is goes as encoded words.
QByteArray headerLine(const char* name, const QString& value)
{
    const QByteArray head = QByteArray(name) + ": ";
    bool longWord = false;
    for (const QString& w : value.split(u' '))
        longWord = longWord || w.size() > 900;
    if (!plainAscii(value) || longWord)
        return head + encodedWords(value) + "\r\n";
    QByteArray out = head;
    int lineLength = out.size();
    const QByteArray v = value.toLatin1();
    int i = 0;
    while (i < v.size()) {
        int next = v.indexOf(' ', i + 1);
        if (next < 0)
            next = v.size();
        const QByteArray piece = v.mid(i, next - i); // starts with the blank that precedes it
        if (lineLength + piece.size() > 78 && lineLength > head.size() && piece.startsWith(' ')) {
            out += "\r\n";
            lineLength = 0;
        }
        out += piece;
        lineLength += piece.size();
        i = next;
    }
    return out + "\r\n";
}

QByteArray quotedPrintable(const QString& body)
{
    QString text = body;
    text.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    text.replace(u'\r', u'\n');
    QByteArray out;
    const QStringList lines = text.split(u'\n');
    for (int li = 0; li < lines.size(); ++li) {
        const QByteArray bytes = lines[li].toUtf8();
        QByteArray line;
        for (int i = 0; i < bytes.size(); ++i) {
            const uchar c = uchar(bytes[i]);
            QByteArray enc;
            const bool last = i == bytes.size() - 1;
            if ((c >= 33 && c <= 126 && c != '=' && !(c == '.' && line.isEmpty()))
                || ((c == ' ' || c == '\t') && !last))
                enc = QByteArray(1, char(c));
            else
                enc = "=" + QByteArray::number(c, 16).toUpper().rightJustified(2, '0');
            if (line.size() + enc.size() > 75) {
                out += line + "=\r\n";
                line.clear();
                if (enc == ".")
                    enc = "=2E";
            }
            line += enc;
        }
        out += line;
        if (li + 1 < lines.size())
            out += "\r\n";
    }
    return out + "\r\n";
}

} // namespace

QByteArray ComposeMailText(const SmtpMessage& m)
{
    QByteArray out;
    out += "Date: " + rfc5322Date(m.date) + "\r\n";
    out += headerLine("From", m.sender);
    out += headerLine("To", m.recipients.join(QStringLiteral(", ")));
    out += headerLine("Subject", m.subject);
    QString domain = MailAddressOf(m.sender).section(u'@', 1);
    if (domain.isEmpty() || !plainAscii(domain))
        domain = QStringLiteral("corvalux.local");
    out += "Message-ID: <" + QUuid::createUuid().toString(QUuid::WithoutBraces).toLatin1() + "@" + domain.toLatin1()
        + ">\r\n";
    out += "MIME-Version: 1.0\r\n";
    out += "Content-Type: text/plain; charset=UTF-8\r\n";
    out += "Content-Transfer-Encoding: quoted-printable\r\n";
    out += "\r\n";
    out += quotedPrintable(m.body);
    return out;
}

// ---- libcurl ----------------------------------------------------------------------------

namespace {

struct Upload {
    QByteArray data;
    qsizetype pos = 0;
};

size_t readPayload(char* buffer, size_t size, size_t count, void* user)
{
    auto* u = static_cast<Upload*>(user);
    const qsizetype room = qsizetype(size * count);
    const qsizetype n = qMin(room, u->data.size() - u->pos);
    if (n <= 0)
        return 0;
    std::memcpy(buffer, u->data.constData() + u->pos, size_t(n));
    u->pos += n;
    return size_t(n);
}

struct Progress {
    const std::atomic<bool>* cancel = nullptr;
    const SmtpClient::StatusSink* onStatus = nullptr;
    bool connectedReported = false;
};

int onProgress(void* user, curl_off_t, curl_off_t, curl_off_t, curl_off_t)
{
    auto* p = static_cast<Progress*>(user);
    return p->cancel && p->cancel->load() ? 1 : 0;
}

// The library's informational lines tell when it connects; they become status reports.
int onDebug(CURL*, curl_infotype type, char* data, size_t size, void* user)
{
    if (type != CURLINFO_TEXT)
        return 0;
    auto* p = static_cast<Progress*>(user);
    const QString line = QString::fromUtf8(data, qsizetype(size)).trimmed();
    if (!p->onStatus || !*p->onStatus)
        return 0;
    if (line.startsWith(QStringLiteral("Trying "))) {
        QString target = line.mid(7);
        if (target.endsWith(QStringLiteral("...")))
            target.chop(3);
        (*p->onStatus)(SmtpStatus{QStringLiteral("hsConnecting"), QStringLiteral("Connecting to %1.").arg(target)});
    } else if (line.startsWith(QStringLiteral("Connected to ")) && !p->connectedReported) {
        p->connectedReported = true;
        (*p->onStatus)(SmtpStatus{QStringLiteral("hsConnected"), QStringLiteral("Connected.")});
    }
    return 0;
}

class CurlSmtpClient final : public SmtpClient {
public:
    CurlSmtpClient()
    {
        static std::once_flag once;
        std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
    }

    SmtpResult send(const SmtpSettings& s, const SmtpMessage& m, const StatusSink& onStatus,
                    const std::atomic<bool>* cancel) override
    {
        SmtpResult result;
        auto status = [&](const char* name, const QString& text) {
            if (onStatus)
                onStatus(SmtpStatus{QString::fromLatin1(name), text});
        };
        const QStringList recipients = m.recipients;
        if (recipients.isEmpty()) {
            result.error = QStringLiteral("No recipient");
            return result;
        }
        if (s.host.trimmed().isEmpty()) {
            result.error = QStringLiteral("No SMTP server is set");
            return result;
        }
        CURL* curl = curl_easy_init();
        if (!curl) {
            result.error = QStringLiteral("Cannot create the SMTP client");
            return result;
        }
        status("hsResolving", QStringLiteral("Resolving hostname %1.").arg(s.host));

        QString host = s.host.trimmed();
        if (host.contains(u':') && !host.startsWith(u'['))
            host = u'[' + host + u']';
        const QByteArray url = QStringLiteral("%1://%2:%3")
                                   .arg(s.security == SmtpSecurity::ImplicitTls ? QStringLiteral("smtps")
                                                                                : QStringLiteral("smtp"),
                                        host)
                                   .arg(s.port)
                                   .toUtf8();
        const QByteArray from = "<" + MailAddressOf(m.sender).toUtf8() + ">";
        curl_slist* rcpt = nullptr;
        for (const QString& r : recipients)
            rcpt = curl_slist_append(rcpt, ("<" + MailAddressOf(r).toUtf8() + ">").constData());
        Upload upload{ComposeMailText(m), 0};
        Progress progress{cancel, &onStatus};
        char errorBuffer[CURL_ERROR_SIZE] = {0};
        const QByteArray user = s.userName.toUtf8();
        const QByteArray password = s.password.toUtf8();
        const QByteArray caFile = s.caFile.toLocal8Bit();

        curl_easy_setopt(curl, CURLOPT_URL, url.constData());
        curl_easy_setopt(curl, CURLOPT_MAIL_FROM, from.constData());
        curl_easy_setopt(curl, CURLOPT_MAIL_RCPT, rcpt);
        curl_easy_setopt(curl, CURLOPT_UPLOAD, 1L);
        curl_easy_setopt(curl, CURLOPT_READFUNCTION, readPayload);
        curl_easy_setopt(curl, CURLOPT_READDATA, &upload);
        curl_easy_setopt(curl, CURLOPT_INFILESIZE_LARGE, curl_off_t(upload.data.size()));
        curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
        curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, errorBuffer);
        curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT_MS, long(s.connectTimeoutMs));
        curl_easy_setopt(curl, CURLOPT_SERVER_RESPONSE_TIMEOUT, long((s.readTimeoutMs + 999) / 1000));
        // A reply that trickles in byte by byte must not hold the sender for ever either.
        curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, long(s.connectTimeoutMs) + 30L * s.readTimeoutMs);
        curl_easy_setopt(curl, CURLOPT_NOPROGRESS, 0L);
        curl_easy_setopt(curl, CURLOPT_XFERINFOFUNCTION, onProgress);
        curl_easy_setopt(curl, CURLOPT_XFERINFODATA, &progress);
        curl_easy_setopt(curl, CURLOPT_VERBOSE, 1L);
        curl_easy_setopt(curl, CURLOPT_DEBUGFUNCTION, onDebug);
        curl_easy_setopt(curl, CURLOPT_DEBUGDATA, &progress);
        curl_easy_setopt(curl, CURLOPT_FORBID_REUSE, 1L);
        if (!s.userName.isEmpty()) {
            curl_easy_setopt(curl, CURLOPT_USERNAME, user.constData());
            curl_easy_setopt(curl, CURLOPT_PASSWORD, password.constData());
        }
        if (s.security == SmtpSecurity::StartTls)
            curl_easy_setopt(curl, CURLOPT_USE_SSL, long(CURLUSESSL_ALL));
        if (!caFile.isEmpty())
            curl_easy_setopt(curl, CURLOPT_CAINFO, caFile.constData());

        const CURLcode rc = curl_easy_perform(curl);
        long response = 0;
        curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &response);
        curl_slist_free_all(rcpt);
        curl_easy_cleanup(curl);
        status("hsDisconnected", QStringLiteral("Disconnected."));

        if (rc == CURLE_OK) {
            result.ok = true;
            return result;
        }
        QString text = QString::fromUtf8(errorBuffer).trimmed();
        if (text.isEmpty())
            text = QString::fromUtf8(curl_easy_strerror(rc));
        if (rc == CURLE_ABORTED_BY_CALLBACK)
            text = QStringLiteral("Sending was cancelled");
        if (response >= 400)
            text += QStringLiteral(" (server reply %1)").arg(response);
        result.error = text;
        return result;
    }
};

} // namespace

std::unique_ptr<SmtpClient> createCurlSmtpClient() { return std::make_unique<CurlSmtpClient>(); }

} // namespace cvx
