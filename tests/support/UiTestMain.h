#pragma once

#include "ui/Resources.h"

#include <QtTest>

// QTEST_MAIN for tests of windows: the program registers the windows' pictures once from
// main(), and so must a test's main().
#define QUILLON_UI_TEST_MAIN(TestObject)                                                           \
    QTEST_MAIN_WRAPPER(TestObject, QTEST_MAIN_SETUP() quillon::ui::InitResources();)
