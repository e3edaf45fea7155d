#include "dialogs.h"

#include "catalogue.h"
#include "logs.h"
#include "shell_state.h"

namespace cvx {

namespace {
HeadlessDialogs g_headless;
DialogPresenter* g_presenter = nullptr;

// Restores ModalOpen to the value it had, not to false: dialogs may nest.
struct ModalScope {
    bool saved;
    ModalScope() : saved(shellState().ModalOpen) { shellState().ModalOpen = true; }
    ~ModalScope() { shellState().ModalOpen = saved; }
};
} // namespace

void HeadlessDialogs::messageBox(const QString& caption, const QString& text)
{
    LogLine(text, false);
}

int HeadlessDialogs::question(const QString& caption, const QString& text, const QList<Button>& buttons,
                              int defaultResult)
{
    LogLine(text, false);
    return defaultResult;
}

void ScriptedDialogs::messageBox(const QString& caption, const QString& text) { shownMessages.append(text); }

int ScriptedDialogs::question(const QString& caption, const QString& text, const QList<Button>& buttons,
                              int defaultResult)
{
    askedQuestions.append(text);
    askedButtons.append(buttons);
    if (answers.empty())
        return defaultResult;
    const int r = answers.front();
    answers.pop_front();
    return r;
}

void setDialogPresenter(DialogPresenter* presenter) { g_presenter = presenter; }

DialogPresenter& dialogPresenter() { return g_presenter ? *g_presenter : g_headless; }

void ShowMessageBox(const QString& message)
{
    WriteProgramLog(Fmt("labMsgHeaderInLog", message));
    ModalScope modal;
    dialogPresenter().messageBox(QStringLiteral("Corvalux"), message);
}

int AskQuestion(const QString& text, DialogButtons buttons, const QString& caption, int headlessAnswer)
{
    QList<DialogPresenter::Button> shown;
    if (buttons.testFlag(DialogButton::Yes))
        shown.append({Msg("labYesCaption"), mrYes});
    else
        shown.append({QStringLiteral("OK"), mrOk});
    if (buttons.testFlag(DialogButton::Cancel))
        shown.append({Msg("labCancelCaption"), mrCancel});
    else if (buttons.testFlag(DialogButton::No))
        shown.append({Msg("labNoCaption"), mrNo});
    // Without a person to ask, the cautious answer: the second button when there is one.
    int defaultResult = shown.size() > 1 ? shown[1].result : shown[0].result;
    for (const auto& b : shown)
        if (b.result == headlessAnswer)
            defaultResult = headlessAnswer;
    int result;
    {
        ModalScope modal;
        result = dialogPresenter().question(caption, text, shown, defaultResult);
    }
    WriteProgramLog(Fmt("msgLogQuestionDialog", text, result));
    return result;
}

} // namespace cvx
