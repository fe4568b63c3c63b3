// The read-only pages: information (Panel2), security status (Panel4) and
// about (Panel6).

#include <QGuiApplication>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QTreeWidget>

#include "app/gui/image_button.h"
#include "app/textconv.h"
#include "image/layout.h"
#include "ui/controls.h"
#include "ui/form1.h"
#include "ui/image_text.h"
#include "ui/widgets.h"

namespace aputil {

namespace {

// Utility version and date shown on the about page.
constexpr const char* kUtilityVersion = "1.8.1";
constexpr const char* kUtilityDate = "08/28/2002";

// An address for the masked fields: each group padded with blanks to its
// three places, so every number lands in its own group.
QString MaskedAddressText(const QString& dotted) {
    QStringList groups = dotted.split(QLatin1Char('.'));
    for (QString& group : groups) group = group.rightJustified(3, QLatin1Char(' '));
    return groups.join(QLatin1Char('.'));
}

}  // namespace

void TForm1::BuildStatusPages() {
    // Information page.
    Panel2 = new TPicturePanel(this);
    Panel2->setObjectName(QStringLiteral("Panel2"));
    Panel2->setGeometry(0, kHeaderHeight, kClientWidth, 260);
    constexpr int kCaptionX = 128;
    constexpr int kValueX = 283;
    constexpr int kValueWidth = 170;
    Label26 = MakeLabel(Panel2, "Label26", QStringLiteral("AP's name"), kCaptionX, 26);
    Label19 = MakeLabel(Panel2, "Label19", QStringLiteral("Label19"), kValueX, 26, kValueWidth);
    Label4 = MakeLabel(Panel2, "Label4", QStringLiteral("SSID"), kCaptionX, 55);
    Label3 = MakeLabel(Panel2, "Label3", QStringLiteral("Label3"), kValueX, 55, kValueWidth);
    Label5 = MakeLabel(Panel2, "Label5", QStringLiteral("channel"), kCaptionX, 85);
    Label23 = MakeLabel(Panel2, "Label23", QStringLiteral("Label23"), kValueX, 85, kValueWidth);
    Label6 = MakeLabel(Panel2, "Label6", QStringLiteral("IP address"), kCaptionX, 114);
    Label24 = MakeLabel(Panel2, "Label24", QStringLiteral("N/A"), kValueX, 114, kValueWidth);
    Label41 = MakeLabel(Panel2, "Label41", QStringLiteral("subnetmask"), kCaptionX, 143);
    Label49 = MakeLabel(Panel2, "Label49", QStringLiteral("N/A"), kValueX, 143, kValueWidth);
    Label48 = MakeLabel(Panel2, "Label48", QStringLiteral("defaultgateway"), kCaptionX, 172);
    Label50 = MakeLabel(Panel2, "Label50", QStringLiteral("N/A"), kValueX, 172, kValueWidth);
    Image8 = MakeIcon(Panel2, "Image8", 108, 28);
    Image9 = MakeIcon(Panel2, "Image9", 108, 57);
    Image10 = MakeIcon(Panel2, "Image10", 108, 87);
    Image11 = MakeIcon(Panel2, "Image11", 108, 116);
    BitBtn7 = new TImageButton(QStringLiteral("Setup"), Panel2);
    BitBtn7->setObjectName(QStringLiteral("BitBtn7"));
    BitBtn7->setGeometry(375, 228, 66, 20);

    // Security status page.
    Panel4 = new TPicturePanel(this);
    Panel4->setObjectName(QStringLiteral("Panel4"));
    Panel4->setGeometry(0, kHeaderHeight, kClientWidth, 261);
    Label88 = MakeLabel(Panel4, "Label88", QStringLiteral("security"), 32, 13);
    Label12 = MakeLabel(Panel4, "Label12", QStringLiteral("Current encryption status is:"), 80, 40);
    Label25 = MakeLabel(Panel4, "Label25", QStringLiteral("Label25"), 232, 40, 200);
    Label17 = MakeLabel(Panel4, "Label17", QStringLiteral("MAC access control"), 32, 72);
    Label85 = MakeLabel(Panel4, "Label85", QStringLiteral("MAC access control:"), 80, 104);
    for (QLabel* title : {Label88, Label17}) {
        QFont bold = title->font();
        bold.setBold(true);
        title->setFont(bold);
        title->adjustSize();
    }
    ListView1 = MakeReportList(Panel4, "ListView1", QRect(240, 94, 169, 104));
    // The columns keep the widths the fill gives them.
    ListView1->header()->setStretchLastSection(false);
    BitBtn9 = new TImageButton(QStringLiteral("Setup"), Panel4);
    BitBtn9->setObjectName(QStringLiteral("BitBtn9"));
    // Left of where the page it opens has its Cancel and Apply: a click too
    // many on Setup must not land on either.
    BitBtn9->setGeometry(239, 228, 66, 20);

    // About page.
    Panel6 = new TPicturePanel(this);
    Panel6->setObjectName(QStringLiteral("Panel6"));
    Panel6->setGeometry(0, kHeaderHeight, kClientWidth, 261);
    Label15 = MakeLabel(Panel6, "Label15", QStringLiteral("firmware version:"), 44, 31);
    Label30 = MakeLabel(Panel6, "Label30", QStringLiteral("Label30"), 211, 31, 78);
    Label16 = MakeLabel(Panel6, "Label16", QStringLiteral("date:"), 291, 31);
    Label31 = MakeLabel(Panel6, "Label31", QStringLiteral("Label31"), 355, 31, 100);
    Label20 = MakeLabel(Panel6, "Label20", QStringLiteral("utility version:"), 44, 87);
    Label27 = MakeLabel(Panel6, "Label27", QStringLiteral("Label27"), 211, 87, 78);
    Label21 = MakeLabel(Panel6, "Label21", QStringLiteral("date:"), 291, 87);
    Label28 = MakeLabel(Panel6, "Label28", QStringLiteral("Label28"), 355, 87, 100);
}

void TForm1::FillInformationPage() {
    Label19->setText(ImageText(ReadApName(configImage)));
    Label3->setText(ImageText(ReadSsid(configImage)));
    Label23->setText(QString::number(ReadChannel(configImage)));
    const std::pair<AddressField, std::pair<QLabel*, QLineEdit*>> addresses[] = {
        {AddressField::IpAddress, {Label24, MaskEdit25}},
        {AddressField::SubnetMask, {Label49, MaskEdit26}},
        {AddressField::Gateway, {Label50, MaskEdit27}},
    };
    for (const auto& [field, controls] : addresses) {
        const QString text = QString::fromLatin1(ReadAddressText(configImage, field));
        controls.first->setText(text);
        controls.second->setText(MaskedAddressText(text));
    }
}

void TForm1::FillSecurityStatusPage() {
    switch (ReadWepState(configImage)) {
    case WepState::Disabled:
        Label25->setText(kept.disabled);
        break;
    case WepState::Wep64:
        Label25->setText(kept.wep64);
        break;
    case WepState::Wep128:
        Label25->setText(kept.wep128);
        break;
    }

    ListView1->clear();
    ListView1->setColumnCount(2);
    ListView1->setHeaderLabels({kept.macAccNo, kept.macAccAddr});
    ListView1->header()->setVisible(true);
    // The client width without the frame: the list may not have been laid out
    // yet while its page is hidden.
    const int clientWidth = ListView1->contentsRect().width();
    ListView1->setColumnWidth(0, clientWidth / 5);
    ListView1->setColumnWidth(1, clientWidth * 4 / 5);

    const MacTable table = ReadMacTable(configImage);
    int number = 0;
    for (const MacAddress& mac : table.entries) {
        auto* item = new QTreeWidgetItem(ListView1);
        item->setText(0, QString::number(++number));
        item->setText(1, QString::fromLatin1(FormatMacText(mac)));
    }

    // The entries are listed either way; a table that is not in force is
    // greyed on the menu colour.
    ListView1->setEnabled(table.IsOn());
    QPalette p = ListView1->palette();
    const QPalette system = QGuiApplication::palette();
    p.setColor(QPalette::Base, table.IsOn() ? system.color(QPalette::Active, QPalette::Base)
                                            : system.color(QPalette::Active, QPalette::Window));
    ListView1->setPalette(p);
}

void TForm1::FillAboutPage() {
    Label30->setText(ImageText(ReadFirmwareVersion(firmwareBlock)));
    Label31->setText(ImageText(ReadFirmwareDate(firmwareBlock)));
    Label27->setText(QString::fromLatin1(kUtilityVersion));
    Label28->setText(QString::fromLatin1(kUtilityDate));
}

}  // namespace aputil
