#pragma once

#include <QString>

namespace quillon::test {

// tests/data in the source tree.
QString testDataDir();

} // namespace quillon::test
