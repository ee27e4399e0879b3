#pragma once
// QTEST_MAIN for the window tests, which are also the archive worker that their window's
// clsMpqControl starts: the worker check comes before QApplication. The build includes this
// header ahead of every window test's source, so the tests keep writing QTEST_MAIN(TestClass)
// and get Qt's own main behind the check.
#include "archive/mpq_worker.h"

#include <QtTest/qtest.h>

#undef QTEST_MAIN
#define QTEST_MAIN(TestObject)                                                                                         \
    static int QtTestMain(int argc, char* argv[]) {                                                                    \
        TESTLIB_SELFCOVERAGE_START(#TestObject)                                                                        \
        QT_PREPEND_NAMESPACE(QTest::Internal::callInitMain)<TestObject>();                                             \
        QTEST_MAIN_SETUP()                                                                                             \
        TestObject tc;                                                                                                 \
        QTEST_SET_MAIN_SOURCE_PATH                                                                                     \
        return QTest::qExec(&tc, argc, argv);                                                                          \
    }                                                                                                                  \
    int main(int argc, char* argv[]) {                                                                                 \
        if (IsMpqWorkerInvocation(argc, argv))                                                                         \
            return RunMpqWorker(argc, argv, MakeStormMpqEngine());                                                     \
        return QtTestMain(argc, argv);                                                                                 \
    }
