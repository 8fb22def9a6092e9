// Reading propagation target texts: the kind each text makes, what an ssh target
// names, and the texts that could smuggle an option or shell syntax to ssh, rsync or
// the far side's shell.
#include "zarvik/propagation/target.h"

#include <gtest/gtest.h>

#include <QDir>

#include "zarvik/propagation/sshaddress.h"

namespace {

struct Accepted {
    const char* text;
    const char* place;
    const char* user;
    const char* host;
    int port;
    const char* path;
};

TEST(PropagationTargetTest, ReadsLocalAndRemoteTexts) {
    const Accepted cases[] = {
        {"ssh://web1/srv/lumora/catalog", "ssh:@web1:0/srv/lumora/catalog", "", "web1", 0,
         "/srv/lumora/catalog"},
        {"ssh://deploy@web1.example.org:2222/srv/idx", "ssh:deploy@web1.example.org:2222/srv/idx", "deploy",
         "web1.example.org", 2222, "/srv/idx"},
        {"SSH://10.0.0.7/srv/idx/", "ssh:@10.0.0.7:0/srv/idx", "", "10.0.0.7", 0, "/srv/idx"},
        {"ssh://www-data@[fe80::1]:22/var/lib/x_y-z.1", "ssh:www-data@fe80::1:22/var/lib/x_y-z.1", "www-data",
         "fe80::1", 22, "/var/lib/x_y-z.1"},
        {"ssh://h/srv/a+b,c=d@e%f:g", "ssh:@h:0/srv/a+b,c=d@e%f:g", "", "h", 0, "/srv/a+b,c=d@e%f:g"},
        {"ssh://h:65535/srv", "ssh:@h:65535/srv", "", "h", 65535, "/srv"},
        {"/srv/local/catalog", "/srv/local/catalog", nullptr, nullptr, 0, nullptr},
        {"store:s3idx:lumora-indexes/catalog", "s3idx:lumora-indexes/catalog", nullptr, nullptr, 0, nullptr},
        {"STORE:/srv/store/catalog", "/srv/store/catalog", nullptr, nullptr, 0, nullptr},
    };
    for (const Accepted& c : cases) {
        const QString text = QString::fromUtf8(c.text);
        QString why;
        const auto target = zarvik::propagation::ReadTarget(text, &why);
        ASSERT_TRUE(target) << c.text << " -> " << why.toStdString();
        EXPECT_EQ(target->Place(), QString::fromUtf8(c.place)) << c.text;
        EXPECT_EQ(target->Text(), text) << c.text;
        if (!c.host) continue;
        zarvik::propagation::SshAddress a;
        EXPECT_EQ(zarvik::propagation::ReadSshAddress(text, &a), QString()) << c.text;
        EXPECT_EQ(a.user, QString::fromUtf8(c.user)) << c.text;
        EXPECT_EQ(a.host, QString::fromUtf8(c.host)) << c.text;
        EXPECT_EQ(a.port, c.port) << c.text;
        EXPECT_EQ(a.path, QString::fromUtf8(c.path)) << c.text;
    }
    // A local folder is made absolute against the working folder.
    QString why;
    const auto local = zarvik::propagation::ReadTarget(QStringLiteral("replica"), &why);
    ASSERT_TRUE(local) << why.toStdString();
    EXPECT_EQ(local->Place(), QDir::current().absoluteFilePath(QStringLiteral("replica")));
}

struct Refused {
    const char* text;
    const char* reason;  // a part of the refusal
};

TEST(PropagationTargetTest, RefusesWhatSshOrAShellWouldReadAsSomethingElse) {
    const Refused cases[] = {
        {"ssh://-oProxyCommand=touch%20x/srv/idx", "begins with \"-\""},
        {"ssh://-p22/srv/idx", "begins with \"-\""},
        {"ssh://-oProxyCommand@web1/srv/idx", "user name begins with \"-\""},
        {"ssh://web1/srv/idx;rm -rf ~", "\";\""},
        {"ssh://web1/srv/`reboot`", "\"`\""},
        {"ssh://web1/srv/$(reboot)", "\"$\""},
        {"ssh://web1/srv/idx\nrm -rf /", "U+000A"},
        {"ssh://web1/srv/a b", "U+0020"},
        {"ssh://web1/srv/it's", "\"'\""},
        {"ssh://web1/srv/a|b", "\"|\""},
        {"ssh://web1/srv/a&b", "\"&\""},
        {"ssh://web1/srv/a>b", "\">\""},
        {"ssh://web1/srv/*", "\"*\""},
        {"ssh://web1/srv/a\\b", "\"\\\""},
        {"ssh://web1;reboot/srv/idx", "host holds \";\""},
        {"ssh://web1\n/srv/idx", "host holds U+000A"},
        {"ssh://us`id`er@web1/srv/idx", "user name holds \"`\""},
        {"ssh://web1:22;x/srv", "not a number"},
        {"ssh://web1:0/srv", "not a number"},
        {"ssh://web1:70000/srv", "not a number"},
        {"ssh://web1:/srv", "port after \":\" is empty"},
        {"ssh://@web1/srv", "user name before \"@\" is empty"},
        {"ssh:///srv/idx", "names no host"},
        {"ssh://web1", "no absolute folder"},
        {"ssh://web1/", "root"},
        {"ssh://[fe80::1/srv", "not closed"},
        {"ssh://[fe80::1;x]/srv", "IPv6 address holds \";\""},
        {"   ", "names no folder"},
        {"rsync://web1/srv/idx", "names a kind of target this program does not know"},
        {"store:", "REMOTE:PATH or an absolute folder"},
        {"store:-oops:x", "REMOTE:PATH or an absolute folder"},
        {"store:relative/folder", "REMOTE:PATH or an absolute folder"},
        {"store:r:a\nb", "REMOTE:PATH or an absolute folder"},
        {"store:https://cdn.example.org/catalog", "a store target is store:REMOTE:PATH"},
        {"STORE:http://x/y", "a URL is where readers fetch a store from"},
    };
    for (const Refused& c : cases) {
        QString why;
        EXPECT_FALSE(zarvik::propagation::ReadTarget(QString::fromUtf8(c.text), &why)) << c.text;
        EXPECT_TRUE(why.contains(QString::fromUtf8(c.reason))) << c.text << " -> " << why.toStdString();
        // The text is named with its line breaks written out, so that the message
        // stays one line.
        QString shown = QString::fromUtf8(c.text);
        shown.replace(QLatin1Char('\n'), QLatin1String("\\n"));
        EXPECT_TRUE(why.startsWith(QStringLiteral("the target \"%1\" was refused").arg(shown)))
            << why.toStdString();
        EXPECT_FALSE(why.contains(QLatin1Char('\n'))) << why.toStdString();
    }
}

TEST(PropagationTargetTest, PrintableTextWritesControlCharactersOut) {
    const struct {
        const char* text;
        const char* shown;
    } cases[] = {
        {"ssh://h/a\nb", "ssh://h/a\\nb"},
        {"a\r\tb", "a\\r\\tb"},
        {"a\x01\x1f\x7f", "a\\x01\\x1f\\x7f"},
        {"/srv/caf\xc3\xa9", "/srv/caf\xc3\xa9"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(zarvik::propagation::PrintableTargetText(QString::fromUtf8(c.text)),
                  QString::fromUtf8(c.shown))
            << c.shown;
}

TEST(PropagationTargetTest, ShellQuoteKeepsEveryCharacterLiteral) {
    const struct {
        const char* value;
        const char* quoted;
    } cases[] = {
        {"/srv/idx", "'/srv/idx'"},
        {"it's", "'it'\\''s'"},
        {"$(x) `y` ;", "'$(x) `y` ;'"},
        {"", "''"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(zarvik::propagation::ShellQuote(QString::fromUtf8(c.value)), QString::fromUtf8(c.quoted))
            << c.value;
}

}  // namespace
