#pragma once
// The main window: a fixed 463 x 446 window with the header strip (banner, AP
// list, page buttons) and one page below it at a time: login, information,
// basic setup, security status, security configuration or about. Controls
// carry their names (BitBtn5, Edit1, ...) as object names, so tests and later
// pages find them with findChild.

#include <QString>
#include <QWidget>

#include <array>
#include <cstdint>
#include <optional>

#include "app/managed_ap.h"
#include "image/transfer.h"
#include "protocol/operations.h"

class QCheckBox;
class QComboBox;
class QGroupBox;
class QKeyEvent;
class QLabel;
class QLineEdit;
class QProxyStyle;
class QRadioButton;
class QTimer;
class QTreeWidget;

namespace aputil {

enum class KeyCharClass;
class InputGate;
class InstanceGuard;
class TAnimate;
class TImageButton;
class TPicturePanel;

// One access point found by a browse: the usable-adapter position it answered
// on, and its browse reply as received.
struct AccessPointEntry {
    int adapter = -1;
    BrowseRecord record;
};

// The catalogue texts looked up once at creation and kept for the whole run;
// a key the catalogue lacks leaves its text empty.
struct KeptTexts {
    QString invalidPassword;
    QString passwordMismatch;
    QString invalidWep;
    QString connectionFail;
    QString apInfoNotAvailable;
    QString wepKeyUncompleted;
    QString ipError;
    QString maskError;
    QString gwError;
    QString macError;
    QString macAccNo;
    QString macAccAddr;
    QString macLimit;
    QString macDuplex;
    QString browseAgain;
    QString disabled;
    QString wep64;
    QString wep128;
    QString warningMsg;
    QString writeFail;        // "WRITE_FAIL": an apply could not write the image
    QString textNotStorable;  // "TEXT_NOT_STORABLE": a field holds a character the image cannot
};

inline constexpr int kBrowseDelayMs = 100;   // LIAPP_Timer
inline constexpr int kReturnPauseMs = 2000;  // ReturnToLogin
inline constexpr int kClientWidth = 463;     // every page spans the window's width
inline constexpr int kClientHeight = 446;
inline constexpr int kHeaderHeight = 135;

class TForm1 : public QWidget {
    Q_OBJECT
public:
    // guard: the single-instance check run during construction (none in
    // tests that build a window of their own).
    explicit TForm1(InstanceGuard* guard = nullptr, QWidget* parent = nullptr);
    ~TForm1() override;

    // True when the single-instance check found another copy running: the
    // program then ends without showing the window.
    [[nodiscard]] bool IsDuplicate() const { return duplicate_; }

    // Shows text in the message dialog, modally (Label1 of TMessageForm).
    void ShowMessageDialog(const QString& text);
    // The text of the latest message shown, and how many were shown.
    [[nodiscard]] const QString& LastMessage() const { return lastMessage_; }
    [[nodiscard]] int MessageCount() const { return messageCount_; }

    // ---- window state ----
    std::array<AccessPointEntry, kBrowseCapacity> accessPointList{};
    int accessPointCount = 0;
    int selectedEntry = -1;
    bool browsing = false;
    bool allModels = false;
    ConfigImage imageSnapshot{};
    KeptTexts kept;

    // ---- header: Panel7 ----
    TPicturePanel* Panel7 = nullptr;
    QLabel* Image1 = nullptr;
    QLabel* Label1 = nullptr;
    QComboBox* ComboBox1 = nullptr;
    TImageButton* BitBtn1 = nullptr;
    TImageButton* BitBtn2 = nullptr;
    TImageButton* BitBtn3 = nullptr;
    QLabel* AllModelLabel = nullptr;

    // ---- login: Panel1 ----
    TPicturePanel* Panel1 = nullptr;
    QLabel* Label2 = nullptr;
    QLineEdit* Edit1 = nullptr;
    TImageButton* BitBtn5 = nullptr;
    TImageButton* BitBtn6 = nullptr;
    TAnimate* Animate1 = nullptr;

