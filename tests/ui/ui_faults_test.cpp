// The whole window against simulated access points (apsim) whose fault knobs
// are on: lost, doubled, late, misnumbered, foreign, corrupted, oversized and
// truncated replies, a refused commit, a logout notice in the middle of the
// image read and a storm of session checks during an apply. Each row runs a
// few cycles of browse, login, one edit and apply on a window of its own,
// against the simulator as it started, and holds the window to four things:
// it does not crash; every message it shows is the one
// designed for the step that failed, and a step it reports as done was done;
// every image apsim commits is exactly the image read at login plus the edit
// (never a mix of two); and once the knob is off, the next browse lists the AP
// again and a login reads it whole.
//
// The image apsim holds is followed through the row: taken from its dump at
// the start and replaced by the expected image at every commit the log shows,
// so a login that "succeeds" is compared with what the device really holds.

#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QHash>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QLineEdit>
#include <QRadioButton>
#include <QSet>
#include <QTimer>
#include <QtTest/QtTest>

#include <algorithm>
#include <array>
#include <cstring>
#include <memory>
#include <optional>

#include "app/gui/image_button.h"
#include "app/gui/message_form.h"
#include "app/gui/uinterface.h"
#include "image/transfer.h"
#include "protocol/engine.h"
#include "protocol/frame.h"
#include "protocol/operations.h"
#include "tests/ui/sim_window_test.h"
#include "tests/ui/ui_support.h"
#include "transport/adapter.h"
#include "ui/form1.h"
#include "ui/widgets.h"

using namespace aputil;
using namespace aputil::test;

namespace {

constexpr const char* kPassword = "fault-pw";
constexpr int kApCount = 3;

// The messages designed for each step that can fail.
const QStringList kLoginFailures{QStringLiteral("invalid_password text"), QStringLiteral("ap_info_not_availible text")};
const QString kReadFailure = QStringLiteral("ap_info_not_availible text");
const QString kWriteFailure = QStringLiteral("write_fail text");

// Every knob back to its resting value.
const QStringList kKnobsOff{"drop-requests 0",   "drop-replies 0",     "dup-replies 0",    "delay-ms 0",
                            "delay-prob 0",      "corrupt-checksum 0", "wrong-sequence 0", "foreign-mac 0",
                            "oversized-block 0", "truncated-block 0",  "lying-count 0",    "refuse-write-chunk off",
                            "refuse-commit off", "fault-on all",       "forge-chunk off"};

enum class Page { Setup, Security };
enum class Expect { Either, Succeeds, Fails };
enum class Action { None, LogoutDuringRead, CheckStormDuringApply };

}  // namespace

Q_DECLARE_METATYPE(Page)
Q_DECLARE_METATYPE(Expect)
Q_DECLARE_METATYPE(Action)

class FaultsTest : public SimWindowTest {
    Q_OBJECT

private slots:
    void windowHoldsUpUnderEachKnob_data();
    void windowHoldsUpUnderEachKnob();

private:
    QByteArray Catalogue() const override {
        return TestCatalogue({"WRITE_FAIL", "INVALID_WEP", "WARNING_MSG", "PASSWORD_MISMATCH", "IP_ERROR", "MASK_ERROR",
                              "GW_ERROR", "DISABLED", "WEP_64", "WEP_128", "MAC_ACC_NO", "MAC_ACC_ADDR", "MAC_ERROR",
                              "MAC_LIMIT"});
    }
    QStringList SimOptions() const override;
    QByteArray SimState() const override;
    void SimStarted() override;
    void FirstBrowseDone() override;

    // One cycle: the AP chosen (browsing again while the faults hide it),
    // login, and when it succeeded an edit and its apply.
    void Cycle(int ap, Page page, Expect login, Expect apply, Action action, const QString& tag);
    // Runs a browse through the list's last item and waits for its end.
    bool Browse();
    int IndexOf(int ap) const;
    // Selects the AP, browsing again up to a few times while it is missing.
    bool Select(int ap);
    // Presses apply on the page and waits for the browse that the return to
    // the login page starts.
    bool ApplyAndWaitForBrowse(Page page);
    // The edit of one cycle on the page now open; returns the image that the
    // apply must commit.
    ConfigImage EditSetup(const QString& tag);
    ConfigImage EditSecurity(int cycle);
    void SetKnobs(const QStringList& knobs);

