#pragma once
// A list of ids as the tables store it: comma text of decimal numbers. The texts are
// kept in their order; the numbers are kept sorted for membership tests, which run for
// every measurement.

#include <QString>
#include <QStringList>

#include <vector>

namespace cvx {

class IdList {
public:
    IdList() = default;
    explicit IdList(const QString& commaText) { setCommaText(commaText); }

    // Entries are separated by commas; blanks around them are dropped, empty ones too.
    void setCommaText(const QString& text);
    void setTexts(const QStringList& texts);
    QString commaText() const { return texts_.join(u','); }
    const QStringList& texts() const { return texts_; }
    // Each entry as a number in list order; an entry that is not a number is -1.
    std::vector<int> ids() const;
    bool contains(int id) const;
    bool isEmpty() const { return texts_.isEmpty(); }
    int size() const { return int(texts_.size()); }

private:
    void rebuild();
    QStringList texts_;
    std::vector<int> sorted_;
};

// An entry of a list of texts as a number; -1 when it is not one.
int IdOfText(const QString& text);

} // namespace cvx
