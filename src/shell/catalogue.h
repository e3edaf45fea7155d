#pragma once
// The message catalogue: every user-visible text is looked up by key. Hungarian (1038)
// is built in; further languages come from "*.lng" files beside the program. Look-up
// ignores letter case; a key missing from the selected language falls back to the
// built-in text, and a key missing from both gives "".

#include "safe_format.h"

#include <QHash>
#include <QList>
#include <QString>
#include <QStringList>

namespace cvx {

struct LanguageFile {
    int id = 0;
    QString name;
    QString path;                    // empty for the built-in language
    QHash<QString, QString> texts;   // lower-case key -> text
    QStringList keysInOrder;         // keys as written in the file
};

class Catalogue {
public:
    static constexpr int Hungarian = 1038;

    static Catalogue& instance();

    // Parses one language file; false with a reason when it is not one.
    static bool parse(const QByteArray& content, LanguageFile& out, QString* error);

    // Registers every "*.lng" file of the folder (not its sub-folders); returns how many.
    int registerLanguageFiles(const QString& folder);
    bool registerLanguageFile(const QString& path, QString* error = nullptr);
    void clearRegistered();

    // The built-in language first, then the registered files in name order.
    QList<const LanguageFile*> languages() const;
    // Selects by id; an unknown id leaves the selection unchanged and gives false.
    bool select(int languageId);
    int selectedId() const;
    const LanguageFile& builtIn() const { return builtIn_; }

    QString text(const QString& key) const;
    bool contains(const QString& key) const;

private:
    Catalogue();
    LanguageFile builtIn_;
    QList<LanguageFile> registered_;
    int selected_ = -1; // index into registered_, -1 for the built-in language
};

// Catalogue text of the selected language.
QString Msg(const QString& key);
inline QString Msg(const char* key) { return Msg(QString::fromLatin1(key)); }

// Catalogue text filled like printf; a bad translation falls back to its raw format.
template <typename... Args>
QString Fmt(const char* key, const Args&... args)
{
    return SafeFormat(Msg(key), args...);
}

} // namespace cvx
