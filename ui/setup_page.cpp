// The basic setup page (Panel3): SSID, channel, name, addresses and password.

#include <QComboBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QRegularExpression>
#include <QRegularExpressionValidator>
#include <QValidator>

#include <algorithm>
#include <optional>
#include <string>

#include "app/gui/image_button.h"
#include "app/gui/uinterface.h"
#include "app/settings.h"
#include "app/textconv.h"
#include "image/layout.h"
#include "image/transfer.h"
#include "protocol/frame.h"
#include "ui/controls.h"
#include "ui/form1.h"
#include "ui/image_text.h"
#include "ui/key_rules.h"
#include "ui/widgets.h"

namespace aputil {

namespace {

// Four groups of up to three digits with fixed dots; an empty place shows a
// blank and stays in the text as one.
const QString kAddressMask = QStringLiteral("000.000.000.000; ");

constexpr const char* kChannelText[kChannelCount] = {"CH01", "CH02", "CH03", "CH04", "CH05", "CH06", "CH07",
                                                     "CH08", "CH09", "CH10", "CH11", "CH12", "CH13", "CH14"};

bool IsPrintableAscii(QChar c) { return c.unicode() >= 0x20 && c.unicode() <= 0x7e; }

// The text as the image stores it, or nothing when a character is not
// printable ASCII (the SSID and password fields take no other).
std::optional<std::string> AsciiBytes(const QString& text) {
    if (!std::all_of(text.begin(), text.end(), IsPrintableAscii)) return std::nullopt;
    return text.toStdString();
}

// Typed keys of the SSID and password fields: printable characters and
// backspace reach the field; keys that move the focus or the caret and the
// editing shortcuts pass as they are (the validator checks what a paste
// brings); everything else (Enter, control characters, other scripts) is
// dropped.
bool RefusedKey(const QKeyEvent* event) {
    const int key = event->key();
    if (key == Qt::Key_Return || key == Qt::Key_Enter) return true;
    if (key == Qt::Key_Tab || key == Qt::Key_Backtab || key == Qt::Key_Backspace || key == Qt::Key_Delete) {
        return false;
    }
    if (IsEditingShortcut(event)) return false;
    const QString text = event->text();
    if (text.isEmpty()) return false;
    if (event->modifiers() & Qt::ControlModifier) return true;
    return !std::all_of(text.begin(), text.end(), IsPrintableAscii);
}

// Keeps out of the name field anything longer than the image's name field
// (79 bytes and the terminator, one byte per character), whatever road the
// text takes: typing, pasting or an input method. A character without a byte
// of its own is let in and refused with a message at apply.
class StoredLengthValidator : public QValidator {
public:
    StoredLengthValidator(qsizetype limit, QObject* parent) : QValidator(parent), limit_(limit) {}
    State validate(QString& input, int& /*pos*/) const override {
        if (input.contains(QChar(0)) || input.size() > limit_) return Invalid;
        return Acceptable;
    }

private:
    qsizetype limit_;
};

// Hands the key presses of the filtered fields to their handlers.
class SetupKeyFilter : public QObject {
public:
    explicit SetupKeyFilter(TForm1* form) : QObject(form), form_(form) {}

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == QEvent::KeyPress) {
            auto* key = static_cast<QKeyEvent*>(event);
            if (watched == form_->Edit2) return form_->Edit2KeyPress(key);
            if (watched == form_->Edit3) return form_->Edit3KeyPress(key);
            if (watched == form_->Edit4) return form_->Edit4KeyPress(key);
        }
        return QObject::eventFilter(watched, event);
    }

private:
    TForm1* form_;
};

}  // namespace

void TForm1::BuildSetupPage() {
    Panel3 = new TPicturePanel(this);
    Panel3->setObjectName(QStringLiteral("Panel3"));
    Panel3->setGeometry(0, kHeaderHeight, kClientWidth, 309);
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

    // Typed keys are filtered by the KeyPress handlers; the validators also
    // keep out what arrives by other roads.
    auto* keys = new SetupKeyFilter(this);
    for (QLineEdit* field : {Edit2, Edit3, Edit4}) {
        field->setValidator(
            new QRegularExpressionValidator(QRegularExpression(QStringLiteral("[\\x20-\\x7e]*")), field));
        field->installEventFilter(keys);
    }
    Edit5->setValidator(new StoredLengthValidator(static_cast<qsizetype>(kMaxApNameLength), Edit5));

    connect(BitBtn7, &QPushButton::clicked, this, &TForm1::BitBtn7Click);
    connect(BitBtn20, &QPushButton::clicked, this, &TForm1::BitBtn20Click);
    connect(BitBtn8, &QPushButton::clicked, this, &TForm1::BitBtn8Click);
}

