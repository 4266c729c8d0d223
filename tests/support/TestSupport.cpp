#include "support/TestSupport.h"

#include <QtGlobal>

namespace quillon::test {

QString testDataDir() {
    return qEnvironmentVariable("QUILLON_TEST_DATA", QStringLiteral(QUILLON_SOURCE_TEST_DATA));
}

} // namespace quillon::test
