#include "ui/chrome/SkinImage.h"

#include <QMouseEvent>
#include <QPaintEvent>
#include <QPainter>

namespace quillon::chrome {

SkinImage::SkinImage(QWidget* parent) : QWidget(parent) {}

void SkinImage::setPicture(const QPixmap& picture) {
    picture_ = picture;
    update();
}

void SkinImage::paintEvent(QPaintEvent*) {
    if (picture_.isNull()) {
        return;
    }
    QPainter painter(this);
    painter.drawPixmap(0, 0, picture_);
}

void SkinImage::mousePressEvent(QMouseEvent* event) {
    event->accept();
}

void SkinImage::mouseReleaseEvent(QMouseEvent* event) {
    event->accept();
}

} // namespace quillon::chrome
