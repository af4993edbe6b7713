// The query tests run inside a QApplication (offscreen), since the window tests need one.
#include <QApplication>
#include <gtest/gtest.h>

#include "QtTestSupport.h"
#include "query/QtMainThreadQueue.h"
#include "runtime/Thread.h"

TQtMainThreadQueue* g_qt_queue = nullptr;

int main(int argc, char** argv) {
  MarkMainThread();
  qputenv("QT_QPA_PLATFORM", qgetenv("QT_QPA_PLATFORM").isEmpty() ? "offscreen"
                                                                   : qgetenv("QT_QPA_PLATFORM"));
  QApplication app(argc, argv);
  g_qt_queue = new TQtMainThreadQueue;  // left to the process: late posts must find it
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
