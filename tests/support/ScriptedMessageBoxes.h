#pragma once

#include "ui/chrome/MessageBoxes.h"

#include <QList>
#include <QString>
#include <utility>

namespace quillon::test {

// Question boxes that keep the texts asked and give queued answers without showing a box;
// with no answer queued, the real box is shown.
class ScriptedMessageBoxes : public chrome::MessageBoxes {
public:
    void askYesNo(QWidget* parent, const QString& title, const QString& text,
                  std::function<void(int)> onAnswer) override;

    // Messages are kept (title, text), never shown.
    void tell(QWidget*, const QString& title, const QString& text) override {
        told.append({title, text});
    }
    QList<std::pair<QString, QString>> told;

    // The next question is answered `answer` at once.
    void queueAnswer(int answer) { next_.append(answer); }
    // The questions asked so far (title, text).
    QList<std::pair<QString, QString>> asked;

private:
    QList<int> next_;
};

} // namespace quillon::test
