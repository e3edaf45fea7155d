#include "commands.h"

#include "binary_params.h"
#include "devproto_error.h"

#include <QStringEncoder>

#include <cstring>

namespace cvx {

namespace {

void check(bool fits, const char* what)
{
    if (!fits)
        throw DevProtoError(QString::fromLatin1(what));
}

QByteArray byte(int value) { return QByteArray(1, char(value)); }

QByteArray singleByteText(const QString& text, int width)
{
    QStringEncoder cp1250("windows-1250");
    QByteArray bytes = cp1250.isValid() ? cp1250.encode(text) : text.toLatin1();
    bytes.truncate(width);
    return bytes + QByteArray(width - bytes.size(), ' ');
}

} // namespace

bool HasMnemonic(const QByteArray& payload, const char* mnemonic) { return payload.startsWith(mnemonic); }

QByteArray AnswerParams(const QByteArray& answer) { return answer.mid(AnswerParamOffset); }

QByteArray CmdReadParams(int address, int count)
{
    check(address >= 0 && address <= 0xFFFF, "Parameter address out of range");
    check(count >= 1 && count <= 255, "Parameter count out of range");
    return cmd::CSYRE + IntToParam2(address) + byte(count);
}

QByteArray CmdWriteParams(int address, const QByteArray& data)
{
    check(address >= 0 && address <= 0xFFFF, "Parameter address out of range");
    check(!data.isEmpty() && data.size() <= 255, "Parameter count out of range");
    return cmd::CSYWE + IntToParam2(address) + byte(int(data.size())) + data;
}

QByteArray CmdSetClock(const QDateTime& now) { return cmd::CRTSC + EncodePackedDateTime(now); }

QByteArray CmdRelay(const char* mnemonic, int relayIndex)
{
    check(std::strlen(mnemonic) == size_t(MnemonicLength), "Not a command mnemonic");
    check(relayIndex >= 0 && relayIndex <= 255, "Relay index out of range");
    return mnemonic + byte(relayIndex);
}

QByteArray CmdSetRelayDefault(int relayIndex, bool on)
{
    return CmdRelay(cmd::CRLSD, relayIndex) + byte(on ? 1 : 0);
}

QByteArray CmdReadWeatherMemory(int address, int count)
{
    check(address >= 0 && address <= 0xFFFF, "Memory address out of range");
    check(count >= 1 && count <= 0xFFFF, "Memory count out of range");
    return cmd::CWSRM + IntToParam2(address) + IntToParam2(count);
}

QByteArray CmdLoggerDownload(qint64 recId, int count)
{
    check(recId >= 0 && recId <= 0xFFFFFFFFLL, "Record identifier out of range");
    check(count >= 1 && count <= 5, "Record count out of range");
    return cmd::CELDL + IntToParam4(recId) + byte(count);
}

QByteArray CmdOldLoggerState(int recordType)
{
    check(recordType >= 0 && recordType <= 255, "Record type out of range");
    return cmd::CFLGS + byte(recordType);
}

QByteArray CmdOldLoggerDownload(int recordType, qint64 recId, int count)
{
    check(recordType >= 0 && recordType <= 255, "Record type out of range");
    check(recId >= 0 && recId <= 0xFFFFFFFFLL, "Record identifier out of range");
    check(count >= 1 && count <= 255, "Record count out of range");
    return cmd::CFLGR + byte(recordType) + IntToParam4(recId) + byte(count);
}

QByteArray CmdSendSms(const QString& phone, const QString& message)
{
    return cmd::CGSSM + singleByteText(phone, 20) + singleByteText(message, 120);
}

} // namespace cvx
