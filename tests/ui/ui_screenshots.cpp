// Pictures of the window for a person to look at: the login page with
// simulated access points listed, and the information page after a login.
// Runs inside the namespaces of tests/netns/with-netns (apsim answers in the
// peer namespace), under Xvfb or offscreen.
//
//   ui_screenshots OUTPUT_DIR [login-only | all-pages]
// all-pages also pictures the other pages (as the window holds them after the
// login) and the message dialog.

#include <QApplication>
#include <QComboBox>
#include <QFile>
#include <QLineEdit>
#include <QPixmap>

#include <cstdio>
#include <memory>

#include "app/gui/message_form.h"
#include "app/gui/uinterface.h"
#include "tests/ui/ui_support.h"
#include "ui/form1.h"
#include "ui/widgets.h"

using namespace aputil;
using namespace aputil::test;

namespace {

int Fail(const char* what) {
    std::fprintf(stderr, "ui_screenshots: %s\n", what);
    return 1;
}

bool Save(QWidget& window, const QString& path) {
    QTest::qWait(300);  // let the last repaint land
    const bool ok = window.grab().save(path, "PNG");
    std::printf("%s %s\n", ok ? "wrote" : "could not write", qPrintable(path));
    return ok;
}

}  // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    if (argc < 2) return Fail("usage: ui_screenshots OUTPUT_DIR [login-only]");
    const QString out = QString::fromLocal8Bit(argv[1]);
    const bool loginOnly = argc > 2 && QByteArray(argv[2]) == "login-only";
    const bool allPages = argc > 2 && QByteArray(argv[2]) == "all-pages";
    if (!InTestNamespace()) {
        std::fprintf(stderr, "ui_screenshots: needs the test namespaces (tests/netns/with-netns); skipped\n");
        return 77;
    }

    QFile catalogue(QStringLiteral(APUTIL_SOURCE_DIR "/app/message.txt"));
    if (!catalogue.open(QIODevice::ReadOnly)) return Fail("no default catalogue");
    WorkFolder folder(catalogue.readAll(), true);
    folder.Enter();
    ApSim sim;
    if (!sim.Start({QStringLiteral("--count"), QStringLiteral("4"), QStringLiteral("--seed"), QStringLiteral("5"),
                    QStringLiteral("--password"), QStringLiteral("demo")},
                   "0 name Lobby\n1 name Meeting room 2\n2 name Warehouse\n3 name Roof\n"
                   "* ssid SimNet\n* channel 6\n* ip 192.168.1.254\n* mask 255.255.255.0\n* gateway 192.168.1.1\n"
                   "* firmware-version 2.14\n* firmware-date 2002/07/30\n")) {
        return Fail("apsim did not start");
    }

    TForm1 form1;
    TUInterface uinterface;
    TMessageForm messageForm(&form1);
    auto messages = std::make_unique<MessageWatcher>(messageForm);
    form1.show();
    if (!WaitFor([&] { return form1.ComboBox1->count() > 1 && !form1.browsing; }, 15000)) {
        return Fail("no access point was listed");
    }
    if (!Save(form1, out + QStringLiteral("/screenshot-login.png"))) return 1;
    if (loginOnly) return 0;

    form1.Edit1->setText(QStringLiteral("demo"));
    form1.BitBtn5Click();
    if (form1.Panel2->isHidden()) return Fail("the login did not reach the information page");
    if (!Save(form1, out + QStringLiteral("/screenshot-info.png"))) return 1;
    if (!allPages) return 0;

    const std::pair<QWidget*, const char*> pages[] = {
        {form1.Panel3, "setup"},
        {form1.Panel4, "security"},
        {form1.Panel6, "about"},
        {form1.Panel8, "security-setup"},
    };
    for (const auto& [page, name] : pages) {
        for (QWidget* p : {form1.Panel1, form1.Panel2, form1.Panel3, form1.Panel4, form1.Panel6, form1.Panel8}) {
            p->setVisible(p == page);
        }
        if (!Save(form1, out + QStringLiteral("/screenshot-%1.png").arg(QString::fromLatin1(name)))) return 1;
    }
    messages.reset();
    bool saved = false;
    QObject::connect(&messageForm, &TMessageForm::Showing, &messageForm, [&] {
        QTimer::singleShot(300, &messageForm, [&] {
            saved = messageForm.grab().save(out + QStringLiteral("/screenshot-message.png"), "PNG");
            messageForm.BitBtn1->click();
        });
    });
    form1.ShowMessageDialog(form1.kept.invalidPassword);
    return saved ? 0 : 1;
}
