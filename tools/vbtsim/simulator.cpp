#include "simulator.h"

#include "codec.h"
#include "json_reader.h"

#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QRegularExpression>
#include <QSet>

namespace cvx::vbtsim {

namespace {

// The first n words of a line and the rest of it (which may hold blanks, e.g. JSON).
QStringList splitWords(const QString& line, int n)
{
    QStringList out;
    QString rest = line.trimmed();
    static const QRegularExpression space(QStringLiteral("\\s+"));
    while (!rest.isEmpty() && out.size() < n) {
        const int at = int(rest.indexOf(space));
        if (at < 0) {
            out << rest;
            rest.clear();
            break;
        }
        out << rest.left(at);
        rest = rest.mid(at).trimmed();
    }
    if (!rest.isEmpty())
        out << rest;
    return out;
}

Simulator::Reply failure(const QString& text)
{
    Simulator::Reply r;
    r.ok = false;
    r.error = text;
    return r;
}

} // namespace

Simulator::Simulator(TimeService& time, SimLog& log) : time_(time), log_(log) {}

Simulator::~Simulator() = default;

void Simulator::loadFile(const QString& path)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        throw ScenarioError(QStringLiteral("cannot read %1: %2").arg(path, f.errorString()));
    load(f.readAll(), QFileInfo(path).absolutePath());
}

void Simulator::load(const QByteArray& json, const QString& scenarioDir)
{
    QJsonParseError err;
    const QJsonDocument doc = QJsonDocument::fromJson(json, &err);
    if (err.error != QJsonParseError::NoError) {
        const int line = int(json.left(err.offset).count('\n')) + 1;
        throw ScenarioError(QStringLiteral("not valid JSON at line %1: %2").arg(line).arg(err.errorString()));
    }
    if (!doc.isObject())
        throw ScenarioError(QStringLiteral("the scenario must be a JSON object"));
    ctx_ = std::make_unique<SimContext>(time_, log_, scenarioDir);
    interfaces_.clear();
    JsonReader root(doc.object(), QString());
    name_ = root.string("name", QStringLiteral("scenario"));
    root.string("description", QString());
    const QJsonArray list = root.array("interfaces");
    if (list.isEmpty())
        root.fail("interfaces", QStringLiteral("lists no interface"));
    QSet<QString> names;
    for (int i = 0; i < list.size(); ++i) {
        JsonReader r = root.element(list, i, "interfaces");
        auto iface = std::make_unique<SimInterface>(*ctx_, r);
        if (names.contains(iface->name()))
            throw ScenarioError(QStringLiteral("%1: the name \"%2\" is used twice").arg(r.path(), iface->name()));
        names.insert(iface->name());
        for (const auto& d : iface->devices()) {
            if (names.contains(d->name()))
                throw ScenarioError(QStringLiteral("%1: the name \"%2\" is used twice").arg(r.path(), d->name()));
            names.insert(d->name());
        }
        interfaces_.push_back(std::move(iface));
    }
    root.finish();
}

void Simulator::start()
{
    for (auto& i : interfaces_)
        i->start();
}

SimInterface* Simulator::findInterface(const QString& name) const
{
    for (const auto& i : interfaces_)
        if (i->name() == name)
            return i.get();
    return nullptr;
}

Device* Simulator::findDevice(const QString& name) const
{
    const int slash = int(name.indexOf(QLatin1Char('/')));
    if (slash > 0) {
        SimInterface* iface = findInterface(name.left(slash));
        bool ok = false;
        const quint32 address = name.mid(slash + 1).toUInt(&ok, 0);
        return iface && ok ? iface->deviceAt(address) : nullptr;
    }
    for (const auto& i : interfaces_)
        for (const auto& d : i->devices())
            if (d->name() == name)
                return d.get();
    return nullptr;
}

QStringList Simulator::helpLines()
{
    return {
        QStringLiteral("status                                  interfaces, devices, values, faults"),
        QStringLiteral("fault TARGET FAULT on|off|once|N [ARG]  device faults: silence nack wrongserial garbage tail asyer delay broken"),
        QStringLiteral("                                        interface faults: refuse slow"),
        QStringLiteral("set DEVICE KEY VALUE                    KEY: measure (T, H, ...), R1.., T0..; VALUE: number, none or JSON curve"),
        QStringLiteral("drop INTERFACE                          closes every connection of the interface"),
        QStringLiteral("noise INTERFACE HEX                     writes raw bytes to every connection"),
        QStringLiteral("measure DEVICE                          a logger stores a record now; a DOV server sends its line now"),
        QStringLiteral("erase DEVICE                            empties a logger's record store"),
        QStringLiteral("check DEVICE                            a watchdog checks the computer now"),
        QStringLiteral("clock DEVICE YYYY-MM-DDTHH:MM:SS        sets a device's clock"),
        QStringLiteral("help | quit"),
    };
}

