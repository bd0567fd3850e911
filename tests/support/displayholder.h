#pragma once

// Test programs that start real launchers stay connected to the X server for
// their whole run. An X server resets when its last client leaves, and a
// client that connects during the reset is turned away ("could not connect
// to display"): a launcher ending just before the next one starts must never
// leave the server without clients. Without a display a plain core
// application is made, so that suites can still skip on their own.
//
//   int main(int argc, char** argv)
//   {
//       const auto app = applicationHoldingDisplay(argc, argv);
//       ...
//   }
//
// Header-only, so that suites outside the support library can use it too.

#include <QCoreApplication>
#include <QGuiApplication>
#include <QtTest>
#include <memory>

inline std::unique_ptr<QCoreApplication> applicationHoldingDisplay(int& argc, char** argv)
{
    if (qEnvironmentVariableIsEmpty("DISPLAY"))
        return std::make_unique<QCoreApplication>(argc, argv);
    return std::make_unique<QGuiApplication>(argc, argv);
}

// QTEST_GUILESS_MAIN for such suites.
#define TEST_MAIN_HOLDING_DISPLAY(TestObject)                                                      \
    int main(int argc, char** argv)                                                                \
    {                                                                                              \
        const auto app = applicationHoldingDisplay(argc, argv);                                    \
        TestObject tc;                                                                             \
        QTEST_SET_MAIN_SOURCE_PATH                                                                 \
        return QTest::qExec(&tc, argc, argv);                                                      \
    }
