#pragma once
// Types shared by the framer, the link engine and its callers: acknowledgement
// information, framing modes, send options, result codes, callbacks with identity.

#include <QByteArray>
#include <QFlags>
#include <QString>

#include <atomic>
#include <cstring>
#include <functional>
#include <stdexcept>
#include <string>

namespace cvx {

// Acknowledgement information of a packet, one byte on the line.
enum TInfo : quint8 {
    nem_kerek_nyugtat = 0, // no acknowledgement requested
    kerek_nyugtat = 1,     // acknowledgement requested
    pozitiv_nyugta = 2,    // ACK
    negativ_nyugta = 3,    // NACK
    ismetelt_csomag = 4,   // repeated packet, taken as an ACK
};

// Which frame forms a framer produces and accepts.
enum TVBTMode : quint8 {
    PMVBTOnly = 0,
    PMVBTWOnly = 1,
    PMDecodeBothEncodeVBT = 2,
    PMDecodeBothEncodeVBTW = 3,
};

// Result codes of a packet (the ErrorCode of the callbacks).
namespace vbt {
constexpr quint16 rcOk = 0;
constexpr quint16 rcNotActive = 2;
constexpr quint16 rcNoConnection = 3;
constexpr quint16 rcQueueFullOrWrite = 4;
constexpr quint16 rcNoAnswer = 5;
constexpr quint16 rcDropped = 6;
constexpr quint16 rcWrongAnswer = 7;
constexpr quint16 rcTooLarge = 9;
constexpr quint16 rcPortBusy = 10;
constexpr quint16 rcNoSuchPort = 11;
constexpr quint16 rcBadAddress = 55;

constexpr int MaxFrameLength = 2048;
constexpr int QueueLimit = 500;
constexpr quint32 PcAddress = 250;
constexpr quint32 BroadcastAddress = 255;
} // namespace vbt

enum TVBTSendOption : quint32 {
    psoForceAck = 1u << 0,
    psoDontAck = 1u << 1,
    psoForceWait = 1u << 2,
    psoWaitAfterAck = 1u << 3,
    psoNoRepeat = 1u << 4,
    psoDontQueue = 1u << 5,
    psoDontLog = 1u << 6,
    psoUsePollTimeout = 1u << 7,
    psoTagged = 1u << 8,
    psoNoASYER = 1u << 9,
    psoMultiplyWait = 1u << 10,
};
Q_DECLARE_FLAGS(TVBTSendOptions, TVBTSendOption)
// Inside the namespace, so that argument-dependent lookup finds it from anywhere.
Q_DECLARE_OPERATORS_FOR_FLAGS(TVBTSendOptions)

// Misuse of the framer or the engine: thrown with the short English texts callers log.
class VBTError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
    explicit VBTError(const QString& text) : std::runtime_error(text.toStdString()) {}
    QString text() const { return QString::fromStdString(what()); }
};

// A callback that knows which handler it is, so that queued packets can be withdrawn
// by handler ("same function, same object"). Copies are the same handler; a member
// function bound to an object is the same handler however often it is bound.
template <typename Sig>
class LinkCallback;

template <typename... Args>
class LinkCallback<void(Args...)> {
public:
    LinkCallback() = default;
    LinkCallback(std::nullptr_t) {}

    // An anonymous handler: only its copies compare equal to it.
    template <typename F,
              typename = std::enable_if_t<!std::is_same_v<std::decay_t<F>, LinkCallback>
                                          && std::is_invocable_v<F&, Args...>>>
    LinkCallback(F f) : fn_(std::move(f)), id_(newAnonymousId())
    {
    }

    // A handler named by its owner object and a key: equal to every callback made with
    // the same owner and key.
    template <typename F>
    static LinkCallback keyed(const void* owner, const std::string& key, F f)
    {
        LinkCallback c;
        c.fn_ = std::move(f);
        c.owner_ = owner;
        c.id_ = key;
        return c;
    }

    template <typename C>
    static LinkCallback member(C* object, void (C::*method)(Args...))
    {
        std::string key(sizeof(method), '\0');
        std::memcpy(key.data(), &method, sizeof(method));
        return keyed(object, "m:" + key, [object, method](Args... a) { (object->*method)(a...); });
    }

    explicit operator bool() const { return static_cast<bool>(fn_); }
    void operator()(Args... a) const
    {
        if (fn_)
            fn_(a...);
    }
    bool sameHandler(const LinkCallback& other) const
    {
        return fn_ && other.fn_ && owner_ == other.owner_ && id_ == other.id_;
    }

private:
    static std::string newAnonymousId()
    {
        static std::atomic<quint64> next{1};
        return "a:" + std::to_string(next.fetch_add(1));
    }

    std::function<void(Args...)> fn_;
    const void* owner_ = nullptr;
    std::string id_;
};

class TVBTComms;

// Result callback of an untagged packet: (sender, S, ErrorCode, Tag, TagObj, TagStr).
using TOnVBTCmdResult =
    LinkCallback<void(TVBTComms* sender, const QByteArray& s, quint16 errorCode, int tag, void* tagObj,
                      const QString& tagStr)>;
// Success and failure callback of a tagged packet, and the read event of an engine.
using TOnIncoming_tagged = LinkCallback<void(const QByteArray& s, quint16 errorCode, int tag)>;

} // namespace cvx
