#include "process_launcher.h"

#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>

namespace cvx {

QStringList SplitCommandArguments(const QString& text)
{
    QStringList args;
    QString current;
    bool inQuotes = false;
    bool haveArg = false;
    for (int i = 0; i < text.size(); ++i) {
        const QChar c = text[i];
        if (c == u'"') {
            if (inQuotes && i + 1 < text.size() && text[i + 1] == u'"') {
                current += u'"';
                ++i;
            } else {
                inQuotes = !inQuotes;
            }
            haveArg = true;
        } else if (!inQuotes && (c == u' ' || c == u'\t')) {
            if (haveArg)
                args << current;
            current.clear();
            haveArg = false;
        } else {
            current += c;
            haveArg = true;
        }
    }
    if (haveArg)
        args << current;
    return args;
}

namespace {

class QtProcessLauncher final : public ProcessLauncher {
public:
    LaunchResult startDetached(const QString& program, const QStringList& arguments) override
    {
        LaunchResult r;
        QString path = program;
        if (!program.contains(u'/')) {
            path = QStandardPaths::findExecutable(program);
            if (path.isEmpty()) {
                r.code = 2;
                r.error = QStringLiteral("Program not found: %1").arg(program);
                return r;
            }
        }
        const QFileInfo info(path);
        if (!info.exists()) {
            r.code = 2;
            r.error = QStringLiteral("No such file: %1").arg(path);
            return r;
        }
        if (info.isDir() || !info.isExecutable()) {
            r.code = 5;
            r.error = QStringLiteral("Not an executable program: %1").arg(path);
            return r;
        }
        QProcess p;
        p.setProgram(path);
        p.setArguments(arguments);
        p.setStandardInputFile(QProcess::nullDevice());
        qint64 pid = 0;
        if (!p.startDetached(&pid)) {
            r.code = 0;
            r.error = p.errorString();
            return r;
        }
        r.started = true;
        r.code = pid;
        return r;
    }
};

} // namespace

std::unique_ptr<ProcessLauncher> createProcessLauncher() { return std::make_unique<QtProcessLauncher>(); }

} // namespace cvx
