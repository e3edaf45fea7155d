#pragma once
// HTML templates with tags: "<#" + tag name + optional blank-separated name=value
// parameters + ">". Every tag is replaced by what the tag handler returns; names are
// compared ignoring letter case, and a tag no handler knows becomes nothing.

#include <QHash>
#include <QString>

#include <functional>

namespace cvx {

struct TemplateTag {
    QString name;
    // Parameter names in lower case; values as written, without surrounding quotes.
    QHash<QString, QString> params;
    QString param(const QString& name) const { return params.value(name.toLower()); }
    // The parameter as an integer; def when missing or not a number.
    int intParam(const QString& name, int def) const;
};

class TPageProducer {
public:
    using TagHandler = std::function<QString(const TemplateTag& tag)>;

    // Replaces every tag of the template text.
    static QString Produce(const QString& templateText, const TagHandler& handler);
};

// A template file's text: UTF-8, or windows-1250 when the file is not valid UTF-8
// (templates written for older installations). False with the reason when unreadable.
bool ReadTemplateFile(const QString& path, QString* text, QString* error);

// Text for an HTML page: "&", "<", ">" and '"' as entities.
QString HtmlEscaped(const QString& text);

} // namespace cvx
