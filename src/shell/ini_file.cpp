#include "ini_file.h"

#include <QFile>
#include <QSaveFile>
#include <QStringDecoder>

namespace cvx {

namespace {

bool isSectionLine(const QString& trimmed, QString* name)
{
    if (!trimmed.startsWith(u'['))
        return false;
    const int close = trimmed.indexOf(u']');
    if (close < 0)
        return false;
    if (name)
        *name = trimmed.mid(1, close - 1).trimmed();
    return true;
}

bool splitKeyLine(const QString& line, QString* key, QString* value)
{
    const QString t = line.trimmed();
    if (t.isEmpty() || t.startsWith(u';'))
        return false;
    const int eq = line.indexOf(u'=');
    if (eq <= 0)
        return false;
    *key = line.left(eq).trimmed();
    if (key->isEmpty())
        return false;
    if (value) {
        QString v = line.mid(eq + 1).trimmed();
        // Like the platform's ini reader: one pair of surrounding quotes is dropped.
        if (v.size() >= 2 && (v.front() == u'"' || v.front() == u'\'') && v.back() == v.front())
            v = v.mid(1, v.size() - 2);
        *value = v;
    }
    return true;
}

bool isStrictInteger(const QString& s, int* out, bool allowSign)
{
    const QString t = s.trimmed();
    if (t.isEmpty())
        return false;
    int i = 0;
    if (allowSign && (t[0] == u'-' || t[0] == u'+'))
        i = 1;
    if (i >= t.size())
        return false;
    for (int k = i; k < t.size(); ++k)
        if (!t[k].isDigit() || t[k].unicode() > 127)
            return false;
    bool ok = false;
    const int v = t.toInt(&ok);
    if (ok && out)
        *out = v;
    return ok;
}

} // namespace

TCreateMissingValuesIni::TCreateMissingValuesIni(QString path) : path_(std::move(path)) { load(); }

void TCreateMissingValuesIni::load()
{
    lines_.clear();
    QFile f(path_);
    if (!f.open(QIODevice::ReadOnly))
        return;
    const QByteArray raw = f.readAll();
    QStringDecoder utf8(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    QString text = utf8.decode(raw);
    if (utf8.hasError()) {
        // Files written by older installations are single-byte Central European.
        QStringDecoder cp1250("windows-1250");
        text = cp1250.isValid() ? cp1250.decode(raw) : QString::fromLatin1(raw);
    }
    if (text.startsWith(QChar(0xFEFF)))
        text.remove(0, 1);
    text.replace(QLatin1String("\r\n"), QLatin1String("\n"));
    lines_ = text.split(u'\n');
    if (!lines_.isEmpty() && lines_.back().isEmpty())
        lines_.removeLast();
}

void TCreateMissingValuesIni::save()
{
    QSaveFile f(path_);
    lastWriteOk_ = false;
    if (!f.open(QIODevice::WriteOnly))
        return;
    QByteArray out;
    for (const QString& l : lines_) {
        out += l.toUtf8();
        out += '\n';
    }
    f.write(out);
    lastWriteOk_ = f.commit();
}

TCreateMissingValuesIni::Found TCreateMissingValuesIni::find(const QString& section, const QString& key) const
{
    Found r;
    bool inSection = false;
    for (int i = 0; i < lines_.size(); ++i) {
        const QString t = lines_[i].trimmed();
        QString name;
        if (isSectionLine(t, &name)) {
            if (inSection)
                break; // the first matching section holds the key, as the platform reader does
            inSection = name.compare(section, Qt::CaseInsensitive) == 0;
            if (inSection)
                r.sectionLine = i;
            continue;
        }
        if (!inSection || key.isEmpty())
            continue;
        QString k;
        if (splitKeyLine(lines_[i], &k, nullptr) && k.compare(key, Qt::CaseInsensitive) == 0) {
            r.keyLine = i;
            break;
        }
    }
    return r;
}

bool TCreateMissingValuesIni::rawRead(const QString& section, const QString& key, QString& value) const
{
    const Found f = find(section, key);
    if (f.keyLine < 0)
        return false;
    QString k;
    splitKeyLine(lines_[f.keyLine], &k, &value);
    return true;
}

void TCreateMissingValuesIni::rawWrite(const QString& section, const QString& key, const QString& value)
{
    const Found f = find(section, key);
    if (f.keyLine >= 0) {
        QString k;
        splitKeyLine(lines_[f.keyLine], &k, nullptr);
        lines_[f.keyLine] = k + u'=' + value;
    } else if (f.sectionLine >= 0) {
        // After the section's last non-blank line.
        int insertAt = f.sectionLine + 1;
        for (int i = f.sectionLine + 1; i < lines_.size(); ++i) {
            if (isSectionLine(lines_[i].trimmed(), nullptr))
                break;
            if (!lines_[i].trimmed().isEmpty())
                insertAt = i + 1;
        }
        lines_.insert(insertAt, key + u'=' + value);
    } else {
        if (!lines_.isEmpty() && !lines_.back().trimmed().isEmpty())
            lines_.append(QString());
        lines_.append(u'[' + section + u']');
        lines_.append(key + u'=' + value);
    }
    save();
}

QString TCreateMissingValuesIni::EscapeLineBreaks(const QString& text)
{
    QString s = text;
    s.replace(QLatin1String("\r\n"), QLatin1String("_CRLF_"));
    s.replace(QLatin1String("\r"), QLatin1String("_CR_"));
    s.replace(QLatin1String("\n"), QLatin1String("_LF_"));
    return s;
}

QString TCreateMissingValuesIni::UnescapeLineBreaks(const QString& text)
{
    QString s = text;
    s.replace(QLatin1String("_CRLF_"), QLatin1String("\r\n"));
    s.replace(QLatin1String("_CR_"), QLatin1String("\r"));
    s.replace(QLatin1String("_LF_"), QLatin1String("\n"));
    return s;
}

QString TCreateMissingValuesIni::ReadString(const QString& section, const QString& key, const QString& defaultValue)
{
    QString stored;
    if (!rawRead(section, key, stored)) {
        rawWrite(section, key, EscapeLineBreaks(defaultValue));
        return defaultValue;
    }
    return UnescapeLineBreaks(stored);
}

void TCreateMissingValuesIni::WriteString(const QString& section, const QString& key, const QString& value)
{
    rawWrite(section, key, EscapeLineBreaks(value));
}

int TCreateMissingValuesIni::ReadInteger(const QString& section, const QString& key, int defaultValue)
{
    const QString text = ReadString(section, key, QString::number(defaultValue));
    int v = 0;
    if (isStrictInteger(text, &v, true))
        return v;
    WriteString(section, key, QString::number(defaultValue));
    return defaultValue;
}

void TCreateMissingValuesIni::WriteInteger(const QString& section, const QString& key, int value)
{
    WriteString(section, key, QString::number(value));
}

bool TCreateMissingValuesIni::ReadBool(const QString& section, const QString& key, bool defaultValue)
{
    // Booleans are "1" and "0"; "true" and "-1" do not convert and are replaced by
    // the default, while any other unsigned number reads as false and stays.
    const QString def = defaultValue ? QStringLiteral("1") : QStringLiteral("0");
    const QString text = ReadString(section, key, def);
    int v = 0;
    if (isStrictInteger(text, &v, false))
        return v == 1;
    WriteString(section, key, def);
    return defaultValue;
}

void TCreateMissingValuesIni::WriteBool(const QString& section, const QString& key, bool value)
{
    WriteString(section, key, value ? QStringLiteral("1") : QStringLiteral("0"));
}

bool TCreateMissingValuesIni::SectionExists(const QString& section) const
{
    return find(section, QString()).sectionLine >= 0;
}

bool TCreateMissingValuesIni::ValueExists(const QString& section, const QString& key) const
{
    return find(section, key).keyLine >= 0;
}

} // namespace cvx
