// The Qt side of the window tests: the main-thread queue that the test program installs, and
// what the window's tests share.
#pragma once

#include <gtest/gtest.h>

#include <QString>
#include <QWidget>
#include <cstdlib>

#include "window/QtText.h"

class TQtMainThreadQueue;

// Created by the test program's main after the QApplication.
extern TQtMainThreadQueue* g_qt_queue;

inline QString U(const char8_t* s) { return FromUtf8(s); }

// VELMORA_SCREENSHOTS=folder keeps pictures of the windows to look at.
inline void SaveScreenshot(QWidget& widget, const char* name) {
  if (const char* dir = std::getenv("VELMORA_SCREENSHOTS")) {
    EXPECT_TRUE(widget.grab().save(QString::fromLocal8Bit(dir) + "/" + name));
  }
}
