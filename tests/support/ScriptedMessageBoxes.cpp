#include "support/ScriptedMessageBoxes.h"

namespace quillon::test {

void ScriptedMessageBoxes::askYesNo(QWidget* parent, const QString& title, const QString& text,
                                    std::function<void(int)> onAnswer) {
    asked.append({title, text});
    if (!next_.isEmpty()) {
        onAnswer(next_.takeFirst());
        return;
    }
    MessageBoxes::askYesNo(parent, title, text, std::move(onAnswer));
}

} // namespace quillon::test
