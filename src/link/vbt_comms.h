#pragma once
// The link engine. A port link owns a serial port or TCP connection and talks to the
// devices behind it: a queue of packets sent one at a time, acknowledgements, repeats
// with growing time-outs, polling of its client links in rotation, classification of
// every received frame, and the outcome of every packet reported through callbacks as
// a numeric result code. A client link stands for one device address and sends
// through its port owner. Single-threaded; every timer comes from the time service.

#include "link/dov_input.h"
#include "link/frame_classifier.h"
#include "link/kuldendo.h"
#include "link/link_transport.h"
#include "link/vbt_protocol.h"
#include "platform/time_service.h"

#include <QByteArray>
#include <QList>
#include <QString>

#include <deque>
#include <functional>
#include <memory>
#include <random>

namespace cvx {

class TNaplo;

class TVBTComms {
public:
    using TState = LinkState;
    enum class TConnectionState { none, portBusy, noSuchPort, wasConnected };

    // transports: where serial ports and TCP clients come from (nullptr: Qt's).
    explicit TVBTComms(TimeService& time, TransportFactory* transports = nullptr);
    ~TVBTComms();
    TVBTComms(const TVBTComms&) = delete;
    TVBTComms& operator=(const TVBTComms&) = delete;

    // ---- settings (set before SetActive(true)) ----
    QString Host;                 // empty: serial port
    int Port = 1;                 // TCP port, or serial port number
    QString SerialDevice;         // serial device path; overrides the port number
    int Baud = 115200;
    quint32 VBTAddress = 0;
    bool Pollingolo = false;
    int PollTimerInterval = 2000;
    QByteArray PollCmd = "c";
    QByteArray PollAns = "a";
    bool AutoAnswer = false;
    QByteArray AutoAnswerCmd = "CGSWD";
    QByteArray AutoAnswerAns = "AGSWD";
    int Timeout_1;                // from the process settings at creation
    int Timeout_2;
    int Timeout_3;
    int Timeout_Poll = 100;
    int Max_tries_cmd;
    int Max_tries_poll;
    bool Nyugtat_is_jelezze = true;
    bool DOV_to_VBT = false;
    bool FindClientsByVBTWAddr = false;
    bool MindenNaplozasa = false;
    bool Poll_Log;
    bool Log_Raw_Data = false;
    bool ReleVezerlesSorosPorton = false;
    bool NoPortOpen = false;
    TVBTComms* PortOwner = nullptr;
    TNaplo* LogWriter = nullptr;  // not owned

    TOnIncoming_tagged OnRead;
    std::function<void()> OnConnect;
    std::function<void()> OnDisConnect;

    TVBTMode VBTMode() const { return rxFramer_.VBTMode; }
    void SetVBTMode(TVBTMode mode);

    // ---- lifecycle ----
    void SetActive(bool active);
    bool Active() const { return active_; }
    bool IsClient() const { return PortOwner != nullptr; }

    // ---- state (queries) ----
    // A client link answers for its port owner.
    bool Connected() const;
    bool Connecting() const { return connecting_; }
    TConnectionState ConnectionState() const { return connectionState_; }
    TState State() const { return state_; }
    int Tries() const { return tries_; }
    int QueueCount() const { return int(queue_.size()); }
    const TKuldendo* QueuedPacket(int index) const;
    const QList<TVBTComms*>& Clients() const { return clients_; }
    bool AttachedToOwner() const { return attachedToOwner_; }
    bool Direct() const { return direct_; }
    quint8 LastTxSerial() const { return lastTxSerial_; }
    quint8 LastAckSerial() const { return lastAckSerial_; }
    quint8 LastRxSerial() const { return lastRxSerial_; }
    quint32 ExpectedAddress() const { return expectedAddress_; }
    const QByteArray& RxBuffer() const { return rxBuffer_; }
    bool AnswerTimerRunning() const;

    // ---- submission ----
    // Used by SendWith: takes the packet through the submission steps.
    void Submit(std::unique_ptr<TKuldendo> packet);
    // Withdraws queued packets whose OnRead or OnError (OnResult) is the given handler,
    // without callbacks; an empty handler withdraws all.
    void ClearQueueByHandler(const TOnIncoming_tagged& handler);
    void ClearQueueByResultHandler(const TOnVBTCmdResult& handler);

    // ---- sending frames ----
    // An automatic serial: the next after the last one sent, never the last ACK's.
    static constexpr int AutoSerial = -1;
    // forcedMode: PMDecodeBothEncodeVBT / PMDecodeBothEncodeVBTW, or -1 for none.
    int SendFrame(const QByteArray& payload, TInfo info, quint32 address, int serial, bool noAsyer,
                  int forcedMode = -1);
    // SendFrame for a packet sent outside the queue: its own serial; the exchange's
    // serials and expected address are left alone.
    int QuickSend(const QByteArray& payload, TInfo info, quint32 address, int serial, bool noAsyer,
                  int forcedMode = -1);

    // ---- transport ----
    int WriteBytes(const QByteArray& frame);
    bool GetLine(int line) const;        // 1 break, 2 DTR, 3 RTS
    void SetLine(int line, bool state);

