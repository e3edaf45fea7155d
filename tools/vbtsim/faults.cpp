#include "faults.h"

#include "codec.h"

#include <QJsonObject>

#include <stdexcept>

namespace cvx::vbtsim {

namespace {

const char* const kNames[FaultCount] = {"silence", "nack",   "wrongserial", "garbage", "tail",
                                        "asyer",   "delay",  "broken",      "refuse",  "slow"};

enum class ArgKind { None, Number, Bytes };

ArgKind argKind(Fault f)
{
    switch (f) {
    case Fault::Asyer:
    case Fault::Delay:
    case Fault::Slow: return ArgKind::Number;
    case Fault::Garbage:
    case Fault::Tail: return ArgKind::Bytes;
    default: return ArgKind::None;
    }
}

} // namespace

bool FaultState::consume()
{
    if (remaining == 0)
        return false;
    if (remaining > 0)
        --remaining;
    return true;
}

FaultSet::FaultSet()
{
    (*this)[Fault::Asyer].number = 1;
    (*this)[Fault::Delay].number = 500;
    (*this)[Fault::Slow].number = 1200;
    (*this)[Fault::Garbage].bytes = QByteArray::fromHex("00550DAA0A13");
}

std::optional<Fault> FaultSet::byName(const QString& name)
{
    for (int i = 0; i < FaultCount; ++i)
        if (name.compare(QLatin1String(kNames[i]), Qt::CaseInsensitive) == 0)
            return Fault(i);
    return std::nullopt;
}

QString FaultSet::name(Fault f) { return QLatin1String(kNames[int(f)]); }

QString FaultSet::set(Fault f, const QString& state, const QString& arg)
{
    FaultState& s = (*this)[f];
    int remaining = 0;
    bool ok = false;
    if (state.compare(QLatin1String("on"), Qt::CaseInsensitive) == 0)
        remaining = -1;
    else if (state.compare(QLatin1String("off"), Qt::CaseInsensitive) == 0)
        remaining = 0;
    else if (state.compare(QLatin1String("once"), Qt::CaseInsensitive) == 0)
        remaining = 1;
    else if (remaining = state.toInt(&ok); !ok || remaining < 0)
        return QStringLiteral("fault state must be on, off, once or a count: %1").arg(state);
    if (!arg.isEmpty()) {
        switch (argKind(f)) {
        case ArgKind::None: return QStringLiteral("fault %1 takes no argument").arg(name(f));
        case ArgKind::Number: {
            const int n = arg.toInt(&ok);
            if (!ok || n < 0 || (f == Fault::Asyer && n > 255))
                return QStringLiteral("fault %1: bad number %2").arg(name(f), arg);
            s.number = n;
            break;
        }
        case ArgKind::Bytes: {
            const auto bytes = parseHexBytes(arg);
            if (!bytes)
                return QStringLiteral("fault %1: bytes must be hexadecimal: %2").arg(name(f), arg);
            s.bytes = *bytes;
            break;
        }
        }
    }
    s.remaining = remaining;
    return {};
}

void FaultSet::setFromJson(Fault f, const QJsonValue& v)
{
    auto fail = [f](const QString& what) {
        throw std::runtime_error(QStringLiteral("fault \"%1\": %2").arg(name(f), what).toStdString());
    };
    FaultState& s = (*this)[f];
    if (v.isBool()) {
        s.remaining = v.toBool() ? -1 : 0;
        return;
    }
    if (v.isDouble()) {
        if (v.toInt(-1) < 0)
            fail(QStringLiteral("a count must be a whole number, 0 or more"));
        s.remaining = v.toInt();
        return;
    }
    if (!v.isObject())
        fail(QStringLiteral("must be true, false, a count or an object"));
    const QJsonObject o = v.toObject();
    s.remaining = -1;
    if (o.contains(QLatin1String("on")))
        s.remaining = o.value(QLatin1String("on")).toBool() ? -1 : 0;
    if (o.contains(QLatin1String("count"))) {
        const int n = o.value(QLatin1String("count")).toInt(-1);
        if (n < 0)
            fail(QStringLiteral("\"count\" must be a whole number, 0 or more"));
        s.remaining = n;
    }
    for (const char* key : {"status", "ms", "baud"}) {
        if (!o.contains(QLatin1String(key)))
            continue;
        if (argKind(f) != ArgKind::Number)
            fail(QStringLiteral("takes no \"%1\"").arg(QLatin1String(key)));
        const int n = o.value(QLatin1String(key)).toInt(-1);
        if (n < 0 || (f == Fault::Asyer && n > 255))
            fail(QStringLiteral("bad \"%1\"").arg(QLatin1String(key)));
        s.number = n;
    }
    if (o.contains(QLatin1String("bytes"))) {
        if (argKind(f) != ArgKind::Bytes)
            fail(QStringLiteral("takes no \"bytes\""));
        const auto bytes = parseHexBytes(o.value(QLatin1String("bytes")).toString());
        if (!bytes)
            fail(QStringLiteral("\"bytes\" must be hexadecimal pairs"));
        s.bytes = *bytes;
    }
}

QString FaultSet::describe() const
{
    QStringList parts;
    for (int i = 0; i < FaultCount; ++i) {
        const FaultState& s = states_[size_t(i)];
        if (!s.active())
            continue;
        QString text = s.remaining < 0 ? QStringLiteral("on") : QString::number(s.remaining);
        switch (argKind(Fault(i))) {
        case ArgKind::Number: text += QStringLiteral(", %1").arg(s.number); break;
        case ArgKind::Bytes: text += QStringLiteral(", %1").arg(s.bytes.isEmpty() ? QStringLiteral("inverted") : hexBytes(s.bytes)); break;
        case ArgKind::None: break;
        }
        parts << QStringLiteral("%1(%2)").arg(QLatin1String(kNames[i]), text);
    }
    return parts.isEmpty() ? QStringLiteral("none") : parts.join(QLatin1Char(' '));
}

} // namespace cvx::vbtsim