    // Complete log lines so far, and the events from a line on.
    int LogLines() const;
    QList<QJsonObject> Events(int fromLine) const;
    std::optional<ConfigImage> DumpOf(int ap) const;

    QString ownMac_;                            // the window's adapter, as apsim logs a sender
    std::array<ConfigImage, kApCount> live_{};  // what each AP holds
    int cycleNumber_ = 0;
};

QStringList FaultsTest::SimOptions() const {
    return {QStringLiteral("--count"), QString::number(kApCount),    QStringLiteral("--seed"),
            QStringLiteral("47"),      QStringLiteral("--password"), QString::fromLatin1(kPassword)};
}

QByteArray FaultsTest::SimState() const {
    return "0 name North\n1 name East\n2 name South\n"
           "* ssid StartNet\n* channel 6\n* channel-mask 0x3fff\n* ip 10.9.0.2\n* mask 255.255.255.0\n"
           "* gateway 10.9.0.1\n* wep off\n* default-key 0\n* mac-access off\n";
}

void FaultsTest::SimStarted() {
    QFile address(QStringLiteral("/sys/class/net/%1/address").arg(Env("APUTIL_IF")));
    QVERIFY(address.open(QIODevice::ReadOnly));
    ownMac_ = QString::fromLatin1(address.readAll()).trimmed().toLower();
    QCOMPARE(sim_->aps.size(), kApCount);
}

void FaultsTest::FirstBrowseDone() {
    QCOMPARE(form_->accessPointCount, kApCount);
    // The images the APs start with.
    QCOMPARE(sim_->Command(QStringLiteral("dump")), QStringLiteral("ok dump"));
    for (int ap = 0; ap < kApCount; ++ap) {
        const std::optional<ConfigImage> image = DumpOf(ap);
        QVERIFY(image.has_value());
        live_[static_cast<size_t>(ap)] = *image;
    }
}

int FaultsTest::LogLines() const { return sim_->LogLines(); }

QList<QJsonObject> FaultsTest::Events(int fromLine) const { return sim_->Events(fromLine); }

std::optional<ConfigImage> FaultsTest::DumpOf(int ap) const { return ReadDump(dumps_, sim_->aps[ap].mac); }

void FaultsTest::SetKnobs(const QStringList& knobs) {
    for (const QString& knob : knobs) {
        QVERIFY2(sim_->Command(QStringLiteral("fault ") + knob) == QLatin1String("ok fault"), qPrintable(knob));
    }
}

bool FaultsTest::Browse() {
    if (form_->browsing || form_->LIAPP_Timer->isActive()) {
        QSignalSpy finished(form_.get(), &TForm1::BrowseFinished);
        if (!finished.wait(20000)) return false;
    }
    QSignalSpy finished(form_.get(), &TForm1::BrowseFinished);
    const int shown = messages_->texts.size();
    const int again = form_->accessPointCount;
    form_->ComboBox1->setCurrentIndex(again);
    emit form_->ComboBox1->activated(again);
    if (!finished.wait(20000)) return false;
    // A browse shows nothing, whatever answers it gets.
    return messages_->texts.size() == shown && !form_->Panel1->isHidden();
}

int FaultsTest::IndexOf(int ap) const { return IndexOfAp(*form_, sim_->aps[ap].mac); }

bool FaultsTest::Select(int ap) {
    for (int tries = 0; IndexOf(ap) < 0; ++tries) {
        if (tries == 6 || !Browse()) return false;
    }
    const int index = IndexOf(ap);
    form_->ComboBox1->setCurrentIndex(index);
    emit form_->ComboBox1->activated(index);
    return !form_->Panel1->isHidden();
}

