// Link engine: client links (attaching, leaving, delivery, automatic answers), DOV
// input and the communication log.
#include "link/vbt_comms.h"

#include "link/comm_log.h"
#include "shell/logs.h"
#include "shell/shell_state.h"

namespace cvx {

using commlog::None;

// ---- client links -----------------------------------------------------------------------

bool TVBTComms::AttachClient(TVBTComms* client)
{
    if (!client)
        return false;
    if (clients_.contains(client)) {
        client->attachedToOwner_ = true;
        return true;
    }
    for (const TVBTComms* c : clients_) {
        if (c->VBTAddress == client->VBTAddress) {
            client->attachedToOwner_ = false;
            return false;
        }
    }
    clients_.append(client);
    client->attachedToOwner_ = true;
    if (Connected() && client->OnConnect) {
        const auto cb = client->OnConnect;
        cb();
    }
    return true;
}

void TVBTComms::DetachClient(TVBTComms* client)
{
    if (!client)
        return;
    auto ownedBy = [client](const TKuldendo& p) { return p.Owner == client; };
    if (!queue_.empty()) {
        WriteLog(QStringLiteral("KuldlistaTakaritas. Assigned(TVBTComms) = -1 Kuldendok.Count = %1").arg(queue_.size()),
                 commlog::General);
        abortExchangeIfHeadRemoved(ownedBy);
    }
    const int index = int(clients_.indexOf(client));
    if (index >= 0) {
        clients_.removeAt(index);
        // Keep the rotation where it was.
        if (index <= pollIndex_)
            --pollIndex_;
    }
    if (polledClient_ == client)
        polledClient_ = nullptr;
    client->attachedToOwner_ = false;

    std::vector<std::unique_ptr<TKuldendo>> removed;
    for (auto it = queue_.begin(); it != queue_.end();) {
        if ((*it)->Owner == client) {
            removed.push_back(std::move(*it));
            it = queue_.erase(it);
        } else {
            ++it;
        }
    }
    for (auto& p : removed)
        if (!report(std::move(p), Finish{vbt::rcDropped, {}, false, false}))
            return;
}

void TVBTComms::leaveOwner()
{
    TVBTComms* owner = PortOwner;
    attachedToOwner_ = false;
    if (owner)
        owner->DetachClient(this);
}

TVBTComms* TVBTComms::findTarget(const TOnReadPacketData& record)
{
    if (direct_ && active_ && record.Address == VBTAddress)
        return this;
    if (!active_)
        return nullptr;
    const quint32 key = FindClientsByVBTWAddr ? record.Address
        : record.Address <= vbt::PcAddress    ? record.Address
                                              : quint32(record.ShortAddress);
    for (TVBTComms* c : clients_)
        if (c->VBTAddress == key && c->active_)
            return c;
    return nullptr;
}

void TVBTComms::Deliver(const TOnReadPacketData& record)
{
    TVBTComms* target = findTarget(record);
    if (!target)
        return;
    if (target->AutoAnswer && !target->AutoAnswerCmd.isEmpty() && record.Data.startsWith(target->AutoAnswerCmd)) {
        // Answered at once, outside the exchange in progress: its serial and expected
        // address stay those of the packet being waited for.
        QuickSend(target->AutoAnswerAns, nem_kerek_nyugtat, record.Address, record.Serial, false);
        return;
    }
    const QByteArray s = (record.Info == pozitiv_nyugta && !DOV_to_VBT && target->Nyugtat_is_jelezze)
        ? QByteArrayLiteral("CSYAC")
        : record.Data;
    if (target->OnRead) {
        const TOnIncoming_tagged cb = target->OnRead;
        cb(s, 0, 0);
    }
}

void TVBTComms::processDovLines()
{
    auto alive = alive_;
    const QList<QByteArray> lines = dov::TakeLines(rxBuffer_);
    for (const QByteArray& line : lines) {
        for (const TOnReadPacketData& record : dov::LineToRecords(line)) {
            Deliver(record);
            if (!*alive || !active_)
                return;
        }
    }
}

// ---- communication log -------------------------------------------------------------------

namespace {

bool writerListens(const TNaplo* writer) { return writer && writer->Logging && writer->LogLimit != 0; }

} // namespace

void TVBTComms::LogPacket(const QString& text, int level, const QByteArray& data, qint64 sender, qint64 addressee,
                          qint64 thirdAddress, qint64 serial, qint64 sentAtTick, qint64 sendTimeTick, bool logIt)
{
    if (!logIt && !MindenNaplozasa)
        return;
    QList<TVBTComms*> targets;
    if (!PortOwner) {
        if (level == commlog::RawBytes) {
            targets = clients_;
        } else {
            const qint64 third = thirdAddress != None ? thirdAddress : sender;
            for (TVBTComms* c : clients_) {
                const qint64 a = c->VBTAddress;
                if (a == sender || a == addressee || a == third)
                    targets.append(c);
            }
        }
    }
    // Formatting costs more than the exchange itself; skip it when nobody reads the line.
    bool wanted = writerListens(LogWriter) || shellState().LOG_COMM || (PortOwner && writerListens(PortOwner->LogWriter));
    for (const TVBTComms* c : targets)
        wanted = wanted || writerListens(c->LogWriter);
    if (!wanted) {
        for (TVBTComms* c : targets)
            c->lastLogType_ = level;
        lastLogType_ = level;
        return;
    }
    qint64 elapsed = None;
    if (sentAtTick > 0)
        elapsed = now() - sentAtTick;
    else if (sendTimeTick != None)
        elapsed = now() - sendTimeTick;
    const QString line = commlog::PacketLine(text, level, data, sender, addressee, serial, elapsed);

    if (level == commlog::RawBytes) {
        // Raw bytes reach the file as they are.
        auto writeRaw = [&line, level, this](TVBTComms* link) {
            TNaplo* w = link->LogWriter;
            const bool saved = w ? w->ConvertToPrintable : false;
            if (w)
                w->ConvertToPrintable = false;
            link->writeLog(line, level, link == this);
            if (w)
                w->ConvertToPrintable = saved;
        };
        writeRaw(this);
        for (TVBTComms* c : targets)
            writeRaw(c);
        return;
    }
    for (TVBTComms* c : targets)
        c->writeLog(line, level, false);
    WriteLog(line, level);
}

void TVBTComms::WriteLog(const QString& message, int type) { writeLog(message, type, true); }

void TVBTComms::writeLog(const QString& message, int type, bool ownMessage)
{
    // A connection error repeated at every attempt is written once, until another
    // message comes in between.
    if ((type == commlog::CommError || type == commlog::OpenFailed) && type == lastLogType_)
        return;
    lastLogType_ = type;
    if (shellState().LOG_COMM)
        LogLine(message, false);
    if (LogWriter)
        LogWriter->Write(message);
    // A client link's own messages (a refused packet, its start and stop) also go to
    // the log of the interface it belongs to, where the user looks for them.
    if (ownMessage && PortOwner && PortOwner->LogWriter && PortOwner->LogWriter != LogWriter)
        PortOwner->LogWriter->Write(message);
}

} // namespace cvx
