#pragma once
// Waiting in a test: runs the event loop until a condition holds. The caller
// asserts the result, so a wait that runs out fails the test where it waits
// (Qt's QTRY_ macros only return from the function under GoogleTest).
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QThread>
#include <functional>

namespace kalvex::test {

// Runs the event loop until cond holds or timeoutMs passed; returns cond().
inline bool WaitUntil(const std::function<bool()>& cond, int timeoutMs = 5000) {
  QElapsedTimer timer;
  timer.start();
  while (!cond()) {
    if (timer.elapsed() > timeoutMs) return cond();
    QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    QThread::usleep(200);
  }
  return true;
}

}  // namespace kalvex::test
