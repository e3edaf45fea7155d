// Global_settings and User_settings on both engines.

#include "store/settings.h"
#include "store/sql_query.h"
#include "store_fixture.h"

namespace cvx::test {
namespace {

class Settings : public EngineTest {
protected:
    void SetUp() override
    {
        EngineTest::SetUp();
        CVX_REQUIRE_ENGINE(engine());
        db = std::make_unique<TestDatabase>(engine());
        ASSERT_TRUE(db->ok()) << db->error().toStdString();
        BuildFresh(*db);
        c = db->open();
        newLogLines();
    }
    int rowsOf(const QString& key)
    {
        TpSQLQuery q(c.get(), QStringLiteral("SELECT COUNT(*) FROM Global_settings WHERE Cfg_key=:k"));
        q.SetParam(QStringLiteral("k"), key);
        EXPECT_TRUE(q.Open());
        return q.Value(0).toInt();
    }
    std::unique_ptr<TestDatabase> db;
    std::unique_ptr<TpSQLConnection> c;
};

TEST_P(Settings, WritingAMissingKeyInsertsItAndWritingAgainUpdatesTheSameRow)
{
    EXPECT_EQ(ReadGlobalSetting(*c, QStringLiteral("SMTP_Server")), QString());
    WriteGlobalSetting(*c, QStringLiteral("SMTP_Server"), QStringLiteral("mail.example.com"));
    EXPECT_EQ(rowsOf(QStringLiteral("SMTP_Server")), 1);
    EXPECT_EQ(ReadGlobalSetting(*c, QStringLiteral("SMTP_Server")), QStringLiteral("mail.example.com"));
    WriteGlobalSetting(*c, QStringLiteral("SMTP_Server"), QStringLiteral("smtp.example.org"));
    EXPECT_EQ(rowsOf(QStringLiteral("SMTP_Server")), 1);
    EXPECT_EQ(ReadGlobalSetting(*c, QStringLiteral("SMTP_Server")), QStringLiteral("smtp.example.org"));
    // Keys are compared exactly.
    EXPECT_EQ(ReadGlobalSetting(*c, QStringLiteral("smtp_server")), QString());
    EXPECT_EQ(ReadGlobalSetting(*c, QStringLiteral("DB_Version")), QStringLiteral("27"));
    {
        const QStringList lines = newLogLines();
        EXPECT_TRUE(lines.isEmpty()) << lines.join('\n').toStdString();
    }
}

TEST_P(Settings, ApostrophesAndStatementTextInValuesAreStoredExactly)
{
    shellState().CHANGE_POSTGRE_BSS = false;
    const QString value = QStringLiteral("it's'; DELETE FROM Global_settings; --");
    WriteGlobalSetting(*c, QStringLiteral("SMTP_Sender"), value);
    WriteGlobalSetting(*c, QStringLiteral("SMTP_Sender"), value + QStringLiteral("!"));
    EXPECT_EQ(ReadGlobalSetting(*c, QStringLiteral("SMTP_Sender")), value + QStringLiteral("!"));
    EXPECT_EQ(ReadGlobalSetting(*c, QStringLiteral("DB_Version")), QStringLiteral("27"));
    WriteGlobalSetting(*c, QStringLiteral("O'Key"), QStringLiteral("C:\\Program Files\\x"));
    EXPECT_EQ(ReadGlobalSetting(*c, QStringLiteral("O'Key")), QStringLiteral("C:\\Program Files\\x"));
}

struct BackslashCase {
    bool switchOn;
    const char* expectedOnPg;
};

class Backslashes : public Settings {};

TEST_P(Backslashes, DoubledOnPostgreSqlOnlyWhileTheSwitchIsOn)
{
    for (const BackslashCase& k : {BackslashCase{true, "a\\\\b"}, BackslashCase{false, "a\\b"}}) {
        shellState().CHANGE_POSTGRE_BSS = k.switchOn;
        WriteGlobalSetting(*c, QStringLiteral("WebSrvPageTemp"), QStringLiteral("a\\b"));
        const QString expected = engine() == DbEngine::PostgreSql ? QString::fromLatin1(k.expectedOnPg)
                                                                  : QStringLiteral("a\\b");
        EXPECT_EQ(ReadGlobalSetting(*c, QStringLiteral("WebSrvPageTemp")), expected) << "switch " << k.switchOn;
    }
}

TEST_P(Settings, UserSettingsBelongToTheUserAndNeedADatabase)
{
    shellState().UserId = QStringLiteral("o'neill");
    EXPECT_EQ(ReadUserSetting(*c, QStringLiteral("main_posx")), QString()) << "no database connected yet";
    shellState().DbConnected = true;
    WriteUserSetting(*c, QStringLiteral("main_posx"), QStringLiteral("120"), false);
    WriteUserSetting(*c, QStringLiteral("main_posx"), QStringLiteral("140"), true);
    EXPECT_EQ(ReadUserSetting(*c, QStringLiteral("main_posx")), QStringLiteral("140"));
    EXPECT_EQ(Scalar(*c, QStringLiteral("SELECT COUNT(*) FROM User_settings")).toInt(), 1);
    shellState().UserId = QStringLiteral("other");
    EXPECT_EQ(ReadUserSetting(*c, QStringLiteral("main_posx")), QString());
    WriteUserSetting(*c, QStringLiteral("main_posx"), QStringLiteral("5"), false);
    ClearUserSettings(*c);
    shellState().UserId = QStringLiteral("o'neill");
    EXPECT_EQ(ReadUserSetting(*c, QStringLiteral("main_posx")), QStringLiteral("140"));
    {
        const QStringList lines = newLogLines();
        EXPECT_TRUE(lines.isEmpty()) << lines.join('\n').toStdString();
    }
}

TEST_P(Settings, ReadErrorsAreLoggedAndGiveEmptyText)
{
    db->exec(QStringLiteral("DROP TABLE Global_settings"));
    EXPECT_EQ(ReadGlobalSetting(*c, QStringLiteral("DB_Version")), QString());
    EXPECT_TRUE(log.contains(QStringLiteral("Hiba történt a globális beállítások olvasásakor: ")));
    WriteGlobalSetting(*c, QStringLiteral("X"), QStringLiteral("1"));
    EXPECT_TRUE(log.contains(QStringLiteral("Hiba történt a globális beállítások mentése közben.")));
}

CVX_BOTH_ENGINES(Settings);
CVX_BOTH_ENGINES(Backslashes);

TEST(SettingValues, BooleansAndNumbers)
{
    EXPECT_EQ(BoolSettingText(true), QStringLiteral("-1"));
    EXPECT_EQ(BoolSettingText(false), QStringLiteral("0"));
    EXPECT_TRUE(SettingAsBool(QStringLiteral("-1"), false));
    EXPECT_TRUE(SettingAsBool(QStringLiteral("1"), false));
    EXPECT_TRUE(SettingAsBool(QStringLiteral("True"), false));
    EXPECT_FALSE(SettingAsBool(QStringLiteral("0"), true));
    EXPECT_FALSE(SettingAsBool(QStringLiteral("no"), true));
    EXPECT_TRUE(SettingAsBool(QString(), true));
    EXPECT_EQ(SettingAsInt(QStringLiteral(" 110 "), 0), 110);
    EXPECT_EQ(SettingAsInt(QStringLiteral("x"), 230), 230);
}

} // namespace
} // namespace cvx::test
