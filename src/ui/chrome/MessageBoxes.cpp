#include "ui/chrome/MessageBoxes.h"

#include <QMessageBox>
#include <QPushButton>
#include <utility>

namespace quillon::chrome {

void MessageBoxes::askYesNo(QWidget* parent, const QString& title, const QString& text,
                            std::function<void(int)> onAnswer) {
    // The texts carry CR LF line breaks; a label breaks lines at LF only and would show
    // the CR as a stray glyph.
    QString shown = text;
    shown.replace(QLatin1String("\r\n"), QLatin1String("\n"));
    auto* box = new QMessageBox(QMessageBox::Information, title, shown,
                                QMessageBox::Yes | QMessageBox::No, parent);
    box->setAttribute(Qt::WA_DeleteOnClose);
    // The box speaks the program's language whatever the desktop's locale, with the
    // accelerators a Chinese desktop shows.
    box->button(QMessageBox::Yes)->setText(QStringLiteral("是(&Y)"));
    box->button(QMessageBox::No)->setText(QStringLiteral("否(&N)"));
    box->setDefaultButton(QMessageBox::No);
    box->setEscapeButton(QMessageBox::No);
    QObject::connect(box, &QMessageBox::finished, box,
                     [onAnswer = std::move(onAnswer)](int result) {
                         onAnswer(result == QMessageBox::Yes ? Yes : No);
                     });
    box->open();
}

void MessageBoxes::tell(QWidget* parent, const QString& title, const QString& text) {
    auto* box = new QMessageBox(QMessageBox::Warning, title, text, QMessageBox::Ok, parent);
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->button(QMessageBox::Ok)->setText(QStringLiteral("确定"));
    box->open();
}

} // namespace quillon::chrome
