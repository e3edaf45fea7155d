// Arbitrary device answers through the payload helpers: system-information text,
// packed time stamps at every offset, binary integers. Must never crash, and every
// time stamp that decodes must encode back to the same six bytes (a second field of
// 60..63 excepted, which reads as 0).

#include "devproto/binary_params.h"
#include "devproto/device_info.h"

#include <cstdint>
#include <cstdlib>

using namespace cvx;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const QByteArray answer(reinterpret_cast<const char*>(data), qsizetype(size));
    bool ok = false;
    const QString info = FormatDeviceInfo(answer, &ok);
    if (info.isEmpty())
        std::abort();

    for (qsizetype at = 0; at + 6 <= answer.size() && at < 64; ++at) {
        const QDateTime dt = DecodePackedDateTime(answer, at);
        if (!dt.isValid())
            continue;
        const QByteArray stamp = answer.mid(at, 6);
        const int secondField = ((quint8(stamp[4]) & 0x1F) << 1) | (quint8(stamp[5]) >> 7);
        if (secondField < 60 && EncodePackedDateTime(dt) != stamp)
            std::abort();
    }

    for (qsizetype len = 1; len <= 4 && len <= answer.size(); ++len) {
        const qint64 s = ParamToIntAt(answer, 0, len);
        const qint64 u = ParamToIntAt(answer, 0, len, IntSign::Unsigned);
        if (len == 2 && (IntToParam2(s) != answer.left(2) || IntToParam2(u) != answer.left(2)))
            std::abort();
        if (len == 4 && (IntToParam4(s) != answer.left(4) || IntToParam4(u) != answer.left(4)))
            std::abort();
        if (ParamToIntAt(answer, 0, len, IntSign::Signed, true) != ParamToIntAtDef(answer, 0, len, 0, IntSign::Signed, true))
            std::abort();
    }
    return 0;
}
