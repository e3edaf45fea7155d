#include "watchdog.h"

#include "acquisition/probe.h"
#include "acquisition/probe_lists.h"
#include "devproto/binary_params.h"
#include "devproto/commands.h"
#include "devproto/device_info.h"
#include "devproto/ds_block.h"
#include "devproto/ds_configurator.h"
#include "link/kuldendo.h"
#include "link/vbt_comms.h"
#include "platform/time_service.h"
#include "shell/catalogue.h"
#include "shell/logs.h"
#include "shell/shell_state.h"
#include "store/settings.h"

#include <QStringDecoder>
#include <QStringEncoder>

namespace cvx {

WatchdogDevice::WatchdogDevice(TimeService& time, ProbeLists& probes,
                               std::function<QString(const QString&)> readSetting, TransportFactory* transports)
    : time_(time), probes_(probes), readSetting_(std::move(readSetting)), transports_(transports)
{
    timer_ = time_.createTimer(KeepAliveMs, false, [this] { WatchdogTimerTimer(); });
}

WatchdogDevice::~WatchdogDevice()
{
    timer_->stop();
    configurator_.reset();
    TearDown();
}

void WatchdogDevice::TearDown()
{
    ++generation_;
    if (configurator_)
        configurator_->Stop();
    // A port link detaches and stops its client links first.
    portLink_.reset();
    clientLink_.reset();
    commLog_.reset();
    link_ = {};
}

void WatchdogDevice::SetUpWatchdog()
{
    TearDown();
    auto setting = [this](const char* key) { return readSetting_ ? readSetting_(QString::fromLatin1(key)) : QString(); };
    enabled_ = shellState().MasterMode && SettingAsBool(setting("Use_SMSHw"), false);
    if (enabled_) {
        WatchdogType = SettingAsInt(setting("WatchdogType").trimmed(), 1);
        WatchdogID = SettingAsInt(setting("WatchdogID").trimmed(), -1);
        auto makeClient = [this](TVBTComms* owner, quint32 address) {
            clientLink_ = std::make_unique<TVBTComms>(time_, transports_);
            clientLink_->PortOwner = owner;
            clientLink_->VBTAddress = address;
            clientLink_->AutoAnswerCmd = cmd::CGSWD;
            clientLink_->AutoAnswerAns = cmd::AGSWD;
            clientLink_->AutoAnswer = true;
            clientLink_->SetActive(true);
        };
        if (WatchdogType == 0 || WatchdogType == 2) {
            const bool tcp = WatchdogType == 2;
            portLink_ = std::make_unique<TVBTComms>(time_, transports_);
            const quint32 address = quint32(tcp ? SettingAsInt(setting("SMSTcpAddr").trimmed(), 249)
                                                : SettingAsInt(setting("SMSHwAddr").trimmed(), 1));
            makeClient(portLink_.get(), address);
            commLog_ = std::make_unique<TNaplo>(&time_);
            commLog_->ConvertToPrintable = false;
            if (!tcp)
                commLog_->LogLimit = 50'000'000;
            commLog_->LogFile = shellState().LogFolder + QStringLiteral("/WatchDog.commlog");
            commLog_->Logging = true;
            if (tcp) {
                QString host = setting("SMSTcpHost").trimmed();
                portLink_->Host = host.isEmpty() ? QStringLiteral("localhost") : host;
                portLink_->Port = SettingAsInt(setting("SMSTcpPort").trimmed(), 1001);
            } else {
                portLink_->Host.clear();
                portLink_->Port = SettingAsInt(setting("SMSHwPort").trimmed(), 1);
            }
            portLink_->Pollingolo = false;
            portLink_->LogWriter = commLog_.get();
            portLink_->SetActive(true);
            link_ = clientLink_.get();
        } else if (WatchdogType == 1) {
            TProbe* iface = probes_.FindInterface(WatchdogID);
            if (iface && serverHasDataLogger(iface->ServerType)) {
                link_ = iface->LoggerLink.get();
            } else if (iface && iface->Link) {
                makeClient(iface->Link.get(), InterfaceDeviceAddress);
                link_ = clientLink_.get();
            }
        }
    }
    if (!link_)
        enabled_ = false;
    timer_->setEnabled(enabled_);
}

void WatchdogDevice::WatchdogTimerTimer()
{
    TVBTComms* link = WatchdogLink();
    if (shellState().Stopping || !link)
        return;
    auto p = std::make_unique<TKuldendo>(QByteArray(cmd::AGSWD), link->VBTAddress);
    p->Options = psoDontAck | psoDontQueue | psoDontLog | psoNoASYER;
    SendWith(std::move(p), link);
}

// ---- device operations ------------------------------------------------------------------------

void WatchdogDevice::submit(const QByteArray& payload, int waitTime, int tag, const QByteArray& expected,
                            std::function<void(const QByteArray&, quint16, int)> handler)
{
    TVBTComms* link = WatchdogLink();
    if (!link) {
        handler(QByteArray(), vbt::rcNotActive, tag);
        return;
    }
    const quint64 generation = generation_;
    // One handler identity for every request of the settings window, so that closing it
    // withdraws them all.
    auto body = [this, generation, handler](const QByteArray& s, quint16 code, int t) {
        if (generation == generation_)
            handler(s, code, t);
    };
    const TOnIncoming_tagged cb = TOnIncoming_tagged::keyed(this, "deviceRequest", body);
    SendTagged(link, payload, link->VBTAddress, waitTime, tag, cb, cb, expected);
}

void WatchdogDevice::CancelDeviceRequests()
{
    ++generation_;
    if (configurator_)
        configurator_->Stop();
    if (TVBTComms* link = WatchdogLink())
        link->ClearQueueByHandler(TOnIncoming_tagged::keyed(this, "deviceRequest", [](auto&&...) {}));
}

void WatchdogDevice::ReadDeviceVersion(
    std::function<void(quint16 code, const QString& versionText, const QString& message)> done)
{
    submit(cmd::CSYSI, 0, 0, cmd::ASYSI, [done](const QByteArray& answer, quint16 code, int) {
        if (code == 0)
            done(code, Msg("labVersion") + QStringLiteral(": ") + FormatDeviceInfo(answer), QString());
        else
            done(code, Msg("labUnknownVersion"), Fmt("msgDevNotRespondingDlg", int(code)));
    });
}

namespace {

QString singleByteText(const QByteArray& bytes)
{
    QStringDecoder dec("windows-1250");
    return dec.decode(bytes);
}

QByteArray singleByteBytes(const QString& text)
{
    QStringEncoder enc("windows-1250");
    return enc.encode(text);
}

// Up to the first zero byte (all bytes when there is none).
QByteArray untilZero(const QByteArray& bytes)
{
    const int z = int(bytes.indexOf('\0'));
    return z < 0 ? bytes : bytes.left(z);
}

QString trimControls(const QString& s)
{
    int b = 0, e = int(s.size());
    while (b < e && s[b].unicode() <= 32)
        ++b;
    while (e > b && s[e - 1].unicode() <= 32)
        --e;
    return s.mid(b, e - b);
}

// A decimal integer text, the default when it is not one; false when it is outside lo..hi.
bool numberIn(const QString& text, int def, int lo, int hi, const char* labelKey, int* out, QString* refusal)
{
    bool ok = false;
    const qint64 v = text.trimmed().toLongLong(&ok);
    const qint64 n = ok ? v : def;
    if (n < lo || n > hi) {
        if (refusal)
            *refusal = Fmt("msgWatchdogValueOutOfRange", Msg(labelKey), text.trimmed(), lo, hi);
        return false;
    }
    *out = int(n);
    return true;
}

} // namespace

void WatchdogDevice::ReadWatchdogParameters(std::function<void(const ReadReport&)> onResult)
{
    struct Item {
        int address, count;
    };
    static const Item items[] = {{73, 2}, {75, 1}, {72, 1}, {76, 20}, {96, 160}};
    for (int i = 0; i < 5; ++i) {
        const int tag = i + 1;
        submit(CmdReadParams(items[i].address, items[i].count), 0, tag, cmd::ASYRE,
               [this, onResult](const QByteArray& answer, quint16 code, int t) {
                   ReadReport r;
                   r.tag = t;
                   r.code = code;
                   r.last = t == 5;
                   if (code != 0) {
                       writable_ = false;
                       if (r.last)
                           r.message = Fmt("msgDevNotRespondingDlg", int(code));
                   } else {
                       const QByteArray bytes = answer.mid(AnswerParamOffset);
                       if (t <= 3)
                           // The device stores these as unsigned numbers.
                           r.value = QString::number(ParamToIntDef(bytes, 0, IntSign::Unsigned));
                       else
                           r.value = trimControls(singleByteText(untilZero(bytes)));
                       if (r.last) {
                           r.message = Msg("msgEEPROMParameters");
                           r.information = true;
                       }
                       writable_ = true;
                   }
                   r.writable = writable_;
                   onResult(r);
               });
    }
}

QList<QByteArray> WatchdogDevice::StandAloneWriteRequests(const WatchdogParameterTexts& v, QString* refusal)
{
    int interval = 0, failures = 0, pause = 0;
    if (!numberIn(v.CheckInterval, 5, 0, 65535, "labWatchdogCheckInterval", &interval, refusal)
        || !numberIn(v.FailuresBeforeAlarm, 2, 0, 255, "labWatchdogFailures", &failures, refusal)
        || !numberIn(v.AlarmPauseHours, 2, 0, 255, "labWatchdogAlarmPause", &pause, refusal))
        return {};
    const QByteArray phone = (singleByteBytes(v.AlarmPhone.trimmed()) + QByteArray(1, '\0')).left(20);
    const QByteArray text = (singleByteBytes(v.AlarmText.trimmed()) + QByteArray(1, '\0')).left(160);
    return {CmdWriteParams(73, IntToParam2(interval)),
            CmdWriteParams(75, QByteArray(1, char(failures))),
            CmdWriteParams(72, QByteArray(1, char(pause))),
            CmdWriteParams(76, phone),
            CmdWriteParams(96, text),
            QByteArray(cmd::CSYEE)};
}

bool WatchdogDevice::WriteWatchdogParameters(const WatchdogParameterTexts& values,
                                             std::function<void(const WriteReport&)> onResult, QString* refusal)
{
    const QList<QByteArray> requests = StandAloneWriteRequests(values, refusal);
    if (requests.isEmpty())
        return false;
    for (int i = 0; i < requests.size(); ++i) {
        const int tag = i + 1;
        const int wait = (tag == 4 || tag == 5) ? 1500 : 0;
        submit(requests[i], wait, tag, QByteArray(), [onResult](const QByteArray&, quint16 code, int t) {
            WriteReport r;
            r.tag = t;
            r.code = code;
            r.last = t == 6;
            if (r.last && code != 0)
                r.message = Fmt("msgDevNotRespondingDlg", int(code));
            onResult(r);
        });
    }
    return true;
}

void WatchdogDevice::SetWatchdogFunction(bool on, std::function<void(quint16 code, const QString& message)> done)
{
    submit(on ? cmd::CGSAE : cmd::CGSAD, 0, 0, QByteArray(), [done, on](const QByteArray&, quint16 code, int) {
        if (code == 0)
            done(code, Msg(on ? "msgWatchdogActivatedDialog" : "msgWatchdogDeactivatedDialog"));
        else
            done(code, Fmt("msgDevNotRespondingDlg", int(code)));
    });
}

void WatchdogDevice::ReadLoggerWatchdogParameters(
    std::function<void(quint16 code, const WatchdogParameterTexts& fields, const QString& message)> done)
{
    if (!configurator_)
        configurator_ = std::make_unique<TDataStoreConfigurator>();
    TDataStoreConfigurator& c = *configurator_;
    c.Stop();
    TVBTComms* link = WatchdogLink();
    if (!link) {
        writable_ = false;
        done(vbt::rcNotActive, {}, Fmt("msgDevNotRespondingDlg", int(vbt::rcNotActive)));
        return;
    }
    c.SetVBTPort(link);
    c.VBTAddress = link->VBTAddress;
    const quint64 generation = generation_;
    c.OnDSDataRead = [this, generation, done](TDataStoreConfigurator& sender, int code) {
        if (generation != generation_)
            return;
        writable_ = code == 0;
        if (code != 0)
            done(quint16(code), {}, Fmt("msgDevNotRespondingDlg", code));
        else
            done(0, LoggerWatchdogFields(sender.Block()), Msg("msgEEPROMParameters"));
    };
    c.ReadBlock();
}

bool WatchdogDevice::WriteLoggerWatchdogParameters(const WatchdogParameterTexts& values,
                                                   std::function<void(quint16 code, const QString& message)> done,
                                                   QString* refusal)
{
    if (!configurator_)
        configurator_ = std::make_unique<TDataStoreConfigurator>();
    TDataStoreConfigurator& c = *configurator_;
    c.Stop();
    QByteArray block = c.Block();
    if (!SetLoggerWatchdogFields(block, values, refusal))
        return false;
    TVBTComms* link = WatchdogLink();
    if (!link) {
        done(vbt::rcNotActive, Fmt("msgDevNotRespondingDlg", int(vbt::rcNotActive)));
        return true;
    }
    c.SetBlock(block);
    c.SetVBTPort(link);
    c.VBTAddress = link->VBTAddress;
    const quint64 generation = generation_;
    c.OnDSDataWritten = [this, generation, done](TDataStoreConfigurator&, int code) {
        if (generation != generation_)
            return;
        writable_ = code == 0;
        done(quint16(code), code != 0 ? Fmt("msgDevNotRespondingDlg", code) : QString());
    };
    c.WriteBlock();
    return true;
}

// ---- data-logger block --------------------------------------------------------------------------

WatchdogParameterTexts LoggerWatchdogFields(const QByteArray& block)
{
    using namespace dsblock;
    auto byteAt = [&](int offset) { return offset < block.size() ? int(uchar(block[offset])) : 0; };
    WatchdogParameterTexts t;
    t.OperatingMode = QString::number(byteAt(ModeOffset));
    t.CheckInterval = QString::number(byteAt(WatchdogCheckIntervalOffset));
    t.FailuresBeforeAlarm = QString::number(byteAt(WatchdogFailuresOffset));
    t.AlarmPauseHours = QString::number(byteAt(WatchdogPauseMinutesOffset) / 60);
    t.AlarmPhone = singleByteText(untilZero(block.mid(WatchdogAlarmPhoneOffset, task::PhoneSize)));
    t.AlarmText = singleByteText(untilZero(block.mid(WatchdogAlarmTextOffset, task::SmsTextSize)));
    return t;
}

bool SetLoggerWatchdogFields(QByteArray& block, const WatchdogParameterTexts& v, QString* refusal)
{
    using namespace dsblock;
    int mode = 0, interval = 0, failures = 0, pauseHours = 0;
    // The pause is stored as one byte of minutes: at most 4 hours fit.
    if (!numberIn(v.OperatingMode, 2, 0, 255, "labWatchdogOperatingMode", &mode, refusal)
        || !numberIn(v.CheckInterval, 5, 0, 255, "labWatchdogCheckInterval", &interval, refusal)
        || !numberIn(v.FailuresBeforeAlarm, 3, 0, 255, "labWatchdogFailures", &failures, refusal)
        || !numberIn(v.AlarmPauseHours, 1, 0, 4, "labWatchdogAlarmPause", &pauseHours, refusal))
        return false;
    if (block.size() < BlockSize)
        block.append(QByteArray(BlockSize - block.size(), char(0xFF)));
    const QByteArray phone = singleByteBytes(v.AlarmPhone.left(19)) + QByteArray(1, '\0');
    const QByteArray text = singleByteBytes(v.AlarmText.left(159)) + QByteArray(1, '\0');
    block.replace(EventOffset(0), EventRecordSize, QByteArray(EventRecordSize, char(0xFF)));
    block.replace(TaskOffset(0), TaskRecordSize, QByteArray(TaskRecordSize, char(0xFF)));
    block[ModeOffset] = char(mode);
    block[EventOffset(0) + event::MeasureType] = char(WatchdogMeasureType);
    block[EventOffset(0) + event::TaskOnActivate] = char(0);
    block[EventOffset(0) + event::TaskOnClose] = char(255);
    block[EventOffset(0) + event::Enabled] = char(1);
    block[TaskOffset(0) + task::Type] = char(0); // send an SMS
    block[WatchdogCheckIntervalOffset] = char(interval);
    block[WatchdogFailuresOffset] = char(failures);
    block[WatchdogPauseMinutesOffset] = char(pauseHours * 60);
    block.replace(WatchdogAlarmPhoneOffset, phone.size(), phone);
    block.replace(WatchdogAlarmTextOffset, text.size(), text);
    return true;
}

} // namespace cvx