    // ---- information: Panel2 ----
    TPicturePanel* Panel2 = nullptr;
    QLabel* Label26 = nullptr;
    QLabel* Label19 = nullptr;
    QLabel* Label4 = nullptr;
    QLabel* Label3 = nullptr;
    QLabel* Label5 = nullptr;
    QLabel* Label23 = nullptr;
    QLabel* Label6 = nullptr;
    QLabel* Label24 = nullptr;
    QLabel* Label41 = nullptr;
    QLabel* Label49 = nullptr;
    QLabel* Label48 = nullptr;
    QLabel* Label50 = nullptr;
    TImageButton* BitBtn7 = nullptr;
    QLabel* Image8 = nullptr;
    QLabel* Image9 = nullptr;
    QLabel* Image10 = nullptr;
    QLabel* Image11 = nullptr;

    // ---- basic setup: Panel3 ----
    TPicturePanel* Panel3 = nullptr;
    QLabel* Label7 = nullptr;
    QLineEdit* Edit2 = nullptr;
    QLabel* Label9 = nullptr;
    QComboBox* ComboBox2 = nullptr;
    QLabel* Label18 = nullptr;
    QLineEdit* Edit5 = nullptr;
    QLabel* Label51 = nullptr;
    QLineEdit* MaskEdit25 = nullptr;
    QLabel* Label52 = nullptr;
    QLineEdit* MaskEdit26 = nullptr;
    QLabel* Label53 = nullptr;
    QLineEdit* MaskEdit27 = nullptr;
    QLabel* Label10 = nullptr;
    QLineEdit* Edit3 = nullptr;
    QLabel* Label11 = nullptr;
    QLineEdit* Edit4 = nullptr;
    TImageButton* BitBtn20 = nullptr;
    TImageButton* BitBtn8 = nullptr;
    QLabel* Image12 = nullptr;
    QLabel* Image13 = nullptr;
    QLabel* Image14 = nullptr;
    QLabel* Image16 = nullptr;
    QLabel* Image17 = nullptr;
    // Channel number of each ComboBox2 entry, in list order.
    std::array<int, 14> channelOfItem{};
    // Name and SSID as the fill put them into Edit5 and Edit2: an apply leaves
    // a field that still shows them alone, so the stored bytes stay as read.
    QString apNameAsFilled;
    QString ssidAsFilled;
    // True while BitBtn8Click runs; apply and cancel do nothing meanwhile.
    bool applyingSetup = false;
    // The channel list, name and SSID from the image.
    void FillSetupPage();
    void BitBtn7Click();
    void BitBtn20Click();
    void BitBtn8Click();
    // Each returns true when the key must not reach its field.
    bool Edit2KeyPress(QKeyEvent* event);
    bool Edit3KeyPress(QKeyEvent* event);
    bool Edit4KeyPress(QKeyEvent* event);

    // ---- security status: Panel4 ----
    TPicturePanel* Panel4 = nullptr;
    QLabel* Label88 = nullptr;
    QLabel* Label12 = nullptr;
    QLabel* Label25 = nullptr;
    QLabel* Label17 = nullptr;
    QLabel* Label85 = nullptr;
    QTreeWidget* ListView1 = nullptr;
    TImageButton* BitBtn9 = nullptr;
    // Encryption text and the MAC access table, enabled or greyed.
    void FillSecurityStatusPage();

    // ---- about: Panel6 ----
    TPicturePanel* Panel6 = nullptr;
    QLabel* Label15 = nullptr;
    QLabel* Label30 = nullptr;
    QLabel* Label16 = nullptr;
    QLabel* Label31 = nullptr;
    QLabel* Label20 = nullptr;
    QLabel* Label27 = nullptr;
    QLabel* Label21 = nullptr;
    QLabel* Label28 = nullptr;

