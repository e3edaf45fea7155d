// Fuzzes what a device or a line can send: frame extraction and decoding in every
// mode, DOV lines, and the receive processing of a link engine with queued packets,
// client links and polling, on virtual time that the input also drives.
//
// Input: byte 0 configures the link (bits 0-1 framing mode, 2 DOV input, 3 polling,
// 4 routing by wide address, 5 log everything, 6 raw logging, 7 ACKs reported as
// "CSYAC"); byte 1 queues packets (bits 0-2 how many, the rest picks their options).
// Then records: a control byte whose low 6 bits are the length of the bytes that
// follow and arrive on the line, or 63 for "the device answers the last frame sent"
// (next byte: bits 0-1 Info, bits 2-7 payload length, then the payload); its top two
// bits choose how far virtual time moves on afterwards.
#include "../tests/link/fake_transport.h"
#include "link/dov_input.h"
#include "link/vbt_comms.h"
#include "platform/manual_time_service.h"
#include "shell/logs.h"

#include <cstdint>
#include <cstdlib>

using namespace cvx;

namespace {

void checkFramer(const QByteArray& input)
{
    for (int mode = 0; mode < 4; ++mode) {
        TVBTProtocol rx;
        rx.VBTMode = TVBTMode(mode);
        QByteArray buffer = input;
        for (int guard = 0; guard < 4096; ++guard) {
            const qsizetype before = buffer.size();
            const QByteArray frame = rx.ExtractFrame(buffer);
            if (frame.isEmpty()) {
                if (buffer.size() != before)
                    std::abort(); // nothing extracted must leave the buffer alone
                break;
            }
            if (buffer.size() >= before)
                std::abort(); // every extraction consumes
            const QByteArray data = rx.DecodeFrame(frame);
            if (rx.ErrorCode() != 0) {
                if (!data.isEmpty())
                    std::abort();
                continue;
            }
            // A decoded packet framed again decodes to the same payload and header.
            TVBTProtocol tx;
            tx.VBTMode = rx.LastWasWide() ? PMVBTWOnly : PMVBTOnly;
            tx.Cimzett = rx.Cimzett;
            tx.Felado = rx.Felado;
            tx.Felado_rovid_cim = rx.Felado_rovid_cim;
            tx.Info = rx.Info;
            tx.CsomagSorszam = rx.CsomagSorszam;
            tx.Enable_ASYER = rx.Enable_ASYER;
            tx.Disable_bitmatrix = rx.Disable_bitmatrix;
            tx.Header_extension = rx.Header_extension;
            const QByteArray again = tx.EncodeFrame(data);
            TVBTProtocol check;
            check.VBTMode = tx.VBTMode;
            if (check.DecodeFrame(again) != data || check.ErrorCode() != 0)
                std::abort();
            if (rx.LastWasWide() && (check.Felado != rx.Felado || check.Cimzett != rx.Cimzett
                                     || check.Header_extension != rx.Header_extension))
                std::abort();
        }
    }
    QByteArray lines = input;
    for (const QByteArray& line : dov::TakeLines(lines))
        for (const TOnReadPacketData& r : dov::LineToRecords(line))
            if (!r.Data.startsWith("AITGD") || (r.Data.size() - 5) % 2 != 0)
                std::abort();
}

void runEngine(const uint8_t* data, size_t size)
{
    if (size < 2)
        return;
    ManualTimeService time;
    test::FakeTransports transports(&time);
    transports.autoConnect = true;
    TNaplo naplo(&time); // formats every line, writes none (no file)
    naplo.Logging = true;

    const uint8_t cfg = data[0];
    TVBTComms port(time, &transports);
    port.SeedRandom(7);
    port.Host = QStringLiteral("fuzz");
    port.SetVBTMode(TVBTMode(cfg & 3));
    port.DOV_to_VBT = cfg & 4;
    port.Pollingolo = cfg & 8;
    port.FindClientsByVBTWAddr = cfg & 16;
    port.MindenNaplozasa = cfg & 32;
    port.Log_Raw_Data = cfg & 64;
    port.Nyugtat_is_jelezze = cfg & 128;
    port.LogWriter = &naplo;
    port.SetActive(true);

    int reads = 0;
    const quint32 addresses[] = {1, 2, 5, 249, 0x00010005};
    std::vector<std::unique_ptr<TVBTComms>> clients;
    for (quint32 a : addresses) {
        auto c = std::make_unique<TVBTComms>(time, &transports);
        c->PortOwner = &port;
        c->VBTAddress = a;
        c->AutoAnswer = a == 249;
        c->OnRead = [&reads](const QByteArray&, quint16, int) { ++reads; };
        c->SetActive(true);
        clients.push_back(std::move(c));
    }

    static const TVBTSendOptions optionSets[] = {
        {}, psoForceAck, psoDontAck, psoForceWait, psoForceAck | psoWaitAfterAck, psoNoRepeat,
        psoUsePollTimeout, psoDontQueue | psoDontAck, psoForceWait | psoForceAck | psoWaitAfterAck, psoNoASYER,
    };
    static const char* const expected[] = {"", "*", "ASYSI", "ASYREab", "a"};
    const int packets = data[1] & 7;
    for (int i = 0; i < packets; ++i) {
        auto p = std::make_unique<TKuldendo>(QByteArray("CSYSI") + char(i), addresses[(data[1] >> 3) % 5]);
        p->Options = optionSets[(data[1] + i) % 10] | psoTagged;
        p->ExpectedAnswer = expected[(data[1] >> 2 ^ i) % 5];
        p->WaitTime = (i & 1) ? 300 : 0;
        p->OnRead = [&reads](const QByteArray&, quint16, int) { ++reads; };
        p->OnError = [&reads](const QByteArray&, quint16, int) { ++reads; };
        SendWith(std::move(p), (i & 1) ? clients[size_t(i) % clients.size()].get() : &port);
    }

    static const int advances[] = {1, 30, 200, 5000};
    size_t at = 2;
    while (at < size) {
        const uint8_t ctl = data[at++];
        const int len = ctl & 0x3F;
        test::FakeTcpClient* tcp = transports.tcp;
        if (len == 0x3F) {
            if (at >= size)
                break;
            const uint8_t how = data[at++];
            const size_t payloadLen = std::min<size_t>(how >> 2, size - at);
            const QByteArray payload(reinterpret_cast<const char*>(data + at), qsizetype(payloadLen));
            at += payloadLen;
            if (tcp && !tcp->writes.empty()) {
                TVBTProtocol rx;
                rx.VBTMode = PMDecodeBothEncodeVBT;
                rx.DecodeFrame(tcp->writes.back().bytes);
                TVBTProtocol tx;
                tx.VBTMode = rx.LastWasWide() ? PMVBTWOnly : PMVBTOnly;
                tx.Cimzett = 250;
                tx.Felado = rx.Cimzett;
                tx.Felado_rovid_cim = quint8(rx.Cimzett);
                tx.CsomagSorszam = rx.CsomagSorszam;
                tx.Info = TInfo(how & 3);
                tcp->feed(tx.EncodeFrame(payload));
            }
        } else {
            const size_t n = std::min<size_t>(size_t(len), size - at);
            if (tcp)
                tcp->feed(QByteArray(reinterpret_cast<const char*>(data + at), qsizetype(n)));
            at += n;
        }
        time.advance(advances[ctl >> 6]);
        if (tcp && tcp->writes.size() > 64)
            tcp->writes.erase(tcp->writes.begin(), tcp->writes.end() - 8);
    }
    time.advance(2000);
    if (port.QueueCount() > vbt::QueueLimit)
        std::abort();
    clients.clear();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size > 1 << 16)
        return 0;
    checkFramer(QByteArray(reinterpret_cast<const char*>(data), qsizetype(size)));
    runEngine(data, size);
    return 0;
}