bool FaultsTest::ApplyAndWaitForBrowse(Page page) {
    QSignalSpy started(form_.get(), &TForm1::BrowseStarted);
    QSignalSpy finished(form_.get(), &TForm1::BrowseFinished);
    (page == Page::Setup ? form_->BitBtn8 : form_->BitBtn19)->click();
    if (started.isEmpty() && !started.wait(15000)) return false;
    return !finished.isEmpty() || finished.wait(20000);
}

ConfigImage FaultsTest::EditSetup(const QString& tag) {
    form_->BitBtn7->click();
    ConfigImage expected = form_->imageSnapshot;
    const QByteArray ssid = tag.toLatin1();
    form_->Edit2->clear();
    QTest::keyClicks(form_->Edit2, tag);
    // The SSID with its terminator; the addresses as shown go into both of
    // their places, and the network flag is set.
    std::memcpy(expected.data() + kSsidAt, ssid.constData(), static_cast<size_t>(ssid.size()));
    expected[kSsidAt + static_cast<size_t>(ssid.size())] = 0;
    std::memcpy(expected.data() + kAddressCopyAt, expected.data() + kAddressesAt, 12);
    expected[kNetworkFlagAt] = 1;
    StampCrc(expected);
    return expected;
}

ConfigImage FaultsTest::EditSecurity(int cycle) {
    form_->BitBtn2->click();
    form_->BitBtn9->click();
    ConfigImage expected = form_->imageSnapshot;
    const int slot = cycle % 4;
    const std::array<uint8_t, 5> key{0xa0, static_cast<uint8_t>(0x10 + cycle), 0xc3, static_cast<uint8_t>(0x50 + slot),
                                     0x7e};
    const QString hex = QString::fromLatin1(QByteArray(reinterpret_cast<const char*>(key.data()), 5).toHex());
    form_->RadioButton1->click();   // 64-bit
    form_->RadioButton11->click();  // keys in hex
    QRadioButton* rows[4] = {form_->RadioButton5, form_->RadioButton6, form_->RadioButton7, form_->RadioButton8};
    rows[slot]->click();
    for (int s = 0; s < 2; ++s) {
        QLineEdit* segment = form_->MaskEdit[static_cast<size_t>(6 * slot + s)];
        segment->setFocus();
        segment->clear();
        QTest::keyClicks(segment, hex.mid(5 * s, 5));
    }
    expected[kWepModeAt] = 1;
    expected[kWepEnabledAt] = 1;
    expected[kDefaultKeyAt] = static_cast<uint8_t>(slot);
    const size_t at = KeySlotAt(slot);
    for (size_t i = 0; i < 3; ++i) expected[at + i] = 0;
    for (size_t i = 0; i < key.size(); ++i) expected[at + 3 + i] = key[i];
    for (size_t i = 8; i < 11; ++i) expected[at + i] = 0;
    StampCrc(expected);
    return expected;
}

