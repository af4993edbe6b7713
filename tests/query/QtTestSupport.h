// The Qt side of the query tests: the main-thread queue that the test program installs.
#pragma once

class TQtMainThreadQueue;

// Created by the test program's main after the QApplication.
extern TQtMainThreadQueue* g_qt_queue;
