// Interim: data-logger records need the record downloader, which is not on this branch
// yet. Until it is, logger interfaces measure nothing through their records.

#include "acquisition.h"

namespace cvx {

void Acquisition::wireFlashManager(TProbe&, qint64) {}
void Acquisition::SaveLastRecID(TProbe&) {}
void Acquisition::HandleLoggerEvent(TProbe&, const QByteArray&, quint16) {}
bool Acquisition::loggerSequenceCheck(TProbe&, const QByteArray&, QByteArray*, QDateTime*) { return false; }

} // namespace cvx
