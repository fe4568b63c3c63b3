// The login page and the access point list: browsing every usable adapter,
// logging in to the chosen access point, reading its image, and the list's
// selection changes.

#include <QComboBox>
#include <QCoreApplication>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QRegularExpression>
#include <QRegularExpressionValidator>
#include <QTimer>

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <vector>

#include "app/gui/image_button.h"
#include "app/gui/uinterface.h"
#include "app/textconv.h"
#include "image/transfer.h"
#include "protocol/engine.h"
#include "transport/adapter.h"
#include "ui/form1.h"
#include "ui/key_rules.h"
#include "ui/widgets.h"

namespace aputil {

namespace {

// Restores the cursor that was current when it was made, unless that was done
// already (it goes back before any message is shown).
class WaitCursor {
public:
    WaitCursor() { QGuiApplication::setOverrideCursor(Qt::WaitCursor); }
    ~WaitCursor() { Restore(); }
    WaitCursor(const WaitCursor&) = delete;
    WaitCursor& operator=(const WaitCursor&) = delete;
    void Restore() {
        if (active_) QGuiApplication::restoreOverrideCursor();
        active_ = false;
    }

private:
    bool active_ = true;
};

// Opens the adapter at a usable-list position, with one more try when the
// first fails.
bool OpenUsableAdapter(int position) {
    if (position < 0 || position >= theAdapter.usableCount) return false;
    const int index = theAdapter.usableIndex[position];
    return theAdapter.OpenAdapter(index) || theAdapter.OpenAdapter(index);
}

bool SameMac(const BrowseRecord& a, const BrowseRecord& b) {
    return std::memcmp(a.peer.address, b.peer.address, kMacSize) == 0;
}

// A reply text up to its terminator, never past its field; one Latin-1
// character per byte, as the image holds the name.
QString RecordText(const char (&field)[kBrowseTextSize]) {
    const size_t length = strnlen(field, kBrowseTextSize);
    return QString::fromLatin1(field, static_cast<qsizetype>(length));
}

}  // namespace

void TForm1::BuildLoginPage() {
    Panel1 = new TPicturePanel(this);
    Panel1->setObjectName(QStringLiteral("Panel1"));
    Panel1->setGeometry(0, kHeaderHeight, kClientWidth, 261);

    Label2 = new QLabel(QStringLiteral("password"), Panel1);
    Label2->setObjectName(QStringLiteral("Label2"));
    Label2->move(48, 104);
    Label2->adjustSize();

    Edit1 = new QLineEdit(Panel1);
    Edit1->setObjectName(QStringLiteral("Edit1"));
    Edit1->setGeometry(194, 100, 197, 21);
    Edit1->setMaxLength(kPasswordLength);
    Edit1->setEchoMode(QLineEdit::Password);
    Edit1->setAccessibleName(QStringLiteral("Password"));
    // Typed keys are filtered in Edit1KeyPress; this also keeps out what
    // arrives by other roads (an input method's text).
    Edit1->setValidator(new QRegularExpressionValidator(QRegularExpression(QStringLiteral("[\\x20-\\x7e]*")), Edit1));
    Edit1->installEventFilter(this);

    BitBtn5 = new TImageButton(QStringLiteral("Login"), Panel1);
    BitBtn5->setObjectName(QStringLiteral("BitBtn5"));
    BitBtn5->setGeometry(308, 227, 66, 19);
    connect(BitBtn5, &QPushButton::clicked, this, &TForm1::BitBtn5Click);

    BitBtn6 = new TImageButton(QStringLiteral("Close"), Panel1);
    BitBtn6->setObjectName(QStringLiteral("BitBtn6"));
    BitBtn6->setGeometry(375, 227, 66, 19);
    connect(BitBtn6, &QPushButton::clicked, this, &TForm1::BitBtn6Click);

    Animate1 = new TAnimate(Panel1, 80, 50);
    Animate1->setObjectName(QStringLiteral("Animate1"));
    Animate1->move(192, 24);
    Animate1->LoadClip(QStringLiteral("find.bmp"), 29);
    Animate1->hide();

    // Shown only when no adapter could be opened for want of the raw-packet right.
    auto* hint = new QLabel(Panel1);
    hint->setObjectName(QStringLiteral("PrivilegeHint"));
    hint->setGeometry(8, 160, 447, 40);
    hint->setWordWrap(true);
    hint->setTextFormat(Qt::PlainText);
    hint->setTextInteractionFlags(Qt::TextSelectableByMouse);
    hint->hide();
}

void TForm1::ShowPrivilegeHint() {
    auto* hint = Panel1->findChild<QLabel*>(QStringLiteral("PrivilegeHint"), Qt::FindDirectChildrenOnly);
    if (hint == nullptr) return;
    if (accessPointCount > 0 || !theAdapter.NeedsPrivilege()) {
        hint->hide();
        return;
    }
    hint->setText(QStringLiteral("No network adapter can be opened: run sudo setcap cap_net_raw+ep %1, or install "
                                 "the aputil package.")
                      .arg(QString::fromLocal8Bit(theAdapter.PrivilegedProgram())));
    hint->show();
}

QString TForm1::AccessPointItemText(const BrowseRecord& record) {
    const std::span<const uint8_t, kMacBytes> mac(record.peer.address, kMacBytes);
    return QString::fromLatin1(FormatMacDashed(mac)) + QStringLiteral("  ") + RecordText(record.apName);
}

void TForm1::PaintBrowseFields(bool inactive) {
    for (QWidget* field : {static_cast<QWidget*>(ComboBox1), static_cast<QWidget*>(Edit1)}) {
        QPalette p = field->palette();
        // Greyed like an inactive border while a browse runs; the edit
        // colour of the window otherwise.
        p.setColor(QPalette::Base, inactive ? palette().color(QPalette::Inactive, QPalette::Button)
                                            : QGuiApplication::palette().color(QPalette::Base));
        field->setPalette(p);
    }
}

void TForm1::LIAPP_TimerTimer() {
    LIAPP_Timer->stop();
    // A browse closes the adapter and refills the list: once a login has
    // opened the pages it would pull them from under the user, so it is
    // dropped when the login page is no longer shown.
    if (Panel1->isHidden()) return;
    // Fired inside the wait of another exchange (a login started just before):
    // a browse now would end that exchange's reception, so it comes later.
    if (loggingIn_ || browsing || TUInterface::Waiting()) {
        LIAPP_Timer->start();
        return;
    }
    RefreshAccessPointList();
}

void TForm1::MergeReplies(int adapter, const BrowseRecord* replies, int count) {
    // In the order received; a device already listed keeps its first adapter.
    for (int r = 0; r < count && accessPointCount < kBrowseCapacity; ++r) {
        const BrowseRecord& reply = replies[r];
        const auto begin = accessPointList.begin();
        const auto end = begin + accessPointCount;
        if (std::any_of(begin, end, [&](const AccessPointEntry& e) { return SameMac(e.record, reply); })) continue;
        accessPointList[static_cast<size_t>(accessPointCount)] = AccessPointEntry{adapter, reply};
        ++accessPointCount;
    }
}

void TForm1::RefreshAccessPointList() {
    selectedEntry = -1;
    accessPointCount = 0;
    {
        // Lowered before BrowseFinished, so its receivers may start a login.
        const BusyScope busy(browsing);
        emit BrowseStarted();
        BrowseEveryAdapter();
    }
    emit BrowseFinished();
}

void TForm1::BrowseEveryAdapter() {
    ComboBox1->clear();

    Animate1->Play(1, 29);
    Animate1->show();

    ComboBox1->setEnabled(false);
    Edit1->setEnabled(false);
    PaintBrowseFields(true);
    QCoreApplication::processEvents();

    WaitCursor cursor;
    BitBtn5->setEnabled(false);
    BitBtn6->setEnabled(false);

    const uint16_t savedTimeout = GetTimeout();
    SetTimeout(kBrowseWaitMs);

    const Attribute vendor = TextAttribute(ATTR_VENDOR, kVendorFilter);
    const Attribute product = TextAttribute(ATTR_PRODUCT, kProductFilter);
    const Attribute model = TextAttribute(ATTR_MODEL, allModels ? "" : kModelFilter);

    // Every usable adapter in one reply wait when the driver holds several
    // captures; the list comes out as the one-by-one browse below makes it.
    const bool together = theAdapter.usableCount > 0 && theAdapter.Driver().MaxChannels() > 1;
    const int channels = together ? theAdapter.OpenBrowseChannels() : 0;
    if (channels > 0) {
        currentAdapter = -1;  // each channel's own address is dropped as its frames arrive
        static std::vector<BrowseRecord> channelReplies;
        static std::vector<int> channelCounts;
        channelReplies.resize(static_cast<size_t>(channels) * kBrowseCapacity);
        channelCounts.assign(static_cast<size_t>(channels), 0);
        const int status = BrowseChannels(vendor, product, model, channelReplies.data(), kBrowseCapacity,
                                          channelCounts.data(), channels);
        QCoreApplication::processEvents();
        if (status == STATUS_OK) {
            for (int c = 0; c < channels && accessPointCount < kBrowseCapacity; ++c) {
                const int count = std::clamp(channelCounts[static_cast<size_t>(c)], 0, kBrowseCapacity);
                const BrowseRecord* replies = channelReplies.data() + static_cast<ptrdiff_t>(c) * kBrowseCapacity;
                MergeReplies(theAdapter.channelPosition[c], replies, count);
            }
            for (int i = 0; i < 3; ++i) QCoreApplication::processEvents();
        }
        theAdapter.CloseAdapter();
    }

    for (int k = 0; !together && k < theAdapter.usableCount && accessPointCount < kBrowseCapacity; ++k) {
        if (!OpenUsableAdapter(k)) continue;
        currentAdapter = k;
        int count = kBrowseCapacity;
        const int status = Browse(vendor, product, model, replies_.data(), count);
        QCoreApplication::processEvents();
        if (status == STATUS_OK) {
            MergeReplies(k, replies_.data(), std::clamp(count, 0, kBrowseCapacity));
            for (int i = 0; i < 3; ++i) QCoreApplication::processEvents();
        }
        theAdapter.CloseAdapter();
        currentAdapter = -1;
    }

    // Unsigned byte order from the first byte on; the addresses are unique.
    std::stable_sort(accessPointList.begin(), accessPointList.begin() + accessPointCount,
                     [](const AccessPointEntry& a, const AccessPointEntry& b) {
                         return std::memcmp(a.record.peer.address, b.record.peer.address, kMacSize) < 0;
                     });
    for (int i = 0; i < accessPointCount; ++i) {
        ComboBox1->addItem(AccessPointItemText(accessPointList[static_cast<size_t>(i)].record));
    }

    cursor.Restore();
    ComboBox1->addItem(kept.browseAgain);
    SetTimeout(savedTimeout);

    BitBtn5->setEnabled(accessPointCount > 0);
    BitBtn6->setEnabled(accessPointCount > 0);

    Animate1->Stop();
    Animate1->hide();
    ComboBox1->setEnabled(true);
    Edit1->setEnabled(true);
    Edit1->setFocus();
    PaintBrowseFields(false);

    // activated() is not emitted for these, so ComboBox1Change does not run.
    ComboBox1->setCurrentIndex(accessPointCount > 0 ? 0 : -1);
    ShowPrivilegeHint();
}

void TForm1::BitBtn5Click() {
    if (browsing || loggingIn_ || TUInterface::Waiting()) return;
    if (ComboBox1->count() == 0) return;
    const int position = ComboBox1->currentIndex();
    if (position < 0 || position >= accessPointCount) return;

    // While the exchanges wait, the login button, Enter and the list do
    // nothing, so no second exchange starts inside the wait.
    const BusyScope busy(loggingIn_);

    selectedEntry = position;
    const AccessPointEntry& entry = accessPointList[static_cast<size_t>(position)];
    currentAdapter = entry.adapter;
    WaitCursor cursor;

    if (!OpenUsableAdapter(entry.adapter)) {
        theAdapter.CloseAdapter();
        currentAdapter = -1;
        Logout(currentSession);
        cursor.Restore();
        ShowMessageDialog(kept.connectionFail);
        return;
    }

    const QByteArray password = Edit1->text().left(kPasswordLength).toLatin1();
    uint16_t session = 0;
    if (Login(entry.record.peer, kLoginUser, password.constData(), session) != STATUS_OK) {
        // A refused login keeps the session of an earlier one, which the
        // next failed open still has to release.
        cursor.Restore();
        ShowMessageDialog(kept.invalidPassword);
        return;
    }
    currentSession = session;

    if (!ReadDeviceImage()) {
        cursor.Restore();
        ShowMessageDialog(kept.apInfoNotAvailable);
        return;
    }
    imageSnapshot = configImage;

    FillInformationPage();
    FillSetupPage();
    FillSecurityStatusPage();
    FillAboutPage();
    ResetSecurityPage();

    cursor.Restore();
    Panel1->hide();
    Panel2->show();
    SetPageButtonsEnabled(true);
    emit LoginSucceeded();
}

bool TForm1::Edit1KeyPress(QKeyEvent* event) {
    const int key = event->key();
    if (key == Qt::Key_Return || key == Qt::Key_Enter) {
        if (!Panel1->isHidden() && BitBtn5->isEnabled()) BitBtn5Click();
        return true;  // Enter never reaches the field
    }
    // Keys that move the focus or edit without a character pass as they are,
    // and so do the editing shortcuts; the validator checks what a paste brings.
    if (key == Qt::Key_Tab || key == Qt::Key_Backtab || key == Qt::Key_Backspace || key == Qt::Key_Delete ||
        IsEditingShortcut(event)) {
        return false;
    }
    const QString text = event->text();
    if (text.isEmpty()) return false;
    // With Ctrl held a letter is a control character, whatever text the
    // platform puts in the event.
    if (event->modifiers() & Qt::ControlModifier) return true;
    return !std::all_of(text.begin(), text.end(), [](QChar c) { return c.unicode() >= 0x20 && c.unicode() <= 0x7e; });
}

void TForm1::ResetPageButtonImages() {
    if (!Panel8->isHidden()) {
        BitBtn2->LoadStrip(QStringLiteral("security.bmp"), 4);
    } else if (!Panel3->isHidden()) {
        BitBtn1->LoadStrip(QStringLiteral("info.bmp"), 4);
    }
}

void TForm1::ComboBox1Change(int index) {
    if (browsing || loggingIn_ || applyingSetup || applyingSecurity_) {
        // The list keeps showing the access point being logged in to or
        // configured: a page change inside an exchange's wait would leave the
        // apply running behind the login page.
        ComboBox1->setCurrentIndex(selectedEntry);
        return;
    }
    if (index == accessPointCount) {
        ResetPageButtonImages();
        LIAPP_Timer->start();
        ShowLoginPage();
    } else if (index != selectedEntry) {
        ResetPageButtonImages();
        selectedEntry = index;
        ShowLoginPage();
    }
}

}  // namespace aputil
