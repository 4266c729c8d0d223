#include "ui/Resources.h"

#include <QtGlobal>

// Q_INIT_RESOURCE declares a function in the global namespace, so it cannot be used inside
// the project's namespace.
static void initAll() {
    Q_INIT_RESOURCE(chrome);
    Q_INIT_RESOURCE(monitor);
    Q_INIT_RESOURCE(settings);
    Q_INIT_RESOURCE(shell);
}

namespace quillon::ui {

void InitResources() {
    static const bool done = (initAll(), true);
    (void)done;
}

} // namespace quillon::ui
