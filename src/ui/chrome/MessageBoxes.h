#pragma once

#include <QString>
#include <functional>

class QWidget;

namespace quillon::chrome {

// The program's questions go through here, so that a test can put a stand-in that answers
// them in its place (Program::setMessageBoxes).
class MessageBoxes {
public:
    // Standard button codes as the program compares them.
    enum Answer { Yes = 6, No = 7 };

    virtual ~MessageBoxes() = default;

    // Asks a Yes/No question (information icon, No as default) and hands the answer to
    // `onAnswer`. The box does not block: a modal loop here would hold up a rebuild that let
    // events run, and with it every tick, until the user answered.
    virtual void askYesNo(QWidget* parent, const QString& title, const QString& text,
                          std::function<void(int)> onAnswer);
    // Tells the user something went wrong (warning icon, one OK button), without blocking.
    virtual void tell(QWidget* parent, const QString& title, const QString& text);
};

} // namespace quillon::chrome