    // ---- client links ----
    bool AttachClient(TVBTComms* client);
    void DetachClient(TVBTComms* client);
    void Deliver(const TOnReadPacketData& record);

    // ---- communication log ----
    void LogPacket(const QString& text, int level, const QByteArray& data, qint64 sender, qint64 addressee,
                   qint64 thirdAddress, qint64 serial, qint64 sentAtTick, qint64 sendTimeTick, bool logIt);
    void WriteLog(const QString& message, int type);

    // Reseeds the random sources (serials, connect intervals) for reproducible runs.
    void SeedRandom(quint32 seed);

    // Expires when the engine is destroyed: components that keep a pointer to a link they
    // do not own check it before they touch the link again.
    std::weak_ptr<const bool> LifeToken() const { return alive_; }

private:
    struct Finish {
        quint16 code = 0;
        QByteArray text;
        bool completedByAck = false;
        bool plain = false; // refusal or psoDontQueue: no engine OnRead, no "CSYAC"
    };

    // vbt_comms.cpp
    void createTimers();
    void stopAllTimers();
    void goIdle();
    void sendCycle(bool fromPollTimer);
    bool sendPacketNow(TKuldendo& p, bool logSend);
    TInfo infoOf(const TKuldendo& p) const;
    void armAnswerTimer(const TKuldendo& p);
    void armPollTimer();
    quint8 nextSerial(quint8 s) const { return s >= 250 ? 1 : quint8(s + 1); }
    quint8 automaticSerial() const;
    int doSendFrame(const QByteArray& payload, TInfo info, quint32 address, int serial, bool noAsyer,
                    int forcedMode, bool quick);
    void submitToPort(std::unique_ptr<TKuldendo> p);
    void refuse(std::unique_ptr<TKuldendo> p, quint16 code, const QString& text);
    void quickSendPacket(std::unique_ptr<TKuldendo> p);
    // Removes the packet from the queue (if queued) and reports; false when the engine
    // was destroyed by a callback.
    bool finish(TKuldendo* p, const Finish& how);
    bool report(std::unique_ptr<TKuldendo> p, const Finish& how);
    std::unique_ptr<TKuldendo> takeFromQueue(TKuldendo* p);
    TKuldendo* head() const { return queue_.empty() ? nullptr : queue_.front().get(); }
    void abortExchangeIfHeadRemoved(const std::function<bool(const TKuldendo&)>& removed);
    TVBTComms* reportingLink(const TKuldendo& p);
    bool live() const { return active_ && connected_; }
    qint64 now() const { return time_.tickMs(); }

    // vbt_comms_receive.cpp
    void processTick();
    void processFrames();
    bool handleFrame(const QByteArray& frame);
    void answerTimeout();
    void queueTimeout();

    // vbt_comms_transport.cpp
    void connectTimerTick();
    void attemptConnection();
    void closePort();
    void onConnected();
    void onDisconnected();
    void onTcpError(int code, const QString& message);
    void onSerialError(int code, const QString& message);
    void bytesReceived(const QByteArray& bytes);
    void applyLines();
    QString hostPort() const;

    // vbt_comms_clients.cpp
    TVBTComms* findTarget(const TOnReadPacketData& record);
    void processDovLines();
    void leaveOwner();
    void writeLog(const QString& message, int type, bool ownMessage);

    TimeService& time_;
    TransportFactory& transports_;
    std::shared_ptr<bool> alive_;

    TVBTProtocol txFramer_;
    TVBTProtocol rxFramer_;
    std::minstd_rand random_;

    std::unique_ptr<Timer> sendTick_;
    std::unique_ptr<Timer> pollTimer_;
    std::unique_ptr<Timer> answerTimer_;
    std::unique_ptr<Timer> queueTimer_;
    std::unique_ptr<Timer> processTick_;
    std::unique_ptr<Timer> connectTimer_;

    std::unique_ptr<SerialPort> serial_;
    std::unique_ptr<TcpClient> tcp_;

    bool active_ = false;
    bool connected_ = false;
    bool connecting_ = false;
    bool destroying_ = false;
    bool processing_ = false;
    bool reprocess_ = false;
    bool direct_ = false;
    bool attachedToOwner_ = false;
    TConnectionState connectionState_ = TConnectionState::none;
    TState state_ = TState::Idle;
    int tries_ = 0;
    quint8 lastTxSerial_ = 1;
    quint8 lastAckSerial_ = 0;
    quint8 lastRxSerial_ = 1;
    quint8 quickSerial_ = 0;
    quint32 expectedAddress_ = 0;
    qint64 lastSendTime_ = commlog_none();
    qint64 lastIoTime_ = 0;
    QByteArray rxBuffer_;
    bool lineStates_[3] = {false, false, false}; // break, DTR, RTS
    int lastLogType_ = -1;

    int pollIndex_ = -1;
    int pollsThisRound_ = 0;
    quint32 pollAddress_ = 0;
    QByteArray pollCommand_;
    TVBTComms* polledClient_ = nullptr;

    std::deque<std::unique_ptr<TKuldendo>> queue_;
    QList<TVBTComms*> clients_;

    static constexpr qint64 commlog_none() { return -1; }
};

} // namespace cvx
