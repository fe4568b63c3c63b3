#pragma once
// A push button that shows one face of a bitmap strip: the faces stand side by
// side in one picture, normal, disabled, pressed and held down (3 or 4 faces;
// a 3-face strip has no held-down face). Without a strip it is a plain button
// showing its fallback text, so a missing picture never hides a control.

#include <QPixmap>
#include <QPushButton>
#include <QString>

namespace aputil {

class TImageButton : public QPushButton {
    Q_OBJECT
public:
    enum Face { FaceNormal = 0, FaceDisabled = 1, FacePressed = 2, FaceHeld = 3 };

    // fallbackText is shown while no strip is loaded and is the accessible name.
    TImageButton(const QString& fallbackText, QWidget* parent);

    // Loads "img/<file>" (see artwork.h) split into `faces` faces (3 or 4).
    // False, and a plain text button, when the file is missing, is no picture
    // or is narrower than one pixel per face.
    bool LoadStrip(const QString& file, int faces);
    // The same from a picture already in memory.
    bool SetStrip(const QPixmap& strip, int faces, const QString& file = {});

    [[nodiscard]] bool HasStrip() const { return !strip_.isNull(); }
    [[nodiscard]] int FaceCount() const { return faces_; }
    [[nodiscard]] QString StripFile() const { return file_; }
    // The face the button shows in its present state.
    [[nodiscard]] Face CurrentFace() const;
    // The picture of one face, or a null pixmap without a strip.
    [[nodiscard]] QPixmap FacePixmap(Face face) const;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    void ClearStrip();

    QString fallbackText_;
    QString file_;
    QPixmap strip_;
    int faces_ = 0;
};

}  // namespace aputil