void FaultsTest::Cycle(int ap, Page page, Expect login, Expect apply, Action action, const QString& tag) {
    const QString mac = sim_->aps[ap].mac;
    ConfigImage& live = live_[static_cast<size_t>(ap)];
    QVERIFY2(Select(ap), "the AP was not listed by any of several browses");

    // ---- login and image read ----
    const int loginMark = LogLines();
    const int shownBeforeLogin = messages_->texts.size();
    const ConfigImage snapshotBefore = form_->imageSnapshot;
    const ConfigImage heldBefore = configImage;
    int logoutSession = -1;
    QTimer logoutTimer;
    if (action == Action::LogoutDuringRead) {
        // Once the read is under way (the information block and the firmware
        // block done), the AP ends the session and says so.
        logoutTimer.setInterval(20);
        connect(&logoutTimer, &QTimer::timeout, this, [&] {
            if (logoutSession >= 0 || !form_->LoggingIn() || !TUInterface::Waiting()) return;
            int blocks = 0;
            for (const QJsonObject& e : Events(loginMark)) {
                if (e.value(QStringLiteral("type")).toInt(-1) == MSG_BLOCK) ++blocks;
            }
            if (blocks < 3) return;
            logoutSession = currentSession;
            const QString answer = sim_->Command(QStringLiteral("logout %1 %2").arg(ap).arg(logoutSession));
            if (!answer.startsWith(QLatin1String("ok logout"))) logoutSession = -2;
        });
        logoutTimer.start();
    }
    form_->Edit1->setText(QString::fromLatin1(kPassword));
    form_->BitBtn5->click();
    logoutTimer.stop();
    const bool loggedIn = !form_->Panel2->isHidden();
    const QStringList loginMessages = messages_->texts.mid(shownBeforeLogin);

    for (const QJsonObject& e : Events(loginMark)) {
        QVERIFY2(e.value(QStringLiteral("event")).toString() != QLatin1String("commit"), "a login committed an image");
    }
    if (loggedIn) {
        QVERIFY2(loginMessages.isEmpty(), qPrintable(loginMessages.join(QStringLiteral(" | "))));
        // The login said it read the device: what it read is what the device holds.
        QVERIFY2(form_->imageSnapshot == live,
                 qPrintable(QStringLiteral("image read at login: ") + FirstDifference(form_->imageSnapshot, live)));
        QVERIFY(configImage == live);
        for (QWidget* b : {form_->BitBtn1, form_->BitBtn2, form_->BitBtn3}) QVERIFY(b->isEnabled());
    } else {
        QCOMPARE(loginMessages.size(), 1);
        QVERIFY2(kLoginFailures.contains(loginMessages.first()), qPrintable(loginMessages.first()));
        // The page and everything read before stay as they were.
        QVERIFY(!form_->Panel1->isHidden());
        for (QWidget* b : {form_->BitBtn1, form_->BitBtn2, form_->BitBtn3}) QVERIFY(!b->isEnabled());
        QVERIFY(form_->imageSnapshot == snapshotBefore);
        QVERIFY(configImage == heldBefore);
    }
    if (login == Expect::Succeeds) QVERIFY2(loggedIn, qPrintable(loginMessages.join(QStringLiteral(" | "))));
    if (login == Expect::Fails) {
        QVERIFY(!loggedIn);
        QCOMPARE(loginMessages.first(), kReadFailure);
    }
    if (action == Action::LogoutDuringRead) {
        QVERIFY2(logoutSession >= 1, "the logout notice was not sent during the read");
        // The window let the session go, and the AP refused the reads that
        // came after its notice (status 6: session not held).
        QVERIFY(!sessionTable[logoutSession].inUse);
        bool refusedAfterNotice = false;
        bool noticeSent = false;
        for (const QJsonObject& e : Events(loginMark)) {
            if (e.value(QStringLiteral("event")).toString() == QLatin1String("sent")) noticeSent = true;
            if (noticeSent && e.value(QStringLiteral("type")).toInt(-1) == MSG_BLOCK &&
                e.value(QStringLiteral("status")).toInt(-1) == 6) {
                refusedAfterNotice = true;
            }
        }
        QVERIFY(noticeSent);
        QVERIFY(refusedAfterNotice);
    }
    if (!loggedIn) {
        qInfo("%s: login failed with \"%s\"", qPrintable(tag), qPrintable(loginMessages.first()));
        return;
    }

    // ---- one edit and its apply ----
    const ConfigImage expected = page == Page::Setup ? EditSetup(tag) : EditSecurity(cycleNumber_);
    QVERIFY2(expected != live, "the edit changes nothing");
    const int applyMark = LogLines();
    const int shownBeforeApply = messages_->texts.size();

    QList<int> heldChecks;
    QList<int> foreignChecks;
    int otherSession = -1;
    QTimer storm;
    QElapsedTimer clock;
    if (action == Action::CheckStormDuringApply) {
        // A session this window does not hold with this AP.
        for (int s = 1; s <= kMaxSessions && otherSession < 0; ++s) {
            const SessionSlot& slot = sessionTable[s];
            const bool mine =
                slot.inUse && slot.peer.length == 6 &&
                QString::fromLatin1(QByteArray(reinterpret_cast<const char*>(slot.peer.address), 6).toHex(':')) == mac;
            if (!mine) otherSession = s;
        }
        QVERIFY(otherSession >= 1);
        // Checks go out in bursts through the first part of the writes, while
        // the window is still inside their waits to take them.
        storm.setInterval(60);
        connect(&storm, &QTimer::timeout, this, [&] {
            if (clock.elapsed() > 1200) {
                storm.stop();
                return;
            }
            if (!TUInterface::Waiting() || !(form_->applyingSetup || form_->ApplyingSecurity())) return;
            auto send = [&](const QString& command, QList<int>& into) {
                const QString answer = sim_->Command(command);
                if (answer.startsWith(QLatin1String("ok check "))) {
                    into.push_back(answer.section(QLatin1Char(' '), 2).toInt());
                }
            };
            for (int i = 0; i < 3; ++i) send(QStringLiteral("check %1 %2").arg(ap).arg(currentSession), heldChecks);
            send(QStringLiteral("check %1 %2 %3").arg(ap).arg(otherSession).arg(ownMac_), foreignChecks);
        });
        clock.start();
        storm.start();
    }
    QVERIFY2(ApplyAndWaitForBrowse(page), "no browse after the apply");
    storm.stop();
    const QStringList applyMessages = messages_->texts.mid(shownBeforeApply);
    const QList<QJsonObject> events = Events(applyMark);

    // Every commit is of this AP and of exactly the image written.
    int commits = 0;
    QSet<int> finishes;
    for (const QJsonObject& e : events) {
        if (e.value(QStringLiteral("event")).toString() == QLatin1String("commit")) {
            QCOMPARE(e.value(QStringLiteral("ap")).toString(), mac);
            // A commit refused for its checksum means the AP held chunks of two images.
            QVERIFY2(e.value(QStringLiteral("ok")).toBool(), "the AP was asked to commit a mix of two images");
            QCOMPARE(static_cast<uint32_t>(e.value(QStringLiteral("crc")).toDouble()), DeviceCrc(expected));
            ++commits;
        }
        if (e.value(QStringLiteral("type")).toInt(-1) == MSG_BLOCK &&
            e.value(QStringLiteral("op")).toInt(-1) == BLOCK_OP_FINISH &&
            e.value(QStringLiteral("ap")).toString() == mac) {
            finishes.insert(e.value(QStringLiteral("seq")).toInt());
        }
    }
    if (commits > 0) {
        const std::optional<ConfigImage> committed = DumpOf(ap);
        QVERIFY(committed.has_value());
        QVERIFY2(*committed == expected,
                 qPrintable(QStringLiteral("committed: ") + FirstDifference(*committed, expected)));
        live = expected;
    }
    // The finish goes out after every apply, failed or not.
    QCOMPARE(static_cast<int>(finishes.size()), kFinishRepeats);
    if (applyMessages.isEmpty()) {
        QVERIFY2(commits > 0, "the apply reported nothing, yet nothing was committed");
    } else {
        QCOMPARE(applyMessages.size(), 1);
        QCOMPARE(applyMessages.first(), kWriteFailure);
    }
    if (apply == Expect::Succeeds) QVERIFY2(applyMessages.isEmpty() && commits > 0, "the apply failed");
    if (apply == Expect::Fails) {
        QCOMPARE(applyMessages.size(), 1);
        QCOMPARE(commits, 0);
    }
    QVERIFY(!form_->Panel1->isHidden());
    QVERIFY(form_->Panel3->isHidden());
    QVERIFY(form_->Panel8->isHidden());
    const QString outcome = applyMessages.isEmpty() ? QStringLiteral("done")
                                                    : QStringLiteral("failed with \"%1\"").arg(applyMessages.first());
    qInfo("%s: logged in; apply %s, %d commit(s)", qPrintable(tag), qPrintable(outcome), commits);

    if (action == Action::CheckStormDuringApply) {
        QVERIFY2(heldChecks.size() >= 6, qPrintable(QString::number(heldChecks.size())));
        QVERIFY(!foreignChecks.isEmpty());
        // Each check answered once, from this window, with its own sequence:
        // "held" for the session of the apply, "no session" for the other.
        QHash<int, QList<QJsonObject>> replies;
        for (const QJsonObject& e : events) {
            if (e.value(QStringLiteral("event")).toString() == QLatin1String("check-reply")) {
                replies[e.value(QStringLiteral("seq")).toInt()].push_back(e);
            }
        }
        const struct {
            const QList<int>& sequences;
            int session;
            bool held;
        } kinds[] = {{heldChecks, currentSession, true}, {foreignChecks, otherSession, false}};
        for (const auto& kind : kinds) {
            for (const int seq : kind.sequences) {
                const QList<QJsonObject> got = replies.value(seq);
                QVERIFY2(got.size() == 1, qPrintable(QStringLiteral("check %1: %2 replies").arg(seq).arg(got.size())));
                QCOMPARE(got.first().value(QStringLiteral("session")).toInt(), kind.session);
                QCOMPARE(got.first().value(QStringLiteral("src")).toString(), ownMac_);
                QCOMPARE(got.first().value(QStringLiteral("status")).toInt() == STATUS_OK, kind.held);
            }
        }
    }
}

