// The pure parts of the platform adapters the events use: argument splitting, mail
// addresses and the message text, and the plain subject.

#include "events/event_engine.h"
#include "platform/process_launcher.h"
#include "platform/smtp_client.h"

#include <gtest/gtest.h>

using namespace cvx;

namespace {

struct SplitCase {
    const char* name;
    QString text;
    QStringList args;
};

class SplitArguments : public ::testing::TestWithParam<SplitCase> {};

TEST_P(SplitArguments, AsWritten)
{
    EXPECT_EQ(SplitCommandArguments(GetParam().text), GetParam().args);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SplitArguments,
    ::testing::Values(SplitCase{"empty", "   ", {}}, SplitCase{"blanks", " a  b\tc ", {"a", "b", "c"}},
                      SplitCase{"quoted_blanks", "\"a  b\" c", {"a  b", "c"}},
                      SplitCase{"empty_quoted", "\"\" x", {"", "x"}},
                      SplitCase{"doubled_quote", "\"say \"\"hi\"\"\"", {"say \"hi\""}},
                      SplitCase{"shell_characters_stay", "$HOME;rm `id` * 'q'", {"$HOME;rm", "`id`", "*", "'q'"}},
                      SplitCase{"backslashes_stay", "C:\\dir\\x \\\"", {"C:\\dir\\x", "\\"}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(MailText, AddressesAndRecipientLists)
{
    EXPECT_EQ(MailAddressOf(" Ügyeletes <night@corvalux.test> "), "night@corvalux.test");
    EXPECT_EQ(MailAddressOf("ops@corvalux.test"), "ops@corvalux.test");
    EXPECT_EQ(ParseRecipientList(" a@x.test, ,b@x.test;c@x.test,"), (QStringList{"a@x.test", "b@x.test", "c@x.test"}));
}

TEST(MailText, QuotedPrintableBodyKeepsLongLinesAndLeadingDots)
{
    SmtpMessage m;
    m.sender = "a@x.test";
    m.recipients = {"b@x.test"};
    m.subject = "s";
    m.date = QDateTime(QDate(2024, 3, 1), QTime(6, 0), Qt::OffsetFromUTC, 3600);
    m.body = QString(200, u'x') + "\r\n.\r\nárvíz = 1 ";
    const QByteArray text = ComposeMailText(m);
    EXPECT_TRUE(text.startsWith("Date: Fri, 1 Mar 2024 06:00:00 +0100\r\n"));
    const QByteArray body = text.mid(text.indexOf("\r\n\r\n") + 4);
    for (const QByteArray& line : body.split('\n'))
        EXPECT_LE(line.size(), 77);
    EXPECT_TRUE(body.contains("\r\n=2E\r\n")) << "a lone dot would end the message";
    EXPECT_TRUE(body.contains("=C3=A1rv=C3=ADz =3D 1=20\r\n"));
}

TEST(MailText, LongAndAccentedSubjectsAreFoldedOrEncoded)
{
    SmtpMessage m;
    m.sender = "a@x.test";
    m.recipients = {"b@x.test"};
    m.subject = QString("word ").repeated(40).trimmed();
    QByteArray text = ComposeMailText(m);
    const QByteArray subject = text.mid(text.indexOf("Subject: "));
    const QByteArray header = subject.left(subject.indexOf("\r\nMessage-ID"));
    for (const QByteArray& line : header.split('\n'))
        EXPECT_LE(line.size(), 80);
    EXPECT_EQ(QByteArray(header).replace("\r\n", ""), "Subject: " + m.subject.toLatin1());
    m.subject = "°C";
    text = ComposeMailText(m);
    EXPECT_TRUE(text.contains("Subject: =?UTF-8?B?wrBD?=\r\n"));
}

TEST(MailText, SubjectOfAMultiLineBodyIsOneLineWithoutAccents)
{
    EXPECT_EQ(PlainSubjectText("Árvíztűrő\r\ntükörfúrógép\ttab\nlf ÖÜÓŰŐÚÉÁÍ"),
              "Arvizturo tukorfurogep_tab_lf OUOUOUEAI");
}

} // namespace

#include "platform/sound_player.h"

#include <QDir>

namespace {

// Where the machine has no sound output (servers, CI), the player says so instead of
// pretending to play; the event then logs the reason.
TEST(SoundPlayer, WithoutASoundOutputPlayingFailsWithTheReason)
{
    if (!QDir(QStringLiteral("/dev/snd")).entryList({QStringLiteral("pcmC*p")}, QDir::System).isEmpty())
        GTEST_SKIP() << "this machine has a sound card";
    const QByteArray runtime = qgetenv("XDG_RUNTIME_DIR"), pulse = qgetenv("PULSE_SERVER");
    qunsetenv("XDG_RUNTIME_DIR");
    qunsetenv("PULSE_SERVER");
    auto player = createSystemSoundPlayer();
    QString error;
    EXPECT_FALSE(player->play(QStringLiteral("/usr/share/sounds/alarm.wav"), &error));
    EXPECT_EQ(error, "no sound output on this computer");
    EXPECT_FALSE(player->isPlaying());
    if (!runtime.isNull())
        qputenv("XDG_RUNTIME_DIR", runtime);
    if (!pulse.isNull())
        qputenv("PULSE_SERVER", pulse);
}

} // namespace
