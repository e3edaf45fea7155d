#include "catalogue.h"

#include <QDir>
#include <QFile>
#include <QStringDecoder>

#include <algorithm>

static void initLangResource() { Q_INIT_RESOURCE(lang); }

namespace cvx {

namespace {

QString unescape(const QString& s)
{
    QString out;
    out.reserve(s.size());
    for (int i = 0; i < s.size(); ++i) {
        if (s[i] != u'\\' || i + 1 >= s.size()) {
            out += s[i];
            continue;
        }
        const QChar n = s[++i];
        switch (n.unicode()) {
        case 'n': out += u'\n'; break;
        case 'r': out += u'\r'; break;
        case 't': out += u'\t'; break;
        case '\\': out += u'\\'; break;
        default: out += u'\\'; out += n; break;
        }
    }
    return out;
}

} // namespace

Catalogue::Catalogue()
{
    initLangResource();
    QFile f(QStringLiteral(":/lang/hu.lng"));
    QString error;
    if (f.open(QIODevice::ReadOnly))
        parse(f.readAll(), builtIn_, &error);
    builtIn_.id = Hungarian;
}

Catalogue& Catalogue::instance()
{
    static Catalogue c;
    return c;
}

bool Catalogue::parse(const QByteArray& content, LanguageFile& out, QString* error)
{
    QStringDecoder utf8(QStringDecoder::Utf8);
    QString text = utf8.decode(content);
    if (utf8.hasError()) {
        if (error)
            *error = QStringLiteral("not UTF-8 text");
        return false;
    }
    if (text.startsWith(QChar(0xFEFF)))
        text.remove(0, 1);
    enum { None, Header, Messages } section = None;
    bool haveId = false;
    int lineNo = 0;
    for (QString line : text.split(u'\n')) {
        ++lineNo;
        if (line.endsWith(u'\r'))
            line.chop(1);
        const QString t = line.trimmed();
        if (t.isEmpty() || t.startsWith(u';'))
            continue;
        if (t.startsWith(u'[') && t.endsWith(u']')) {
            const QString name = t.mid(1, t.size() - 2).trimmed();
            if (name.compare(QLatin1String("Language"), Qt::CaseInsensitive) == 0)
                section = Header;
            else if (name.compare(QLatin1String("Messages"), Qt::CaseInsensitive) == 0)
                section = Messages;
            else
                section = None;
            continue;
        }
        const int eq = line.indexOf(u'=');
        if (eq <= 0) {
            if (error)
                *error = QStringLiteral("line %1: no '='").arg(lineNo);
            return false;
        }
        const QString key = line.left(eq).trimmed();
        const QString value = line.mid(eq + 1);
        if (section == Header) {
            if (key.compare(QLatin1String("Id"), Qt::CaseInsensitive) == 0) {
                bool ok = false;
                out.id = value.trimmed().toInt(&ok);
                haveId = ok && out.id > 0;
            } else if (key.compare(QLatin1String("Name"), Qt::CaseInsensitive) == 0) {
                out.name = value.trimmed();
            }
        } else if (section == Messages) {
            const QString lower = key.toLower();
            if (!out.texts.contains(lower))
                out.keysInOrder.append(key);
            out.texts.insert(lower, unescape(value));
        }
    }
    if (!haveId) {
        if (error)
            *error = QStringLiteral("no language Id");
        return false;
    }
    return true;
}

bool Catalogue::registerLanguageFile(const QString& path, QString* error)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly)) {
        if (error)
            *error = f.errorString();
        return false;
    }
    LanguageFile lf;
    if (!parse(f.readAll(), lf, error))
        return false;
    lf.path = path;
    registered_.append(std::move(lf));
    return true;
}

int Catalogue::registerLanguageFiles(const QString& folder)
{
    const QStringList files = QDir(folder).entryList({QStringLiteral("*.lng")}, QDir::Files, QDir::Name);
    int count = 0;
    for (const QString& name : files)
        if (registerLanguageFile(QDir(folder).filePath(name)))
            ++count;
    return count;
}

void Catalogue::clearRegistered()
{
    registered_.clear();
    selected_ = -1;
}

QList<const LanguageFile*> Catalogue::languages() const
{
    QList<const LanguageFile*> out{&builtIn_};
    for (const LanguageFile& lf : registered_)
        out.append(&lf);
    return out;
}

bool Catalogue::select(int languageId)
{
    if (languageId == Hungarian) {
        selected_ = -1;
        return true;
    }
    for (int i = 0; i < registered_.size(); ++i)
        if (registered_[i].id == languageId) {
            selected_ = i;
            return true;
        }
    return false;
}

int Catalogue::selectedId() const { return selected_ < 0 ? Hungarian : registered_[selected_].id; }

QString Catalogue::text(const QString& key) const
{
    const QString lower = key.toLower();
    if (selected_ >= 0) {
        auto it = registered_[selected_].texts.constFind(lower);
        if (it != registered_[selected_].texts.constEnd())
            return *it;
    }
    return builtIn_.texts.value(lower);
}

bool Catalogue::contains(const QString& key) const { return builtIn_.texts.contains(key.toLower()); }

QString Msg(const QString& key) { return Catalogue::instance().text(key); }

} // namespace cvx
