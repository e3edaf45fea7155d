#pragma once
// The configuration file: a Windows-style ini text that completes itself. Every read
// of a key that is missing writes the key back with its default, so after the first
// start the file lists every setting the program uses.

#include <QString>
#include <QStringList>

namespace cvx {

class TCreateMissingValuesIni {
public:
    explicit TCreateMissingValuesIni(QString path);

    const QString& FileName() const { return path_; }

    QString ReadString(const QString& section, const QString& key, const QString& defaultValue);
    void WriteString(const QString& section, const QString& key, const QString& value);
    int ReadInteger(const QString& section, const QString& key, int defaultValue);
    void WriteInteger(const QString& section, const QString& key, int value);
    bool ReadBool(const QString& section, const QString& key, bool defaultValue);
    void WriteBool(const QString& section, const QString& key, bool value);

    bool SectionExists(const QString& section) const;
    bool ValueExists(const QString& section, const QString& key) const;
    // Whether the last write reached the disk (writes are otherwise silent).
    bool lastWriteOk() const { return lastWriteOk_; }

    // Line breaks are stored escaped: CR LF as "_CRLF_", then lone CR and LF.
    static QString EscapeLineBreaks(const QString& text);
    static QString UnescapeLineBreaks(const QString& text);

private:
    struct Found {
        int sectionLine = -1; // index of the "[section]" line, -1 when absent
        int keyLine = -1;     // index of the key line, -1 when absent
    };
    void load();
    void save();
    Found find(const QString& section, const QString& key) const;
    bool rawRead(const QString& section, const QString& key, QString& value) const;
    void rawWrite(const QString& section, const QString& key, const QString& value);

    QString path_;
    QStringList lines_;
    bool lastWriteOk_ = true;
};

} // namespace cvx
