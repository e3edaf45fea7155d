#include "shell/catalogue.h"
#include "shell/dialogs.h"
#include "shell/logs.h"
#include "shell/shell_state.h"
#include "test_support.h"

#include <gtest/gtest.h>

using namespace cvx;

class DialogsTest : public ::testing::Test {
protected:
    test::TempHome home;
    test::ScriptedDialogScope scripted;
    QString path = home.file("corvalux.log");
    void SetUp() override { ASSERT_TRUE(programLog().open(path, nullptr)); }
    void TearDown() override { programLog().close(); }
};

TEST_F(DialogsTest, QuestionAnsweredNoReturns7AndIsLogged)
{
    scripted.dialogs().answers = {mrNo};
    const int r = AskQuestion("Kapcsolódjak?", DialogButton::Yes | DialogButton::No, "Corvalux");
    EXPECT_EQ(r, 7);
    ASSERT_EQ(scripted.dialogs().askedButtons.size(), 1);
    const auto& buttons = scripted.dialogs().askedButtons[0];
    ASSERT_EQ(buttons.size(), 2);
    EXPECT_EQ(buttons[0].result, mrYes);
    EXPECT_EQ(buttons[0].caption, Msg("labYesCaption"));
    EXPECT_EQ(buttons[1].result, mrNo);
    programLog().close();
    EXPECT_TRUE(test::readFile(path).contains(Fmt("msgLogQuestionDialog", QString("Kapcsolódjak?"), 7)));
}

TEST_F(DialogsTest, ButtonChoiceOkFirstCancelBeatsNo)
{
    AskQuestion("q", DialogButton::OK | DialogButton::No | DialogButton::Cancel, "c");
    const auto& b = scripted.dialogs().askedButtons.back();
    ASSERT_EQ(b.size(), 2);
    EXPECT_EQ(b[0].result, mrOk);
    EXPECT_EQ(b[1].result, mrCancel);
    EXPECT_EQ(b[1].caption, Msg("labCancelCaption"));
}

TEST_F(DialogsTest, MessageBoxIsRecordedAndModalFlagRestored)
{
    shellState().ModalOpen = false;
    struct Probe : DialogPresenter {
        bool sawModal = false;
        void messageBox(const QString&, const QString&) override { sawModal = shellState().ModalOpen; }
        int question(const QString&, const QString&, const QList<Button>&, int d) override { return d; }
    } probe;
    setDialogPresenter(&probe);
    ShowMessageBox("Figyelem");
    setDialogPresenter(&scripted.dialogs());
    EXPECT_TRUE(probe.sawModal);
    EXPECT_FALSE(shellState().ModalOpen);
    programLog().close();
    EXPECT_TRUE(test::readFile(path).contains(Fmt("labMsgHeaderInLog", QString("Figyelem"))));
}

TEST_F(DialogsTest, HeadlessTakesTheCautiousDefaultAndLogsTheText)
{
    setDialogPresenter(nullptr);
    test::CapturedMainLog log;
    EXPECT_EQ(AskQuestion("Beállítja most?", DialogButton::Yes | DialogButton::No, "Corvalux"), mrNo);
    EXPECT_TRUE(log.contains("Beállítja most?"));
    setDialogPresenter(&scripted.dialogs());
}
