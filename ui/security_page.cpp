// The security configuration page (Panel8): the WEP tab with the mode, key
// format and key editor groups, and the MAC access tab with its table; the
// page's reset at login, entry, tabs, mode buttons, apply and cancel. The key
// editor is in wep_editor.cpp, the table in mac_table_editor.cpp.

#include <QCheckBox>
#include <QFontDatabase>
#include <QGroupBox>
#include <QGuiApplication>
#include <QLabel>
#include <QLineEdit>
#include <QMouseEvent>
#include <QRadioButton>
#include <QSignalBlocker>
#include <QTreeWidget>

#include <string>
#include <vector>

#include "app/gui/image_button.h"
#include "app/gui/uinterface.h"
#include "app/settings.h"
#include "app/textconv.h"
#include "image/layout.h"
#include "image/transfer.h"
#include "protocol/frame.h"
#include "ui/controls.h"
#include "ui/form1.h"
#include "ui/security_input.h"
#include "ui/widgets.h"

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

// A disabled field is painted in the greyed face colour rather than the edit
// colour, so a segment that takes no input is seen as such.
void GreyWhenDisabled(QWidget* field) {
    QPalette p = field->palette();
    p.setColor(QPalette::Disabled, QPalette::Base, QGuiApplication::palette().color(QPalette::Button));
    field->setPalette(p);
}

// Hex-form lengths of the six segments of a key: 26 digits = 13 bytes.
constexpr int kSegmentLength[6] = {5, 5, 4, 4, 4, 4};
constexpr int kSegmentWidth[6] = {49, 49, 40, 40, 40, 40};

// Hands the raw input of the page's fields and tab captions to the window's
// handlers: key presses of the segments and of MaskEdit28, clicks on the
// segments, mouse presses on the two captions.
class SecurityInputFilter : public QObject {
public:
    explicit SecurityInputFilter(TForm1& form) : QObject(&form), form_(form) {}

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        const QEvent::Type type = event->type();
        if (type == QEvent::KeyPress) {
            auto* key = static_cast<QKeyEvent*>(event);
            if (watched == form_.MaskEdit28) return form_.MaskEdit28KeyPress(key);
            if (const int number = SegmentNumber(watched)) return form_.MaskEditKeyPress(number, key);
        } else if (type == QEvent::MouseButtonRelease) {
            if (const int number = SegmentNumber(watched)) {
                // The field finishes its own click first, so nothing it does
                // on the release can undo what the handler selects.
                const bool handled = watched->event(event);
                if (static_cast<QMouseEvent*>(event)->button() == Qt::LeftButton) form_.MaskEditClick(number);
                return handled;
            }
        } else if (type == QEvent::MouseButtonPress) {
            if (watched == form_.Label35) {
                form_.Label35MouseDown();
                return true;
            }
            if (watched == form_.Label37) {
                form_.Label37MouseDown();
                return true;
            }
        }
        return QObject::eventFilter(watched, event);
    }

private:
    // 1..24 for MaskEdit1..MaskEdit24, 0 for anything else.
    int SegmentNumber(const QObject* watched) const {
        for (size_t i = 0; i < form_.MaskEdit.size(); ++i) {
            if (form_.MaskEdit[i] == watched) return static_cast<int>(i) + 1;
        }
        return 0;
    }

    TForm1& form_;
};

}  // namespace

