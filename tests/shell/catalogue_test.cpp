#include "shell/catalogue.h"
#include "test_support.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QRegularExpression>
#include <gtest/gtest.h>

#include <set>

using namespace cvx;

namespace {

// The sequence of conversions of a format ("%s", "%d", "%.3d" -> "s d d").
QString conversions(const QString& format)
{
    static const QRegularExpression re("%(?:\\d+:)?-?(?:\\d+|\\*)?(?:\\.(?:\\d+|\\*))?([a-zA-Z%])");
    QStringList out;
    for (auto it = re.globalMatch(format); it.hasNext();) {
        const QString c = it.next().captured(1).toLower();
        if (c != "%")
            out << c;
    }
    return out.join(' ');
}

LanguageFile loadFile(const QString& path)
{
    LanguageFile lf;
    QFile f(path);
    EXPECT_TRUE(f.open(QIODevice::ReadOnly)) << path.toStdString();
    QString error;
    EXPECT_TRUE(Catalogue::parse(f.readAll(), lf, &error)) << error.toStdString();
    return lf;
}

} // namespace

TEST(Catalogue, BuiltInHungarianLooksUpIgnoringCase)
{
    Catalogue& c = Catalogue::instance();
    c.clearRegistered();
    EXPECT_EQ(c.selectedId(), 1038);
    EXPECT_EQ(Msg("labUserIs"), QString::fromUtf8("Futtató felhasználó: %s"));
    EXPECT_EQ(Msg("LABUSERIS"), Msg("labUserIs"));
    EXPECT_EQ(Msg("noSuchKeyAnywhere"), "");
}

TEST(Catalogue, LanguageFilesAreRegisteredAndSelectedById)
{
    QTemporaryDir dir;
    test::writeFile(dir.filePath("de.lng"), "[Language]\nId=1031\nName=Deutsch\n[Messages]\nlabUserIs=Benutzer: %s\n"
                                            "msgText=  mit Leerzeichen \\n zweite Zeile\n");
    test::writeFile(dir.filePath("broken.lng"), "[Messages]\nx=y\n");
    test::writeFile(dir.filePath("sub.txt"), "ignored");
    Catalogue& c = Catalogue::instance();
    c.clearRegistered();
    EXPECT_EQ(c.registerLanguageFiles(dir.path()), 1);
    ASSERT_EQ(c.languages().size(), 2);
    EXPECT_TRUE(c.select(1031));
    EXPECT_EQ(Msg("labUserIs"), "Benutzer: %s");
    EXPECT_EQ(Msg("msgText"), "  mit Leerzeichen \n zweite Zeile");
    // Keys the translation lacks come from the built-in catalogue.
    EXPECT_EQ(Msg("labVersionIs"), c.builtIn().texts.value("labversionis"));
    EXPECT_FALSE(c.select(9999));
    EXPECT_EQ(c.selectedId(), 1031);
    c.clearRegistered();
    EXPECT_EQ(c.selectedId(), 1038);
}

TEST(Catalogue, WithoutLanguageFilesStaysHungarianWhateverTheId)
{
    Catalogue& c = Catalogue::instance();
    c.clearRegistered();
    QTemporaryDir empty;
    c.registerLanguageFiles(empty.path());
    c.select(1038);
    c.select(1033);
    EXPECT_EQ(c.selectedId(), 1038);
}

TEST(Catalogue, EnglishFileCoversEveryKeyWithMatchingPlaceholders)
{
    const LanguageFile en = loadFile(test::sourceDir() + "/lang/en.lng");
    const LanguageFile& hu = Catalogue::instance().builtIn();
    EXPECT_EQ(en.id, 1033);
    ASSERT_GT(hu.texts.size(), 100);
    for (auto it = hu.texts.begin(); it != hu.texts.end(); ++it) {
        ASSERT_TRUE(en.texts.contains(it.key())) << "missing in en.lng: " << it.key().toStdString();
        EXPECT_EQ(conversions(en.texts.value(it.key())), conversions(it.value()))
            << "placeholders differ for " << it.key().toStdString();
    }
    for (auto it = en.texts.begin(); it != en.texts.end(); ++it)
        EXPECT_TRUE(hu.texts.contains(it.key())) << "only in en.lng: " << it.key().toStdString();
}

TEST(Catalogue, EveryKeyUsedInTheCodeExists)
{
    // Msg("key") and Fmt("key", ...) in every source file.
    const LanguageFile& hu = Catalogue::instance().builtIn();
    const LanguageFile en = loadFile(test::sourceDir() + "/lang/en.lng");
    static const QRegularExpression use("\\b(?:Msg|Fmt)\\(\\s*(?:QStringLiteral\\()?\"([A-Za-z][A-Za-z0-9_]*)\"");
    std::set<QString> missing;
    int uses = 0;
    for (const QString& root : {test::sourceDir() + "/src", test::sourceDir() + "/tools"}) {
        QDirIterator it(root, {"*.cpp", "*.h"}, QDir::Files, QDirIterator::Subdirectories);
        while (it.hasNext()) {
            QFile f(it.next());
            f.open(QIODevice::ReadOnly);
            const QString text = QString::fromUtf8(f.readAll());
            for (auto m = use.globalMatch(text); m.hasNext();) {
                const QString key = m.next().captured(1).toLower();
                ++uses;
                if (!hu.texts.contains(key) || !en.texts.contains(key))
                    missing.insert(key);
            }
        }
    }
    EXPECT_GT(uses, 10);
    for (const QString& k : missing)
        ADD_FAILURE() << "catalogue key used in code but missing: " << k.toStdString();
}
