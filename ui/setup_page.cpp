// The basic setup page (Panel3): SSID, channel, name, addresses and password.

#include <QComboBox>
#include <QLabel>
#include <QLineEdit>

#include "app/gui/image_button.h"
#include "controls.h"
#include "form1.h"
#include "image/layout.h"
#include "widgets.h"

namespace aputil {

namespace {

// Four groups of up to three digits with fixed dots; an empty place shows a
// blank and stays in the text as one.
const QString kAddressMask = QStringLiteral("000.000.000.000; ");

}  // namespace

void TForm1::BuildSetupPage() {
    Panel3 = new TPicturePanel(this);
    Panel3->setObjectName(QStringLiteral("Panel3"));
    Panel3->setGeometry(0, kHeaderHeight, 463, 309);
    constexpr int kCaptionX = 112;
    constexpr int kFieldX = 257;

    Label7 = MakeLabel(Panel3, "Label7", QStringLiteral("SSID"), kCaptionX, 23);
    Edit2 = MakeEdit(Panel3, "Edit2", QRect(kFieldX, 20, 128, 21));
    Edit2->setMaxLength(static_cast<int>(kMaxSsidLength));

    Label9 = MakeLabel(Panel3, "Label9", QStringLiteral("channel"), kCaptionX, 50);
    ComboBox2 = new QComboBox(Panel3);
    ComboBox2->setObjectName(QStringLiteral("ComboBox2"));
    ComboBox2->setGeometry(kFieldX, 47, 128, 21);

    Label18 = MakeLabel(Panel3, "Label18", QStringLiteral("AP's name"), kCaptionX, 76);
    Edit5 = MakeEdit(Panel3, "Edit5", QRect(kFieldX, 73, 128, 21));
    Edit5->setMaxLength(static_cast<int>(kMaxApNameLength));

    Label51 = MakeLabel(Panel3, "Label51", QStringLiteral("IP address"), kCaptionX, 113);
    MaskEdit25 = MakeEdit(Panel3, "MaskEdit25", QRect(kFieldX, 110, 121, 21));
    Label52 = MakeLabel(Panel3, "Label52", QStringLiteral("subnet mask"), kCaptionX, 137);
    MaskEdit26 = MakeEdit(Panel3, "MaskEdit26", QRect(kFieldX, 134, 121, 21));
    Label53 = MakeLabel(Panel3, "Label53", QStringLiteral("default gateway"), kCaptionX, 161);
    MaskEdit27 = MakeEdit(Panel3, "MaskEdit27", QRect(kFieldX, 158, 121, 21));
    for (QLineEdit* address : {MaskEdit25, MaskEdit26, MaskEdit27}) address->setInputMask(kAddressMask);

    Label10 = MakeLabel(Panel3, "Label10", QStringLiteral("new password"), kCaptionX, 203);
    Edit3 = MakeEdit(Panel3, "Edit3", QRect(kFieldX, 200, 152, 21));
    Label11 = MakeLabel(Panel3, "Label11", QStringLiteral("confirm password"), kCaptionX, 225);
    Edit4 = MakeEdit(Panel3, "Edit4", QRect(kFieldX, 222, 152, 21));
    for (QLineEdit* password : {Edit3, Edit4}) {
        password->setEchoMode(QLineEdit::Password);
        password->setMaxLength(static_cast<int>(kMaxPasswordLength));
    }

    Image12 = MakeIcon(Panel3, "Image12", 92, 25);
    Image13 = MakeIcon(Panel3, "Image13", 92, 52);
    Image14 = MakeIcon(Panel3, "Image14", 92, 78);
    Image16 = MakeIcon(Panel3, "Image16", 92, 115);
    Image17 = MakeIcon(Panel3, "Image17", 92, 205);

    BitBtn20 = new TImageButton(QStringLiteral("Cancel"), Panel3);
    BitBtn20->setObjectName(QStringLiteral("BitBtn20"));
    BitBtn20->setGeometry(307, 276, 67, 19);
    BitBtn8 = new TImageButton(QStringLiteral("Apply"), Panel3);
    BitBtn8->setObjectName(QStringLiteral("BitBtn8"));
    BitBtn8->setGeometry(375, 276, 67, 19);
}

}  // namespace aputil
