// Template tags: "<#name param=value ...>" replaced by the handler's text.
#include "net/page_producer.h"

#include "test_support.h"

#include <QTemporaryDir>

#include <gtest/gtest.h>

namespace cvx::test {
namespace {

// The handler shows what it was given: name and parameters in a fixed order.
QString echo(const TemplateTag& t)
{
    if (t.name.compare(QStringLiteral("unknown"), Qt::CaseInsensitive) == 0)
        return QString();
    QStringList keys = t.params.keys();
    keys.sort();
    QString out = QStringLiteral("[") + t.name;
    for (const QString& k : keys)
        out += QStringLiteral(" %1=%2").arg(k, t.params.value(k));
    return out + QStringLiteral("]");
}

struct ProduceCase {
    const char* name;
    const char* input;
    const char* output;
};

class Produce : public ::testing::TestWithParam<ProduceCase> {};

TEST_P(Produce, ReplacesEveryTag)
{
    EXPECT_EQ(TPageProducer::Produce(QString::fromUtf8(GetParam().input), echo), QString::fromUtf8(GetParam().output));
}

INSTANTIATE_TEST_SUITE_P(
    Tags, Produce,
    ::testing::Values(
        ProduceCase{"NoTags", "<p>plain</p>", "<p>plain</p>"},
        ProduceCase{"BareTag", "a<#Sorok>b", "a[Sorok]b"},
        ProduceCase{"Parameter", "<#MeresTipus Sorszam=3>", "[MeresTipus sorszam=3]"},
        ProduceCase{"SeveralParametersAndBlanks", "<#t  a=1\tB=x  >", "[t a=1 b=x]"},
        ProduceCase{"QuotedValue", "<#t a=\"two words\" b='x>y'>", "[t a=two words b=x>y]"},
        ProduceCase{"ParameterWithoutValue", "<#t flag>", "[t flag=]"},
        ProduceCase{"UnknownTagGivesNothing", "x<#unknown a=1>y", "xy"},
        ProduceCase{"AdjacentTags", "<#a><#b>", "[a][b]"},
        ProduceCase{"UnfinishedTagStays", "x<#broken a=1", "x<#broken a=1"},
        ProduceCase{"HtmlAroundIsKept", "<td class=\"v\"><#a></td><!-- <x> -->", "<td class=\"v\">[a]</td><!-- <x> -->"},
        ProduceCase{"Utf8TextIsKept", "hőmérséklet <#a> °C", "hőmérséklet [a] °C"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(TemplateTag, IntegerParameterFallsBackToItsDefault)
{
    TemplateTag t;
    t.params.insert(QStringLiteral("sorszam"), QStringLiteral("7"));
    EXPECT_EQ(t.intParam(QStringLiteral("Sorszam"), 1), 7) << "names ignore letter case";
    t.params.insert(QStringLiteral("sorszam"), QStringLiteral("x"));
    EXPECT_EQ(t.intParam(QStringLiteral("Sorszam"), 1), 1);
    EXPECT_EQ(t.intParam(QStringLiteral("missing"), 4), 4);
}

TEST(TemplateFile, Utf8AndOldSingleByteFilesAreBothRead)
{
    QTemporaryDir dir;
    const QString utf8 = dir.filePath(QStringLiteral("u.htm"));
    const QString cp1250 = dir.filePath(QStringLiteral("c.htm"));
    writeFile(utf8, QString::fromUtf8("\xEF\xBB\xBFhőmérséklet").toUtf8());
    writeFile(cp1250, QByteArray("h\xF5m\xE9rs\xE9klet"));   // windows-1250: ő = F5
    QString text, error;
    ASSERT_TRUE(ReadTemplateFile(utf8, &text, &error));
    EXPECT_EQ(text, QString::fromUtf8("hőmérséklet")) << "the byte order mark goes";
    ASSERT_TRUE(ReadTemplateFile(cp1250, &text, &error));
    EXPECT_EQ(text, QString::fromUtf8("hőmérséklet"));
    EXPECT_FALSE(ReadTemplateFile(dir.filePath(QStringLiteral("none.htm")), &text, &error));
    EXPECT_FALSE(error.isEmpty());
}

} // namespace
} // namespace cvx::test