void TForm1::BuildSecurityPage() {
    Panel8 = new TPicturePanel(this);
    Panel8->setObjectName(QStringLiteral("Panel8"));
    Panel8->setGeometry(0, kHeaderHeight, kClientWidth, 258);

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
        *rows[k] = MakeRadio(GroupBox4, rowName.toLatin1().constData(), QStringLiteral("key%1").arg(k + 1), 8, y + 1);
        int x = 72;
        for (int s = 0; s < 6; ++s) {
            const int number = 6 * k + s + 1;
            const QString name = QStringLiteral("MaskEdit%1").arg(number);
            QLineEdit* segment = MakeEdit(GroupBox4, name.toLatin1().constData(), QRect(x, y, kSegmentWidth[s], 21));
            segment->setMaxLength(kSegmentLength[s]);
            segment->setFont(fixed);
            // A key is never readable on screen, so it is not copied out either.
            segment->setContextMenuPolicy(Qt::NoContextMenu);
            segment->setValidator(new KeyCharValidator([this, number] { return SegmentCharClass(number); }, segment));
            GreyWhenDisabled(segment);
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
    // Twelve places for hexadecimal digits with the colons fixed; an empty
    // place shows a blank.
    MaskEdit28->setInputMask(QStringLiteral("hh:hh:hh:hh:hh:hh; "));
    MaskEdit28->setFont(fixed);
    GreyWhenDisabled(MaskEdit28);
    ListView3 = MakeReportList(GroupBox2, "ListView3", QRect(172, 40, 233, 140));
    GreyWhenDisabled(ListView3);

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

    ConnectSecurityPage();
}

void TForm1::ConnectSecurityPage() {
    auto* input = new SecurityInputFilter(*this);
    for (QLineEdit* segment : MaskEdit) segment->installEventFilter(input);
    MaskEdit28->installEventFilter(input);
    Label35->installEventFilter(input);
    Label37->installEventFilter(input);

    // The status page's setup button opens this page.
    connect(BitBtn9, &QPushButton::clicked, this, &TForm1::BitBtn9Click);

    // Radio buttons act on the change of state, whether by mouse or keyboard;
    // each handler looks at its own button and acts only when it is on.
    const std::pair<QRadioButton*, void (TForm1::*)()> radios[] = {
        {RadioButton9, &TForm1::RadioButton9Click},   {RadioButton1, &TForm1::RadioButton1Click},
        {RadioButton4, &TForm1::RadioButton4Click},   {RadioButton5, &TForm1::RadioButton5Click},
        {RadioButton6, &TForm1::RadioButton6Click},   {RadioButton7, &TForm1::RadioButton7Click},
        {RadioButton8, &TForm1::RadioButton8Click},   {RadioButton10, &TForm1::RadioButton10Click},
        {RadioButton11, &TForm1::RadioButton11Click},
    };
    for (const auto& [radio, handler] : radios) {
        connect(radio, &QAbstractButton::toggled, this, [this, handler](bool) { (this->*handler)(); });
    }

    for (size_t i = 0; i < MaskEdit.size(); ++i) {
        const int number = static_cast<int>(i) + 1;
        connect(MaskEdit[i], &QLineEdit::textEdited, this, [this, number] { MaskEditChange(number); });
    }

    connect(CheckBox3, &QAbstractButton::toggled, this, [this] { CheckBox3Click(); });
    connect(ListView3, &QTreeWidget::itemClicked, this, [this] { ListView3Click(); });
    connect(BitBtn15, &QPushButton::clicked, this, &TForm1::BitBtn15Click);
    connect(BitBtn16, &QPushButton::clicked, this, &TForm1::BitBtn16Click);
    connect(BitBtn17, &QPushButton::clicked, this, &TForm1::BitBtn17Click);
    connect(BitBtn18, &QPushButton::clicked, this, &TForm1::BitBtn18Click);
    connect(BitBtn19, &QPushButton::clicked, this, &TForm1::BitBtn19Click);
}

TForm1::EncryptionMode TForm1::SelectedEncryptionMode() const {
    if (RadioButton1->isChecked()) return EncryptionMode::Wep64;
    if (RadioButton4->isChecked()) return EncryptionMode::Wep128;
    return EncryptionMode::Disabled;
}

TForm1::KeyFormat TForm1::SelectedKeyFormat() const {
    if (RadioButton10->isChecked()) return KeyFormat::Ascii;
    if (RadioButton11->isChecked()) return KeyFormat::Hex;
    return KeyFormat::None;
}

int TForm1::CheckedKeyRow() const {
    const QRadioButton* rows[4] = {RadioButton5, RadioButton6, RadioButton7, RadioButton8};
    for (int k = 0; k < 4; ++k) {
        if (rows[k]->isChecked()) return k;
    }
    return -1;
}

namespace {

TForm1::EncryptionMode ModeOfState(WepState state) {
    switch (state) {
    case WepState::Wep64:
        return TForm1::EncryptionMode::Wep64;
    case WepState::Wep128:
        return TForm1::EncryptionMode::Wep128;
    case WepState::Disabled:
        break;
    }
    return TForm1::EncryptionMode::Disabled;
}

WepState StateOfMode(TForm1::EncryptionMode mode) {
    switch (mode) {
    case TForm1::EncryptionMode::Wep64:
        return WepState::Wep64;
    case TForm1::EncryptionMode::Wep128:
        return WepState::Wep128;
    case TForm1::EncryptionMode::Disabled:
        break;
    }
    return WepState::Disabled;
}

// Takes the stored default key as the key being edited. A stored index
// outside 0..3 leaves the row buttons as they are, and the key being edited
// is then whichever row is on (none: apply refuses the key).
void SelectStoredKeyRow(TForm1& form) {
    const int stored = ReadDefaultKey(configImage);
    QRadioButton* rows[4] = {form.RadioButton5, form.RadioButton6, form.RadioButton7, form.RadioButton8};
    if (stored >= 0 && stored < 4) {
        rows[stored]->setChecked(true);
        form.editedKeyIndex = stored;
    } else {
        form.editedKeyIndex = -1;
        for (int k = 0; k < 4; ++k) {
            if (rows[k]->isChecked()) form.editedKeyIndex = k;
        }
    }
}

}  // namespace

void TForm1::ResetSecurityPage() {
    FillMacAccessTab();
    SelectStoredKeyRow(*this);
    {
        // Panel8 is hidden at login, so the format handlers would do nothing anyway.
        const QSignalBlocker blockAscii(RadioButton10);
        const QSignalBlocker blockHex(RadioButton11);
        RadioButton11->setChecked(true);
    }
    for (QLineEdit* segment : MaskEdit) segment->clear();
    ShowWepTab();
}

void TForm1::ShowWepTab() {
    GroupBox1->show();
    GroupBox2->hide();
    SetCaptionColour(Label35, Qt::blue);
    SetCaptionColour(Label37, Qt::black);
}

void TForm1::BitBtn9Click() {
    Panel4->hide();
    Panel8->show();
    Panel8->setEnabled(true);
    SetPageButtonsEnabled(false);
    BitBtn2->LoadStrip(QStringLiteral("security_down_yellow.bmp"), 3);

    SelectStoredKeyRow(*this);
    const EncryptionMode mode = ModeOfState(ReadWepState(configImage));
    {
        // The page is laid out once below; the buttons' own side effects
        // (clearing, conversion) belong to the user's switches only.
        const QSignalBlocker b9(RadioButton9), b1(RadioButton1), b4(RadioButton4);
        const QSignalBlocker b10(RadioButton10), b11(RadioButton11);
        switch (mode) {
        case EncryptionMode::Disabled:
            RadioButton9->setChecked(true);
            break;
        case EncryptionMode::Wep64:
            RadioButton1->setChecked(true);
            break;
        case EncryptionMode::Wep128:
            RadioButton4->setChecked(true);
            break;
        }
        RadioButton11->setChecked(true);
    }

    for (QRadioButton* radio : {RadioButton5, RadioButton6, RadioButton7, RadioButton8, RadioButton10, RadioButton11}) {
        radio->setEnabled(true);
    }
    for (QLineEdit* segment : MaskEdit) segment->setEnabled(true);
    ShowKeysFromImage();
    ApplyKeyEditorLayout(mode, KeyFormat::Hex);
}

void TForm1::Label35MouseDown() {
    // The captions take no part in an apply that is writing the device.
    if (applyingSecurity_) return;
    if (MacSettingsChanged()) {
        ShowMessageDialog(kept.warningMsg);
        return;
    }
    ShowWepTab();
}

void TForm1::Label37MouseDown() {
    if (applyingSecurity_) return;
    if (WepSettingsChanged()) {
        ShowMessageDialog(kept.warningMsg);
        return;
    }
    GroupBox2->show();
    GroupBox1->hide();
    SetCaptionColour(Label37, Qt::blue);
    SetCaptionColour(Label35, Qt::black);
    if (MaskEdit28->isEnabled()) {
        MaskEdit28->setFocus();
        MaskEdit28->selectAll();
    }
}

void TForm1::RadioButton9Click() {
    if (!RadioButton9->isChecked()) return;
    ApplyKeyEditorLayout(EncryptionMode::Disabled, SelectedKeyFormat());
}

void TForm1::RadioButton1Click() {
    if (!RadioButton1->isChecked()) return;
    const KeyFormat format = SelectedKeyFormat();
    if (format == KeyFormat::Ascii) {
        // An ASCII 64-bit key lives in segment 1 alone.
        for (int k = 0; k < 4; ++k) {
            KeySegment(k, 2)->clear();
            KeySegment(k, 3)->clear();
        }
    }
    ApplyKeyEditorLayout(EncryptionMode::Wep64, format);
}

void TForm1::RadioButton4Click() {
    if (!RadioButton4->isChecked()) return;
    ApplyKeyEditorLayout(EncryptionMode::Wep128, SelectedKeyFormat());
}

void TForm1::BitBtn19Click() {
    // Clicks that arrive while this apply (or any other exchange) waits for
    // the device must not start another one inside that wait.
    if (applyingSecurity_ || TUInterface::Waiting() || LoggingIn()) return;

    if (ListView3->topLevelItemCount() > MAX_MAC_ENTRIES) {
        ShowMessageDialog(kept.macLimit);
        return;
    }

    // Everything is checked before the first byte of the image changes, so a
    // refusal leaves the image as it was.
    const EncryptionMode mode = SelectedEncryptionMode();
    const int keyRow = CheckedKeyRow();
    const int keyBytes =
        mode == EncryptionMode::Wep64 ? static_cast<int>(kWepKeyBytes64) : static_cast<int>(kWepKeyBytes128);
    std::string keyText;
    if (mode != EncryptionMode::Disabled) {
        editedKeyIndex = keyRow;
        keyText = AssembleKeyText().toLatin1().toStdString();
        if (keyRow < 0 || !CheckKeyText(static_cast<size_t>(keyBytes), keyText)) {
            ShowMessageDialog(kept.invalidWep);
            return;
        }
    }
    const bool macControlOn = CheckBox3->isChecked();
    std::vector<MacAddress> macEntries;
    if (macControlOn) {
        for (int i = 0; i < ListView3->topLevelItemCount(); ++i) {
            MacAddress mac{};
            ParseMacText(ListView3->topLevelItem(i)->text(1).toLatin1().toStdString(), mac);
            macEntries.push_back(mac);
        }
    }

    const BusyScope busy(applyingSecurity_);
    Panel8->setEnabled(false);

    SecuritySettings settings;
    settings.wep = StateOfMode(mode);
    if (mode != EncryptionMode::Disabled) {
        settings.defaultKey = keyRow;
        settings.keys[static_cast<size_t>(keyRow)] = keyText;
    }
    settings.macAccess = macControlOn;
    if (macControlOn) settings.macTable = macEntries;  // at most 32 entries: checked above
    ConfigImage edited = configImage;
    if (ApplySecuritySettings(edited, settings) != SettingError::None) {
        Panel8->setEnabled(true);
        ShowMessageDialog(kept.invalidWep);
        return;
    }
    ApplyEditedImage(edited);
    BitBtn2->LoadStrip(QStringLiteral("security.bmp"), 4);
}

void TForm1::BitBtn18Click() {
    if (applyingSecurity_) return;
    Panel8->hide();
    Panel4->show();
    FillMacAccessTab();
    SetPageButtonsEnabled(true);
    BitBtn2->LoadStrip(QStringLiteral("security.bmp"), 4);
    ShowWepTab();
}

}  // namespace aputil
