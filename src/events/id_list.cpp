#include "id_list.h"

#include <algorithm>

namespace cvx {

int IdOfText(const QString& text)
{
    bool ok = false;
    const int v = text.trimmed().toInt(&ok);
    return ok ? v : -1;
}

void IdList::setCommaText(const QString& text)
{
    QStringList t;
    for (const QString& part : text.split(u',')) {
        const QString p = part.trimmed();
        if (!p.isEmpty())
            t << p;
    }
    texts_ = t;
    rebuild();
}

void IdList::setTexts(const QStringList& texts)
{
    texts_ = texts;
    rebuild();
}

std::vector<int> IdList::ids() const
{
    std::vector<int> out;
    out.reserve(size_t(texts_.size()));
    for (const QString& t : texts_)
        out.push_back(IdOfText(t));
    return out;
}

bool IdList::contains(int id) const { return std::binary_search(sorted_.begin(), sorted_.end(), id); }

void IdList::rebuild()
{
    sorted_.clear();
    for (const QString& t : texts_) {
        bool ok = false;
        const int v = t.trimmed().toInt(&ok);
        if (ok)
            sorted_.push_back(v);
    }
    std::sort(sorted_.begin(), sorted_.end());
    sorted_.erase(std::unique(sorted_.begin(), sorted_.end()), sorted_.end());
}

} // namespace cvx