bool TForm1::Edit2KeyPress(QKeyEvent* event) { return RefusedKey(event); }
bool TForm1::Edit3KeyPress(QKeyEvent* event) { return RefusedKey(event); }
bool TForm1::Edit4KeyPress(QKeyEvent* event) { return RefusedKey(event); }

void TForm1::FillSetupPage() {
    ComboBox2->clear();
    int items = 0;
    for (const int channel : AllowedChannels(ReadChannelMask(configImage))) {
        if (channel < 1 || channel > kChannelCount || items >= kChannelCount) continue;
        ComboBox2->addItem(QString::fromLatin1(kChannelText[channel - 1]));
        channelOfItem[static_cast<size_t>(items++)] = channel;
    }
    // A channel the mask does not allow selects nothing, and apply then keeps it.
    const int stored = ReadChannel(configImage);
    const auto used = channelOfItem.begin() + items;
    const auto found = std::find(channelOfItem.begin(), used, stored);
    ComboBox2->setCurrentIndex(found == used ? -1 : static_cast<int>(found - channelOfItem.begin()));

    Edit5->setText(ImageText(ReadApName(configImage)));
    apNameAsFilled = Edit5->text();
    Edit2->setText(ImageText(ReadSsid(configImage)));
    ssidAsFilled = Edit2->text();
}

void TForm1::BitBtn7Click() {
    SetPageButtonsEnabled(false);
    BitBtn1->LoadStrip(QStringLiteral("info_down_yellow.bmp"), 3);
    Edit3->clear();
    Edit4->clear();
    Panel2->hide();
    Panel3->show();
}

void TForm1::BitBtn20Click() {
    if (applyingSetup) return;
    Panel3->hide();
    Panel2->show();
    SetPageButtonsEnabled(true);
    // Every field and the information page from the image as it is held.
    FillInformationPage();
    FillSetupPage();
    Edit3->clear();
    Edit4->clear();
    BitBtn1->LoadStrip(QStringLiteral("info.bmp"), 4);
}

void TForm1::BitBtn8Click() {
    // Inside the write's wait the button can be pressed again; so can any
    // button while another exchange waits.
    if (applyingSetup || TUInterface::Waiting()) return;

    const QString password = Edit3->text();
    if (!password.isEmpty() && password != Edit4->text()) {
        ShowMessageDialog(kept.passwordMismatch);
        return;
    }
    const struct {
        QLineEdit* field;
        AddressField target;
        const QString& message;
    } addresses[] = {
        {MaskEdit25, AddressField::IpAddress, kept.ipError},
        {MaskEdit26, AddressField::SubnetMask, kept.maskError},
        {MaskEdit27, AddressField::Gateway, kept.gwError},
    };
    std::array<Ipv4Bytes, 3> parsed{};
    for (size_t i = 0; i < parsed.size(); ++i) {
        const std::string text = StripBlanks(addresses[i].field->displayText().toStdString());
        if (!IsValidIpText(text) || !ParseIpText(parsed[i], text)) {
            ShowMessageDialog(addresses[i].message);
            return;
        }
    }

    // The shared rules check every value before the image changes, so a text
    // the image refuses leaves it as it was instead of half edited.
    BasicSettings settings;
    bool fits = true;
    if (!password.isEmpty()) {
        const auto bytes = AsciiBytes(password);
        fits = bytes.has_value();
        if (bytes) settings.password = *bytes;
    }
    settings.ipAddress = parsed[0];
    settings.subnetMask = parsed[1];
    settings.gateway = parsed[2];
    const QString name = Edit5->text();
    if (!name.isEmpty() && name != apNameAsFilled) {
        const auto bytes = ImageBytes(name);
        fits = fits && bytes;
        if (bytes) settings.apName = *bytes;
    }
    const QString ssid = Edit2->text();
    if (!ssid.isEmpty() && ssid != ssidAsFilled) {
        const auto bytes = AsciiBytes(ssid);
        fits = fits && bytes;
        if (bytes) settings.ssid = *bytes;
    }
    const int item = ComboBox2->currentIndex();
    if (item >= 0 && item < std::min(ComboBox2->count(), kChannelCount)) {
        settings.channel = channelOfItem[static_cast<size_t>(item)];
    }
    ConfigImage edited = configImage;
    if (!fits || ApplyBasicSettings(edited, settings) != SettingError::None) {
        // Nothing was sent: the text itself cannot be stored.
        ShowMessageDialog(kept.textNotStorable);
        return;
    }

    const BusyScope busy(applyingSetup);
    BitBtn8->setEnabled(false);
    BitBtn20->setEnabled(false);
    ApplyEditedImage(edited);
    BitBtn1->LoadStrip(QStringLiteral("info.bmp"), 4);
    BitBtn8->setEnabled(true);
    BitBtn20->setEnabled(true);
}

}  // namespace aputil
