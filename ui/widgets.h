#pragma once
// Small widgets of the main window: a panel that paints a picture behind its
// controls, and the search animation shown while a browse runs.

#include <QPixmap>
#include <QTimer>
#include <QWidget>

namespace aputil {

// A page or the header: paints `picture` with its top-left corner `offset`
// pixels above the panel's own top edge, clipped by the panel. The pages use
// the header's height as offset, so their picture continues the banner.
class TPicturePanel : public QWidget {
    Q_OBJECT
public:
    explicit TPicturePanel(QWidget* parent);
    void SetPicture(const QPixmap& picture, int offset);
    [[nodiscard]] bool HasPicture() const { return !picture_.isNull(); }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QPixmap picture_;
    int offset_ = 0;
};

// Plays the frames of a strip (frames side by side, all of one width) in a
// loop. Without a strip it draws a simple turning marker, so a browse still
// shows that it is running.
class TAnimate : public QWidget {
    Q_OBJECT
public:
    TAnimate(QWidget* parent, int frameWidth, int frameHeight);
    // Loads "img/<file>" as a strip of `frames` frames; false when unusable.
    bool LoadClip(const QString& file, int frames);
    // Plays frames first..last (1-based) in a loop.
    void Play(int first, int last);
    void Stop();
    [[nodiscard]] bool Active() const { return timer_.isActive(); }
    [[nodiscard]] int CurrentFrame() const { return frame_; }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    void Advance();

    QTimer timer_;
    QPixmap clip_;
    int frames_ = 0;
    int first_ = 1;
    int last_ = 1;
    int frame_ = 1;
};

}  // namespace aputil
