#pragma once
// The program's picture with its version: three seconds at start-up, and
// again as the About box until it is clicked.

#include <QWidget>

class QLabel;
class QTimer;

namespace kalvex {

// Set when this start shows no splash ("ShowSplashScreen" off, or handing over).
extern bool SplashDisabled;

class TSplashForm : public QWidget {
  Q_OBJECT
public:
  explicit TSplashForm(const QPixmap& picture, QWidget* parent = nullptr);

  // At start-up (unless SplashDisabled): shown with the timer.
  void ShowSplash();
  // The About box: shown without the timer.
  void ShowAbout();
  bool ShowingSplash() const { return showingSplash_; }

  QLabel* Image1 = nullptr;
  QLabel* LVersion = nullptr;
  QTimer* Timer1 = nullptr;

protected:
  void showEvent(QShowEvent* e) override;
  void hideEvent(QHideEvent* e) override;
  bool eventFilter(QObject* watched, QEvent* e) override;

private:
  bool showingSplash_ = false;
};

// The program's own picture (600 x 320) with the version label at (8, 299).
class TSplashForm1 final : public TSplashForm {
  Q_OBJECT
public:
  explicit TSplashForm1(QWidget* parent = nullptr);
};

}  // namespace kalvex
