#pragma once
// The messages of the link between the recording master and its client instances, and
// what the link calls in the acquisition layer.

#include <QByteArray>
#include <QDateTime>
#include <QString>

#include <functional>

namespace cvx {

class TProbe;

namespace instance_msg {

// "PckType" values.
constexpr int Values = 0;        // master -> clients: one current value (or an older device answer)
constexpr int PollRequest = 1;   // client -> master: answer with a push
constexpr int PollAllNow = 2;    // client -> master: poll every sensor now
constexpr int Restart = 3;       // master -> clients
constexpr int Echo = 4;          // any -> master: the master answers "a"
constexpr int SwitchRelay = 5;   // client -> master

// Type 0, current form.
inline const QString fId = QStringLiteral("CorvaluxID");
inline const QString fValue = QStringLiteral("UtolsoMeresErtek");
inline const QString fTime = QStringLiteral("UtolsoMeresIdo");
inline const QString fMeasureType = QStringLiteral("CorvaluxMerestipusID");
inline const QString fRecorded = QStringLiteral("MeresErtekRogzitve");
inline const QString fActive = QStringLiteral("Aktiv");
inline const QString fOnline = QStringLiteral("Online");
// Type 0, older form, and type 5.
inline const QString fPrid = QStringLiteral("prid");
inline const QString fAnswer = QStringLiteral("value");
inline const QString fAnswerTime = QStringLiteral("dtime");
inline const QString fRelayOn = QStringLiteral("rsta");

// The keep-alive reply, sent unframed.
inline const QByteArray KeepAliveReply = QByteArrayLiteral("a");

} // namespace instance_msg

// What the link calls in the acquisition layer. Every hook may be empty.
struct NetAcquisitionHooks {
    // HandleAnswer: a device answer for a sensor (code 0: a valid answer). The master's
    // poll-now uses the sensor link's own read handler when it has one.
    std::function<void(TProbe& sensor, const QByteArray& answer, quint16 code)> handleAnswer;
    // SetRemoteValue: a client applies one value pushed by the master.
    std::function<void(TProbe& sensor, int measureType, const QDateTime& time, double value, bool active,
                       bool online, bool recorded)>
        setRemoteValue;
};

} // namespace cvx
