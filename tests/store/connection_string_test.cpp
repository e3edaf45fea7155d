#include "store/connection_string.h"

#include "shell/app_paths.h"
#include "test_support.h"

#include <gtest/gtest.h>

namespace cvx {
namespace {

struct ClassCase {
    const char* text;
    DbEngine engine;
};

class Classification : public ::testing::TestWithParam<ClassCase> {};

TEST_P(Classification, ProviderDecidesTheEngine)
{
    EXPECT_EQ(EngineOf(QString::fromUtf8(GetParam().text)), GetParam().engine);
}

INSTANTIATE_TEST_SUITE_P(
    Strings, Classification,
    ::testing::Values(ClassCase{"Provider=QSQLITE;Data Source=corvalux.db", DbEngine::LocalFile},
                      ClassCase{"Provider=Microsoft.Jet.OLEDB.4.0;Data Source=C:\\x.mdb", DbEngine::LocalFile},
                      ClassCase{"Provider=QPSQL;Data Source=db.example.com;", DbEngine::PostgreSql},
                      ClassCase{"Provider=PGNP.1;Persist Security Info=True;User ID=u;", DbEngine::PostgreSql},
                      ClassCase{"Provider=SQLOLEDB.1;Integrated Security=SSPI;Initial Catalog=D;Data Source=S;",
                                DbEngine::SqlServer},
                      ClassCase{"Data Source=x", DbEngine::SqlServer}));

TEST(ConnectionString, ServerKeysWithQuotedPasswordAndPortInTheDataSource)
{
    const QString cs = QStringLiteral("Provider=QPSQL;Persist Security Info=True;User ID=cvx;Password=\"a;b\"\"c\";"
                                      "Initial Catalog=Corvalux;Data Source=db.example.com:5433;");
    const PgAddress a = PostgreSqlAddress(cs);
    EXPECT_EQ(a.host, QStringLiteral("db.example.com"));
    EXPECT_EQ(a.port, 5433);
    EXPECT_EQ(a.user, QStringLiteral("cvx"));
    EXPECT_EQ(a.password, QStringLiteral("a;b\"c"));
    EXPECT_EQ(a.database, QStringLiteral("Corvalux"));
    EXPECT_EQ(MaskPassword(cs), QStringLiteral("Provider=QPSQL;Persist Security Info=True;User ID=cvx;Password=***;"
                                               "Initial Catalog=Corvalux;Data Source=db.example.com:5433;"));
    EXPECT_EQ(DataSourceOf(cs), QStringLiteral("db.example.com:5433"));
    EXPECT_EQ(InitialCatalogOf(cs), QStringLiteral("Corvalux"));
}

TEST(ConnectionString, HostAndPortKeysAndAnAppendedCatalogueWin)
{
    const QString cs = AppendConnectionValue(QStringLiteral("Provider=QPSQL;Host=127.0.0.1;Port=6000;User ID=postgres;"
                                                            "Password=;Initial Catalog=old"),
                                             QStringLiteral("Initial Catalog"), QStringLiteral("new"));
    const PgAddress a = PostgreSqlAddress(cs);
    EXPECT_EQ(a.host, QStringLiteral("127.0.0.1"));
    EXPECT_EQ(a.port, 6000);
    EXPECT_EQ(a.password, QString());
    EXPECT_EQ(a.database, QStringLiteral("new"));
    EXPECT_TRUE(cs.endsWith(QStringLiteral("Initial Catalog=old;Initial Catalog=new;")));
}

TEST(ConnectionString, LocalFileNamesAreTakenInTheWorkingFolder)
{
    test::TempHome home;
    EXPECT_EQ(LocalDatabasePath(QStringLiteral("Provider=QSQLITE;Data Source=data/x.db")), home.file("data/x.db"));
    EXPECT_EQ(LocalDatabasePath(QStringLiteral("Provider=QSQLITE;Data Source=/var/lib/cvx.db")),
              QStringLiteral("/var/lib/cvx.db"));
    EXPECT_EQ(LocalDatabasePath(DefaultLocalConnectionString()),
              home.file(AppPaths::programName() + QStringLiteral(".db")));
    EXPECT_TRUE(IsLocalFile(DefaultLocalConnectionString()));
}

} // namespace
} // namespace cvx
