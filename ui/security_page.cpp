// The security configuration page (Panel8): the WEP tab with the mode, key
// format and key editor groups, and the MAC access tab with its table.

#include <QCheckBox>
#include <QFontDatabase>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QRadioButton>
#include <QTreeWidget>

#include "app/gui/image_button.h"
#include "controls.h"
#include "form1.h"
#include "widgets.h"

namespace aputil {

namespace {

QRadioButton* MakeRadio(QWidget* parent, const char* name, const QString& text, int x, int y) {
    auto* radio = new QRadioButton(text, parent);
    radio->setObjectName(QString::fromLatin1(name));
    radio->move(x, y);
    radio->adjustSize();
    return radio;
}

QGroupBox* MakeGroup(QWidget* parent, const char* name, const QString& title, const QRect& geometry) {
    auto* group = new QGroupBox(title, parent);
    group->setObjectName(QString::fromLatin1(name));
    group->setGeometry(geometry);
    return group;
}

void SetCaptionColour(QLabel* label, const QColor& colour) {
    QPalette p = label->palette();
    p.setColor(QPalette::WindowText, colour);
    label->setPalette(p);
}

// Hex-form lengths of the six segments of a key: 26 digits = 13 bytes.
constexpr int kSegmentLength[6] = {5, 5, 4, 4, 4, 4};
constexpr int kSegmentWidth[6] = {49, 49, 40, 40, 40, 40};

}  // namespace

void TForm1::BuildSecurityPage() {
    Panel8 = new TPicturePanel(this);
    Panel8->setObjectName(QStringLiteral("Panel8"));
    Panel8->setGeometry(0, kHeaderHeight, 463, 258);

    // The two captions act as tabs.
    Label35 = MakeLabel(Panel8, "Label35", QStringLiteral("WEP"), 32, 10);
    Label37 = MakeLabel(Panel8, "Label37", QStringLiteral("MAC access"), 96, 10);
    for (QLabel* tab : {Label35, Label37}) {
        QFont bold = tab->font();
        bold.setBold(true);
        tab->setFont(bold);
        tab->adjustSize();
        tab->setCursor(Qt::PointingHandCursor);
    }
    SetCaptionColour(Label35, Qt::blue);
    SetCaptionColour(Label37, Qt::black);

    const QRect body(24, 30, 415, 190);
    GroupBox1 = MakeGroup(Panel8, "GroupBox1", QString(), body);
    GroupBox2 = MakeGroup(Panel8, "GroupBox2", QString(), body);
    GroupBox2->hide();

    // WEP tab.
    GroupBox3 = MakeGroup(GroupBox1, "GroupBox3", QStringLiteral("Encryption"), QRect(8, 8, 270, 42));
    RadioButton9 = MakeRadio(GroupBox3, "RadioButton9", QStringLiteral("DISABLE"), 8, 18);
    RadioButton1 = MakeRadio(GroupBox3, "RadioButton1", QStringLiteral("WEP 64bit"), 88, 18);
    RadioButton4 = MakeRadio(GroupBox3, "RadioButton4", QStringLiteral("WEP 128bit"), 176, 18);

    GroupBox5 = MakeGroup(GroupBox1, "GroupBox5", QStringLiteral("Key format"), QRect(284, 8, 123, 42));
    RadioButton10 = MakeRadio(GroupBox5, "RadioButton10", QStringLiteral("ASCII"), 8, 18);
    RadioButton11 = MakeRadio(GroupBox5, "RadioButton11", QStringLiteral("Hex"), 68, 18);

    GroupBox4 = MakeGroup(GroupBox1, "GroupBox4", QStringLiteral("Edit key"), QRect(8, 54, 399, 128));
    QRadioButton** rows[4] = {&RadioButton5, &RadioButton6, &RadioButton7, &RadioButton8};
    QFont fixed = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    fixed.setPixelSize(11);
    for (int k = 0; k < 4; ++k) {
        const int y = 20 + 26 * k;
        const QString rowName = QStringLiteral("RadioButton%1").arg(5 + k);
        *rows[k] = MakeRadio(GroupBox4, rowName.toLatin1().constData(), QStringLiteral("key%1").arg(k + 1), 8,
                             y + 1);
        int x = 72;
        for (int s = 0; s < 6; ++s) {
            const int number = 6 * k + s + 1;
            const QString name = QStringLiteral("MaskEdit%1").arg(number);
            QLineEdit* segment = MakeEdit(GroupBox4, name.toLatin1().constData(), QRect(x, y, kSegmentWidth[s], 21));
            segment->setMaxLength(kSegmentLength[s]);
            segment->setFont(fixed);
            MaskEdit[static_cast<size_t>(number - 1)] = segment;
            x += kSegmentWidth[s] + 4;
        }
    }

    // MAC access tab.
    CheckBox3 = new QCheckBox(QStringLiteral("Enabled MAC access control"), GroupBox2);
    CheckBox3->setObjectName(QStringLiteral("CheckBox3"));
    CheckBox3->move(10, 12);
    CheckBox3->adjustSize();
    Label43 = MakeLabel(GroupBox2, "Label43", QStringLiteral("MAC access table"), 10, 42);
    MaskEdit28 = MakeEdit(GroupBox2, "MaskEdit28", QRect(10, 62, 124, 21));
    MaskEdit28->setInputMask(QStringLiteral("hh:hh:hh:hh:hh:hh; "));
    MaskEdit28->setFont(fixed);
    ListView3 = MakeReportList(GroupBox2, "ListView3", QRect(172, 40, 233, 140));

    const struct {
        TImageButton** button;
        QLabel** label;
        const char* buttonName;
        const char* labelName;
        const char* text;
        int y;
    } tableButtons[] = {
        {&BitBtn15, &Label45, "BitBtn15", "Label45", "ADD", 94},
        {&BitBtn16, &Label46, "BitBtn16", "Label46", "MODIFY", 122},
        {&BitBtn17, &Label47, "BitBtn17", "Label47", "REMOVE", 150},
    };
    for (const auto& b : tableButtons) {
        *b.button = new TImageButton(QString::fromLatin1(b.text), GroupBox2);
        (*b.button)->setObjectName(QString::fromLatin1(b.buttonName));
        (*b.button)->setGeometry(10, b.y, 22, 18);
        *b.label = MakeLabel(GroupBox2, b.labelName, QString::fromLatin1(b.text), 38, b.y + 2);
    }

    BitBtn18 = new TImageButton(QStringLiteral("Cancel"), Panel8);
    BitBtn18->setObjectName(QStringLiteral("BitBtn18"));
    BitBtn18->setGeometry(307, 228, 67, 19);
    BitBtn19 = new TImageButton(QStringLiteral("Apply"), Panel8);
    BitBtn19->setObjectName(QStringLiteral("BitBtn19"));
    BitBtn19->setGeometry(375, 228, 67, 19);
}

}  // namespace aputil