Simulator::Reply Simulator::command(const QString& line)
{
    const QStringList w = splitWords(line, 3);
    if (w.isEmpty())
        return failure(QStringLiteral("empty command"));
    const QString verb = w.at(0).toLower();
    Reply r;
    if (verb == QLatin1String("help")) {
        r.lines = helpLines();
        return r;
    }
    if (verb == QLatin1String("quit")) {
        r.quit = true;
        log_.info(QStringLiteral("quit by the control channel"));
        return r;
    }
    if (verb == QLatin1String("status")) {
        r.lines << QStringLiteral("scenario %1").arg(name_);
        for (const auto& i : interfaces_)
            r.lines << i->statusLines();
        return r;
    }
    if (verb == QLatin1String("fault"))
        return setFault(splitWords(line, 4));
    if (verb == QLatin1String("drop") || verb == QLatin1String("noise")) {
        if (w.size() < 2)
            return failure(QStringLiteral("%1 needs an interface").arg(verb));
        SimInterface* iface = findInterface(w.at(1));
        if (!iface)
            return failure(QStringLiteral("no interface \"%1\"").arg(w.at(1)));
        if (verb == QLatin1String("drop")) {
            iface->drop();
            return r;
        }
        const auto bytes = parseHexBytes(w.mid(2).join(QLatin1Char(' ')));
        if (!bytes || bytes->isEmpty())
            return failure(QStringLiteral("noise needs hexadecimal bytes"));
        iface->noise(*bytes);
        return r;
    }
    if (w.size() < 2)
        return failure(QStringLiteral("unknown command or missing device: %1 (try help)").arg(line.trimmed()));
    Device* d = findDevice(w.at(1));
    if (!d)
        return failure(QStringLiteral("no device \"%1\"").arg(w.at(1)));
    if (verb == QLatin1String("set")) {
        if (w.size() < 4)
            return failure(QStringLiteral("set DEVICE KEY VALUE"));
        const QString error = d->setValue(w.at(2), w.at(3));
        return error.isEmpty() ? r : failure(error);
    }
    if (verb == QLatin1String("clock")) {
        const QDateTime t = QDateTime::fromString(w.value(2), Qt::ISODateWithMs);
        if (!t.isValid())
            return failure(QStringLiteral("clock DEVICE YYYY-MM-DDTHH:MM:SS"));
        d->setClock(t);
        return r;
    }
    QStringList args = w.mid(2);
    const QString error = d->runCommand(verb, args, &r.lines);
    return error.isEmpty() ? r : failure(error);
}

Simulator::Reply Simulator::setFault(const QStringList& w)
{
    if (w.size() < 4)
        return failure(QStringLiteral("fault TARGET FAULT on|off|once|N [ARG]"));
    const auto fault = FaultSet::byName(w.at(2));
    if (!fault)
        return failure(QStringLiteral("unknown fault \"%1\"").arg(w.at(2)));
    const QString state = w.at(3);
    const QString arg = w.value(4);
    if (FaultSet::isInterfaceFault(*fault)) {
        SimInterface* iface = findInterface(w.at(1));
        if (!iface)
            return failure(QStringLiteral("%1 is a fault of an interface; no interface \"%2\"").arg(w.at(2), w.at(1)));
        const QString error = iface->faults().set(*fault, state, arg);
        if (!error.isEmpty())
            return failure(error);
        iface->lineSpeedChanged();
        log_.info(QStringLiteral("%1: faults now %2").arg(iface->name(), iface->faults().describe()));
        return {};
    }
    Device* d = findDevice(w.at(1));
    if (!d)
        return failure(QStringLiteral("%1 is a fault of a device; no device \"%2\"").arg(w.at(2), w.at(1)));
    const QString error = d->faults().set(*fault, state, arg);
    if (!error.isEmpty())
        return failure(error);
    log_.info(QStringLiteral("%1: faults now %2").arg(d->name(), d->faults().describe()));
    return {};
}

} // namespace cvx::vbtsim
