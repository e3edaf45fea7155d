#pragma once
// Message boxes and questions. The shell shows them through one interface: the window
// implementation on the desktop, a headless one (logs, takes the default answer) for
// the service and for tests of whole runs, and a scripted one for unit tests.

#include <QFlags>
#include <QList>
#include <QString>
#include <QStringList>

#include <deque>

namespace cvx {

enum class DialogButton { Yes = 1, No = 2, OK = 4, Cancel = 8 };
Q_DECLARE_FLAGS(DialogButtons, DialogButton)
Q_DECLARE_OPERATORS_FOR_FLAGS(DialogButtons)

// Modal results.
enum DialogResult { mrNone = 0, mrOk = 1, mrCancel = 2, mrYes = 6, mrNo = 7 };

class DialogPresenter {
public:
    virtual ~DialogPresenter() = default;
    virtual void messageBox(const QString& caption, const QString& text) = 0;
    // Buttons are the first and second button of the dialog with their results.
    struct Button {
        QString caption;
        int result;
    };
    virtual int question(const QString& caption, const QString& text, const QList<Button>& buttons,
                         int defaultResult) = 0;
};

// Logs what it would show and answers with the default.
class HeadlessDialogs final : public DialogPresenter {
public:
    void messageBox(const QString& caption, const QString& text) override;
    int question(const QString& caption, const QString& text, const QList<Button>& buttons,
                 int defaultResult) override;
};

// Answers from a script; records what was shown.
class ScriptedDialogs final : public DialogPresenter {
public:
    std::deque<int> answers;      // consumed in order; empty: the default
    QStringList shownMessages;
    QStringList askedQuestions;
    QList<QList<Button>> askedButtons;
    void messageBox(const QString& caption, const QString& text) override;
    int question(const QString& caption, const QString& text, const QList<Button>& buttons,
                 int defaultResult) override;
};

void setDialogPresenter(DialogPresenter* presenter); // nullptr: headless
DialogPresenter& dialogPresenter();

// One "OK" button, caption "Corvalux"; the message is recorded in the program log.
void ShowMessageBox(const QString& message);
// The first button is Yes (6) or OK (1); the second Cancel (2) when asked for, else No
// (7) when asked for. The question and its answer are recorded in the program log.
// headlessAnswer: what an unattended run answers (default: the second, cautious button).
int AskQuestion(const QString& text, DialogButtons buttons, const QString& caption, int headlessAnswer = mrNone);

} // namespace cvx
