#pragma once
// The command catalogue: five-letter mnemonics ("C" request, "A" answer, "E" event)
// followed by raw little-endian parameters, and builders for the requests that carry
// parameters. An answer handed to a caller still starts with its mnemonic, so its
// parameters begin at AnswerParamOffset.

#include <QByteArray>
#include <QDateTime>
#include <QString>

namespace cvx {

constexpr qsizetype MnemonicLength = 5;
constexpr qsizetype AnswerParamOffset = 5;

namespace cmd {
// Requests and their answers.
inline constexpr char CSYSI[] = "CSYSI", ASYSI[] = "ASYSI";   // system information
inline constexpr char CSYRE[] = "CSYRE", ASYRE[] = "ASYRE";   // read parameter memory
inline constexpr char CSYWE[] = "CSYWE", ASYWE[] = "ASYWE";   // write parameter memory
inline constexpr char CSYEE[] = "CSYEE";                      // store parameters permanently
inline constexpr char CSYRS[] = "CSYRS";                      // restart
inline constexpr char CRTSC[] = "CRTSC";                      // set the clock
inline constexpr char CRTGC[] = "CRTGC", ARTGC[] = "ARTGC";   // read the clock
inline constexpr char Poll[] = "c", AITGD[] = "AITGD";        // poll for measurements
inline constexpr char CRLGS[] = "CRLGS", ARLGS[] = "ARLGS";   // relay state
inline constexpr char CRLSO[] = "CRLSO";                      // relay on
inline constexpr char CRLSC[] = "CRLSC";                      // relay off
inline constexpr char CRLGD[] = "CRLGD", ARLGD[] = "ARLGD";   // relay power-on state
inline constexpr char CRLSD[] = "CRLSD";                      // set relay power-on state
inline constexpr char CWSRM[] = "CWSRM", AWSRM[] = "AWSRM";   // weather-station memory
inline constexpr char CELST[] = "CELST", AELST[] = "AELST";   // logger store state
inline constexpr char CELDL[] = "CELDL", AELDL[] = "AELDL";   // logger records
inline constexpr char CFLGS[] = "CFLGS", AFLGS[] = "AFLGS";   // store state, older family
inline constexpr char CFLGR[] = "CFLGR", AFLGR[] = "AFLGR";   // records, older family
inline constexpr char CELFE[] = "CELFE", AELFE[] = "AELFE", AFLER[] = "AFLER"; // erase the store
inline constexpr char CGSSM[] = "CGSSM";                      // send an SMS
inline constexpr char CGSAE[] = "CGSAE";                      // watchdog on
inline constexpr char CGSAD[] = "CGSAD";                      // watchdog off
inline constexpr char CGSWD[] = "CGSWD", AGSWD[] = "AGSWD";   // watchdog heartbeat (device asks)
// Answers and events that answer no request.
inline constexpr char ASYER[] = "ASYER";   // the device rejected a packet
inline constexpr char AERCM[] = "AERCM";   // no records in the requested range
inline constexpr char EELDL[] = "EELDL";   // a logger stored a record
inline constexpr char CSYAC[] = "CSYAC";   // stands for a bare acknowledgement
} // namespace cmd

// Whether a payload starts with the mnemonic.
bool HasMnemonic(const QByteArray& payload, const char* mnemonic);
// The parameters of an answer (everything after its mnemonic).
QByteArray AnswerParams(const QByteArray& answer);

// Request payloads. A value that does not fit its parameter throws DevProtoError.
QByteArray CmdReadParams(int address, int count);                 // CSYRE addr, n (1..255)
QByteArray CmdWriteParams(int address, const QByteArray& data);   // CSYWE addr, n, data (1..255 bytes)
QByteArray CmdSetClock(const QDateTime& now);                     // CRTSC time
// CRLGS, CRLSO, CRLSC, CRLGD with the relay index counted from 0.
QByteArray CmdRelay(const char* mnemonic, int relayIndex);
QByteArray CmdSetRelayDefault(int relayIndex, bool on);           // CRLSD relay, 0/1
QByteArray CmdReadWeatherMemory(int address, int count);          // CWSRM addr, 16-bit count
QByteArray CmdLoggerDownload(qint64 recId, int count);            // CELDL RecID, n (1..5)
QByteArray CmdOldLoggerState(int recordType);                     // CFLGS type
QByteArray CmdOldLoggerDownload(int recordType, qint64 recId, int count); // CFLGR type, RecID, n
// CGSSM: phone number in 20 and message in 120 single-byte (windows-1250) characters,
// cut or padded with blanks.
QByteArray CmdSendSms(const QString& phone, const QString& message);

} // namespace cvx
