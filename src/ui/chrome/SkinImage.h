#pragma once

#include <QPixmap>
#include <QString>
#include <QWidget>

namespace quillon::chrome {

// A windowless picture of the frame: shows its picture (or nothing) at its top-left corner,
// never paints a background of its own (what lies beneath shows through where it has no
// picture), and carries a tag text. The caption buttons use the tag as their hover flag.
class SkinImage : public QWidget {
    Q_OBJECT
public:
    explicit SkinImage(QWidget* parent);

    const QPixmap& picture() const { return picture_; }
    // A null pixmap empties the picture.
    void setPicture(const QPixmap& picture);

    QString tag;

protected:
    void paintEvent(QPaintEvent* event) override;
    // Presses and releases stop here: a press on a grip or on the title strip never reaches
    // the window or whatever lies beneath.
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;

private:
    QPixmap picture_;
};

} // namespace quillon::chrome