    // ---- security configuration: Panel8 ----
    TPicturePanel* Panel8 = nullptr;
    QLabel* Label35 = nullptr;
    QLabel* Label37 = nullptr;
    QGroupBox* GroupBox1 = nullptr;
    QGroupBox* GroupBox2 = nullptr;
    QGroupBox* GroupBox3 = nullptr;
    QGroupBox* GroupBox4 = nullptr;
    QGroupBox* GroupBox5 = nullptr;
    QRadioButton* RadioButton9 = nullptr;
    QRadioButton* RadioButton1 = nullptr;
    QRadioButton* RadioButton4 = nullptr;
    QRadioButton* RadioButton5 = nullptr;
    QRadioButton* RadioButton6 = nullptr;
    QRadioButton* RadioButton7 = nullptr;
    QRadioButton* RadioButton8 = nullptr;
    QRadioButton* RadioButton10 = nullptr;
    QRadioButton* RadioButton11 = nullptr;
    // Key k (1..4), segment s (1..6) is MaskEdit[6 * (k - 1) + s - 1], named
    // "MaskEdit" followed by 6 * (k - 1) + s.
    std::array<QLineEdit*, 24> MaskEdit{};
    QCheckBox* CheckBox3 = nullptr;
    QLabel* Label43 = nullptr;
    QLineEdit* MaskEdit28 = nullptr;
    QTreeWidget* ListView3 = nullptr;
    TImageButton* BitBtn15 = nullptr;
    TImageButton* BitBtn16 = nullptr;
    TImageButton* BitBtn17 = nullptr;
    QLabel* Label45 = nullptr;
    QLabel* Label46 = nullptr;
    QLabel* Label47 = nullptr;
    TImageButton* BitBtn18 = nullptr;
    TImageButton* BitBtn19 = nullptr;

    // Encryption mode as chosen on the page (the mode radio button that is
    // on), numbered as the image's wepMode byte; the key format likewise.
    enum class EncryptionMode { Disabled = 0, Wep64 = 1, Wep128 = 2 };
    enum class KeyFormat { None, Ascii, Hex };
    // The key being edited: 0..3, or -1 while no row radio button is on.
    int editedKeyIndex = -1;

    // Page: reset at login, entry, tabs, mode buttons, apply and cancel.
    void ResetSecurityPage();
    void BitBtn9Click();
    void Label35MouseDown();
    void Label37MouseDown();
    void RadioButton9Click();
    void RadioButton1Click();
    void RadioButton4Click();
    void BitBtn18Click();
    void BitBtn19Click();
    // True while BitBtn19Click writes to the device; the page ignores a
    // second apply meanwhile.
    [[nodiscard]] bool ApplyingSecurity() const { return applyingSecurity_; }
    [[nodiscard]] EncryptionMode SelectedEncryptionMode() const;
    [[nodiscard]] KeyFormat SelectedKeyFormat() const;

    // WEP key editor. Segment s (1..6) of key k (0..3).
    [[nodiscard]] QLineEdit* KeySegment(int key, int s) const;
    void RadioButton5Click();
    void RadioButton6Click();
    void RadioButton7Click();
    void RadioButton8Click();
    void RadioButton10Click();
    void RadioButton11Click();
    // The segment family, by segment number 1..24 (MaskEdit1..MaskEdit24).
    // The key press returns true when the key must not reach the segment.
    bool MaskEditKeyPress(int number, QKeyEvent* event);
    // The characters segment `number` takes with the format now chosen.
    [[nodiscard]] KeyCharClass SegmentCharClass(int number) const;
    void MaskEditChange(int number);
    void MaskEditClick(int number);
    void ApplyKeyEditorLayout(EncryptionMode mode, KeyFormat format);
    void ShowKeysFromImage();
    void ConvertAsciiKeysToHex();
    [[nodiscard]] QString AssembleKeyText() const;
    bool WepSettingsChanged();

    // MAC access table editor.
    void CheckBox3Click();
    // Returns true when the key must not reach MaskEdit28.
    bool MaskEdit28KeyPress(QKeyEvent* event);
    void ListView3Click();
    void BitBtn15Click();
    void BitBtn16Click();
    void BitBtn17Click();
    [[nodiscard]] bool MacSettingsChanged() const;
    // Rows, field and switch from the image (login and cancel).
    void FillMacAccessTab();

    QTimer* LIAPP_Timer = nullptr;

