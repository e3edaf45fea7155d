#include "net/page_producer.h"

#include <QFile>
#include <QStringDecoder>

namespace cvx {

int TemplateTag::intParam(const QString& name, int def) const
{
    bool ok = false;
    const int v = param(name).trimmed().toInt(&ok);
    return ok ? v : def;
}

namespace {

bool isBlank(QChar c) { return c.unicode() <= 32; }

// Reads one tag whose "<#" starts at pos; on success end is the index after its ">".
bool parseTag(const QString& t, qsizetype pos, TemplateTag* tag, qsizetype* end)
{
    const qsizetype n = t.size();
    qsizetype i = pos + 2;
    const qsizetype nameStart = i;
    while (i < n && !isBlank(t[i]) && t[i] != u'>')
        ++i;
    tag->name = t.mid(nameStart, i - nameStart);
    tag->params.clear();
    for (;;) {
        while (i < n && isBlank(t[i]))
            ++i;
        if (i >= n)
            return false;
        if (t[i] == u'>') {
            *end = i + 1;
            return true;
        }
        const qsizetype ps = i;
        while (i < n && !isBlank(t[i]) && t[i] != u'>' && t[i] != u'=')
            ++i;
        const QString pname = t.mid(ps, i - ps).toLower();
        QString value;
        if (i < n && t[i] == u'=') {
            ++i;
            if (i < n && (t[i] == u'"' || t[i] == u'\'')) {
                const QChar quote = t[i++];
                const qsizetype vs = i;
                while (i < n && t[i] != quote)
                    ++i;
                if (i >= n)
                    return false;
                value = t.mid(vs, i - vs);
                ++i;
            } else {
                const qsizetype vs = i;
                while (i < n && !isBlank(t[i]) && t[i] != u'>')
                    ++i;
                value = t.mid(vs, i - vs);
            }
        }
        tag->params.insert(pname, value);
    }
}

} // namespace

QString TPageProducer::Produce(const QString& text, const TagHandler& handler)
{
    QString out;
    out.reserve(text.size() * 2);
    qsizetype pos = 0;
    TemplateTag tag;
    for (;;) {
        const qsizetype start = text.indexOf(QStringLiteral("<#"), pos);
        if (start < 0) {
            out += QStringView(text).mid(pos);
            break;
        }
        out += QStringView(text).mid(pos, start - pos);
        qsizetype end = 0;
        if (!parseTag(text, start, &tag, &end)) {
            // An unfinished tag stays as written.
            out += QStringView(text).mid(start);
            break;
        }
        if (handler)
            out += handler(tag);
        pos = end;
    }
    return out;
}

bool ReadTemplateFile(const QString& path, QString* text, QString* error)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly)) {
        if (error)
            *error = f.errorString();
        return false;
    }
    const QByteArray raw = f.readAll();
    if (f.error() != QFileDevice::NoError) {
        if (error)
            *error = f.errorString();
        return false;
    }
    QStringDecoder utf8(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    QString decoded = utf8.decode(raw);
    if (utf8.hasError()) {
        QStringDecoder cp1250("windows-1250");
        decoded = cp1250.isValid() ? cp1250.decode(raw) : QString::fromLatin1(raw);
    }
    if (decoded.startsWith(QChar(0xFEFF)))
        decoded.remove(0, 1);
    *text = decoded;
    return true;
}

QString HtmlEscaped(const QString& text) { return text.toHtmlEscaped(); }

} // namespace cvx
