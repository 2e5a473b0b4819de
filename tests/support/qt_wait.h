#pragma once

#include <QApplication>
#include <QElapsedTimer>

namespace testing_support {

// Runs the Qt event loop, deferred deletions included, until `done` holds or
// `ms` milliseconds have passed; returns whether it holds.
template <class Predicate>
bool wait_for(Predicate done, int ms = 5000) {
  QElapsedTimer timer;
  timer.start();
  while (!done() && timer.elapsed() < ms) {
    QApplication::processEvents(QEventLoop::AllEvents, 20);
    QApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
  }
  return done();
}

} // namespace testing_support