void FaultsTest::windowHoldsUpUnderEachKnob_data() {
    QTest::addColumn<QStringList>("knobs");
    QTest::addColumn<int>("ap");
    QTest::addColumn<Page>("page");
    QTest::addColumn<int>("cycles");
    QTest::addColumn<Expect>("login");
    QTest::addColumn<Expect>("apply");
    QTest::addColumn<Action>("action");

    const Page S = Page::Setup;
    const Page W = Page::Security;
    const Expect any = Expect::Either;
    const Action none = Action::None;
    QTest::newRow("10% loss each way, setup page")
        << QStringList{"drop-requests 0.1", "drop-replies 0.1"} << 0 << S << 2 << any << any << none;
    QTest::newRow("10% loss each way, security page")
        << QStringList{"drop-requests 0.1", "drop-replies 0.1"} << 1 << W << 2 << any << any << none;
    QTest::newRow("duplicate replies") << QStringList{"dup-replies 0.5"} << 2 << S << 2 << any << any << none;
    // Later than the reply wait: the request goes out again meanwhile.
    QTest::newRow("late replies") << QStringList{"delay-ms 1200", "delay-prob 0.15", "fault-on login,block"} << 0 << S
                                  << 2 << any << any << none;
    QTest::newRow("wrong sequence") << QStringList{"wrong-sequence 0.1"} << 1 << W << 2 << any << any << none;
    QTest::newRow("replies from a foreign MAC") << QStringList{"foreign-mac 0.15"} << 2 << S << 2 << any << any << none;
    QTest::newRow("corrupted checksums") << QStringList{"corrupt-checksum 0.1"} << 0 << W << 2 << any << any << none;
    QTest::newRow("every block reply oversized")
        << QStringList{"oversized-block 1", "fault-on block"} << 1 << S << 1 << Expect::Fails << any << none;
    QTest::newRow("some block replies oversized")
        << QStringList{"oversized-block 0.05", "fault-on block"} << 1 << S << 3 << any << any << none;
    QTest::newRow("every block reply truncated")
        << QStringList{"truncated-block 1", "fault-on block"} << 2 << W << 1 << Expect::Fails << any << none;
    QTest::newRow("some block replies truncated")
        << QStringList{"truncated-block 0.05", "fault-on block"} << 2 << W << 3 << any << any << none;
    QTest::newRow("some block replies announce more data than they hold")
        << QStringList{"lying-count 0.05", "fault-on block"} << 0 << S << 3 << any << any << none;
    // Another host answers in the AP's name before the AP does: the read
    // fails rather than show either image.
    QTest::newRow("a forged reply before the AP's own to image chunk 2")
        << QStringList{"forge-chunk 2"} << 0 << S << 1 << Expect::Fails << any << none;
    QTest::newRow("commit refused") << QStringList{"refuse-commit on"} << 1 << S << 1 << Expect::Succeeds
                                    << Expect::Fails << none;
    // Slow block replies leave time to act in the middle of the exchanges.
    QTest::newRow("logout notice in the middle of the read")
        << QStringList{"delay-ms 150", "delay-prob 1", "fault-on block"} << 0 << S << 1 << Expect::Fails << any
        << Action::LogoutDuringRead;
    QTest::newRow("storm of session checks during the apply")
        << QStringList{"delay-ms 250", "delay-prob 1", "fault-on block"} << 1 << S << 1 << Expect::Succeeds
        << Expect::Succeeds << Action::CheckStormDuringApply;
    QTest::newRow("several knobs at once")
        << QStringList{"drop-requests 0.05",  "drop-replies 0.05", "dup-replies 0.1",
                       "wrong-sequence 0.05", "foreign-mac 0.05",  "corrupt-checksum 0.05"}
        << 2 << W << 2 << any << any << none;
}

