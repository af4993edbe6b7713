// The window tests run inside a QApplication (offscreen).
#include <gtest/gtest.h>

#include <QApplication>

#include "QtTestSupport.h"
#include "window/QtMainThreadQueue.h"
#include "runtime/Thread.h"

TQtMainThreadQueue* g_qt_queue = nullptr;

// Qt is not built with ThreadSanitizer: its mutexes lock with raw futex calls the sanitizer never
// sees, so the copies it makes under them (posting events) look like races. Ignore the memory
// calls made from inside the Qt libraries; our own code stays fully checked.
extern "C" const char* __tsan_default_suppressions() {
  return "called_from_lib:libQt6Core.so.6\n"
         "called_from_lib:libQt6Gui.so.6\n"
         "called_from_lib:libQt6Widgets.so.6\n";
}

int main(int argc, char** argv) {
  MarkMainThread();
  qputenv("QT_QPA_PLATFORM",
          qgetenv("QT_QPA_PLATFORM").isEmpty() ? "offscreen" : qgetenv("QT_QPA_PLATFORM"));
  QApplication app(argc, argv);
  g_qt_queue = new TQtMainThreadQueue;  // left to the process: late posts must find it
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
