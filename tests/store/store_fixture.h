#pragma once
// Base fixture of the store's tests: a private working folder, a fresh shell state, the
// built-in catalogue, the main log captured and dialogs scripted.

#include "shell/catalogue.h"
#include "shell/shell_state.h"
#include "store_test_support.h"
#include "test_support.h"

#include <gtest/gtest.h>

namespace cvx::test {

class StoreTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        resetShellState();
        Catalogue::instance().select(Catalogue::Hungarian);
        shellState().UserId = QStringLiteral("tester");
    }
    void TearDown() override { resetShellState(); }

    QString sqlLog() const { return readFile(home.file(QStringLiteral("SQLLog.log"))); }
    // Main log lines written since the last call (so set-up lines do not count).
    QStringList newLogLines()
    {
        const QStringList all = log.lines();
        const QStringList out = all.mid(logMark_);
        logMark_ = int(all.size());
        return out;
    }
    int logMark_ = 0;

    TempHome home;
    CapturedMainLog log;
    ScriptedDialogScope dialogs;
};

// The same test on the local file and on PostgreSQL.
class EngineTest : public StoreTest, public ::testing::WithParamInterface<DbEngine> {
protected:
    DbEngine engine() const { return GetParam(); }
};

inline std::string EngineParamName(const ::testing::TestParamInfo<DbEngine>& info)
{
    return EngineName(info.param);
}

#define CVX_BOTH_ENGINES(suite)                                                                               \
    INSTANTIATE_TEST_SUITE_P(Engines, suite, ::testing::Values(::cvx::DbEngine::LocalFile, ::cvx::DbEngine::PostgreSql), \
                             ::cvx::test::EngineParamName)

} // namespace cvx::test