void FaultsTest::windowHoldsUpUnderEachKnob() {
    QFETCH(QStringList, knobs);
    QFETCH(int, ap);
    QFETCH(Page, page);
    QFETCH(int, cycles);
    QFETCH(Expect, login);
    QFETCH(Expect, apply);
    QFETCH(Action, action);

    // A fresh list, browsed without faults, and the knobs on.
    QVERIFY(Browse());
    QCOMPARE(form_->accessPointCount, kApCount);
    struct Reset {
        FaultsTest& test;
        ~Reset() { test.SetKnobs(kKnobsOff); }
    } reset{*this};
    SetKnobs(knobs);
    const int rowMark = LogLines();

    for (int c = 0; c < cycles; ++c) {
        const QString tag = QStringLiteral("Fault-%1-%2").arg(cycleNumber_).arg(c);
        Cycle(ap, page, login, apply, action, tag);
        ++cycleNumber_;
        if (QTest::currentTestFailed()) return;
    }

    // Nothing was committed to another AP.
    for (const QJsonObject& e : Events(rowMark)) {
        if (e.value(QStringLiteral("event")).toString() == QLatin1String("commit")) {
            QCOMPARE(e.value(QStringLiteral("ap")).toString(), sim_->aps[ap].mac);
        }
    }

    // The knob off: the next browse lists every AP once and nothing else, and
    // a login reads the device whole.
    SetKnobs(kKnobsOff);
    QVERIFY(Browse());
    QCOMPARE(form_->accessPointCount, kApCount);
    QStringList listed;
    for (int i = 0; i < form_->accessPointCount; ++i) listed << form_->ComboBox1->itemText(i).left(17);
    QStringList all;
    for (const SimAp& a : sim_->aps) all << Dashed(a.mac);
    all.sort();
    QCOMPARE(listed, all);
    QVERIFY(Select(ap));
    const int shown = messages_->texts.size();
    form_->Edit1->setText(QString::fromLatin1(kPassword));
    form_->BitBtn5->click();
    QCOMPARE(messages_->texts.size(), shown);
    QVERIFY(!form_->Panel2->isHidden());
    const ConfigImage& live = live_[static_cast<size_t>(ap)];
    QVERIFY2(form_->imageSnapshot == live, qPrintable(FirstDifference(form_->imageSnapshot, live)));
    QCOMPARE(form_->Label3->text(), QString::fromLatin1(reinterpret_cast<const char*>(live.data()) + kSsidAt));
}

APUTIL_WINDOW_TEST_MAIN(FaultsTest)

#include "ui_faults_test.moc"
