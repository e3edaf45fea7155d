#include "console_tee.h"

#include <QFileDevice>

namespace cvx {

ConsoleTee::ConsoleTee(QIODevice* file, LineSink sink) : file_(file), sink_(std::move(sink))
{
    open(QIODevice::WriteOnly | QIODevice::Unbuffered);
}

qint64 ConsoleTee::writeData(const char* data, qint64 len)
{
    // The file decides what was written; the console only shows complete lines.
    const qint64 written = file_ ? file_->write(data, len) : len;
    partial_.append(data, int(len));
    qsizetype nl;
    while ((nl = partial_.indexOf('\n')) >= 0) {
        QByteArray line = partial_.left(nl);
        partial_.remove(0, nl + 1);
        if (line.endsWith('\r'))
            line.chop(1);
        if (sink_)
            sink_(QString::fromUtf8(line).replace(u'\t', u' '));
    }
    if (auto* f = qobject_cast<QFileDevice*>(file_))
        f->flush();
    return written;
}

} // namespace cvx
