#pragma once
// Databases for the store's tests: a fresh local file or a fresh database on the test
// PostgreSQL server (CVX_TEST_PG), dropped again afterwards.

#include "store/connection_string.h"
#include "store/sql_connection.h"

#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <set>

namespace cvx::test {

// The test server's connection string (without a database), or empty.
QString TestPgServer();
// True when tests that need PostgreSQL must fail instead of skipping.
bool ServersRequired();

const char* EngineName(DbEngine engine);

class TestDatabase {
public:
    // A new, empty database (no tables).
    explicit TestDatabase(DbEngine engine);
    ~TestDatabase();
    TestDatabase(const TestDatabase&) = delete;
    TestDatabase& operator=(const TestDatabase&) = delete;

    bool ok() const { return error_.isEmpty(); }
    const QString& error() const { return error_; }
    const QString& connectionString() const { return connectionString_; }
    DbEngine engine() const { return engine_; }
    // A new connection to it, opened.
    std::unique_ptr<TpSQLConnection> open(const QString& name = QStringLiteral("conTest")) const;
    // Runs statements (";"-separated) and fails the test on an error.
    void exec(const QString& statements) const;
    // Runs one statement as it is (it may hold ";").
    void execOne(const QString& statement) const;
    QString path() const { return path_; }
    // Drops a database of the test server by name (forcing its connections closed).
    static void dropServerDatabase(const QString& name);

private:
    DbEngine engine_;
    QString connectionString_;
    QString error_;
    QString pgName_;
    QString path_;
    std::unique_ptr<QTemporaryDir> dir_;
};

// Skips (or fails, when servers are required) a test that needs PostgreSQL.
#define CVX_REQUIRE_ENGINE(engine)                                                                     \
    do {                                                                                               \
        if ((engine) == ::cvx::DbEngine::PostgreSql && ::cvx::test::TestPgServer().isEmpty()) {      \
            if (::cvx::test::ServersRequired())                                                        \
                FAIL() << "CVX_TEST_PG is not set but CVX_REQUIRE_SERVERS=1";                          \
            GTEST_SKIP() << "CVX_TEST_PG is not set";                                                  \
        }                                                                                              \
    } while (0)

// Lower-case column names of every table and view of the database.
std::map<QString, std::set<QString>> SchemaColumns(TpSQLConnection& c);
// Lower-case names of the indexes of the database.
std::set<QString> IndexNames(TpSQLConnection& c);
// First field of the first row, or an invalid value.
QVariant Scalar(TpSQLConnection& c, const QString& sql);

// The current schema, as a new database gets it (statement file and code tables).
void BuildFresh(const TestDatabase& db);
// A version-0 database as older installations have it, with some configuration rows.
void BuildVersion0(const TestDatabase& db);
// A version-12 database with events, thresholds, tasks and padded settings values.
void BuildVersion12(const TestDatabase& db);

} // namespace cvx::test