    // ---- handlers and routines ----
    void FormCreate();
    void FormShow();
    // Ctrl+Shift+F4: every later browse goes out without the model filter.
    // Returns true when the event was the chord.
    bool FormKeyDown(QKeyEvent* event);
    bool ComboBox1KeyDown(QKeyEvent* event);
    void BitBtn1Click();
    void BitBtn2Click();
    void BitBtn3Click();
    void BitBtn6Click();
    void ReturnToLogin();
    // How ReturnToLogin waits: the thread sleeps, handling nothing. Tests put
    // the user's input into the queue meanwhile, as a window system would.
    static inline void (*returnPause)(int ms) = nullptr;
    // The common end of both apply pages: takes the edited image, writes it
    // when it differs from imageSnapshot, always sends the finish request,
    // reports a failed write, then returns to the login page.
    void ApplyEditedImage(const ConfigImage& edited);

    void LIAPP_TimerTimer();
    void RefreshAccessPointList();
    // Appends a browse's replies on usable adapter `adapter` to the list.
    void MergeReplies(int adapter, const BrowseRecord* replies, int count);
    // The line that names the fix when no adapter could be opened for want of the right.
    void ShowPrivilegeHint();
    void BitBtn5Click();
    // Returns true when the key must not reach Edit1.
    bool Edit1KeyPress(QKeyEvent* event);
    void ComboBox1Change(int index);

    // Page fills run by a successful login, in the login's order.
    void FillInformationPage();
    void FillAboutPage();

    // The list item text of an access point: "xx-xx-xx-xx-xx-xx  name".
    static QString AccessPointItemText(const BrowseRecord& record);
    // A catalogue text, or nothing when the key is missing.
    static std::optional<QString> CatalogueText(const char* key);

    // True while BitBtn5Click runs its exchanges.
    [[nodiscard]] bool LoggingIn() const { return loggingIn_; }
    // The echo character of the password and key fields.
    [[nodiscard]] QChar PasswordChar() const { return passwordChar_; }

signals:
    void BrowseStarted();
    void BrowseFinished();
    void LoginSucceeded();

protected:
    void showEvent(QShowEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    // Raises a busy flag for as long as it lives: every way out of a handler
    // lowers it again, so no early return leaves the window refusing input.
    class BusyScope {
    public:
        explicit BusyScope(bool& flag) : flag_(flag) { flag_ = true; }
        ~BusyScope() { flag_ = false; }
        BusyScope(const BusyScope&) = delete;
        BusyScope& operator=(const BusyScope&) = delete;

    private:
        bool& flag_;
    };

    void BuildHeader();
    void BuildLoginPage();
    void BuildStatusPages();
    void BuildSetupPage();
    void BuildSecurityPage();
    void LoadPictures();
    void ApplyWindowFont();
    void ApplyCatalogueTexts();
    void KeepValuesClearOfCaptions();
    void KeepCatalogueTexts();
    void LoadButtonImages();
    void SetPasswordChar(QChar c);
    // The login page, with the page buttons disabled.
    void ShowLoginPage();
    // The three page buttons of the header (information, security, about)
    // are usable together or not at all.
    void SetPageButtonsEnabled(bool enabled);
    // The body of RefreshAccessPointList, run while `browsing` is up.
    void BrowseEveryAdapter();
    void ConnectSecurityPage();
    void ShowWepTab();
    [[nodiscard]] int CheckedKeyRow() const;
    void ResetPageButtonImages();
    // Greys the AP list and the password field during a browse, or gives
    // them back their edit colour.
    void PaintBrowseFields(bool inactive);
    bool LoadCatalogue();

    bool duplicate_ = false;
    bool loggingIn_ = false;
    bool applyingSecurity_ = false;
    QString lastMessage_;
    int messageCount_ = 0;
    QChar passwordChar_ = QLatin1Char('*');
    QProxyStyle* passwordStyle_ = nullptr;
    // Sees the application's input before any control: drops the second
    // press of a double-click that opened a page, and input given while the
    // window pauses.
    InputGate* inputGate_ = nullptr;
    std::array<BrowseRecord, kBrowseCapacity> replies_{};
};

}  // namespace aputil
