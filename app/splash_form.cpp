#include "app/splash_form.h"

#include <QGuiApplication>
#include <QLabel>
#include <QMouseEvent>
#include <QScreen>
#include <QTimer>

#include "util/paths.h"

// The pictures are compiled into the static library; this pulls them in.
static void InitResources() { Q_INIT_RESOURCE(resources); }

namespace kalvex {

bool SplashDisabled = false;

TSplashForm::TSplashForm(const QPixmap& picture, QWidget* parent)
    : QWidget(parent, Qt::SplashScreen | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint) {
  setAttribute(Qt::WA_ShowWithoutActivating);
  Image1 = new QLabel(this);
  Image1->setPixmap(picture);
  Image1->resize(picture.size());
  Image1->installEventFilter(this);
  LVersion = new QLabel(this);
  LVersion->setAttribute(Qt::WA_TranslucentBackground);
  LVersion->installEventFilter(this);
  Timer1 = new QTimer(this);
  Timer1->setInterval(3000);
  Timer1->setSingleShot(true);
  connect(Timer1, &QTimer::timeout, this, [this] { hide(); });
  if (picture.width() >= 1 && picture.height() >= 1) setFixedSize(picture.size());
}

void TSplashForm::ShowSplash() {
  if (SplashDisabled) return;
  showingSplash_ = true;
  show();
}

void TSplashForm::ShowAbout() {
  showingSplash_ = false;
  show();
  raise();
}

void TSplashForm::showEvent(QShowEvent* e) {
  QWidget::showEvent(e);
  if (showingSplash_)
    Timer1->start();
  else
    Timer1->stop();
  LVersion->setText(QString("v%1 build %2").arg(QString::fromStdString(VersionNumber()),
                                                QString::fromStdString(BuildNumber())));
  if (QScreen* screen = QGuiApplication::primaryScreen())
    move(screen->geometry().center() - QPoint(width() / 2, height() / 2));
  raise();
}

void TSplashForm::hideEvent(QHideEvent* e) {
  showingSplash_ = false;
  Timer1->stop();
  QWidget::hideEvent(e);
}

bool TSplashForm::eventFilter(QObject* watched, QEvent* e) {
  if (e->type() == QEvent::MouseButtonRelease && (watched == Image1 || watched == LVersion)) {
    Timer1->stop();
    hide();
    return true;
  }
  return QWidget::eventFilter(watched, e);
}

namespace {
QPixmap Picture() {
  InitResources();
  return QPixmap(":/kalvex/splash.png");
}
}  // namespace

TSplashForm1::TSplashForm1(QWidget* parent) : TSplashForm(Picture(), parent) {
  LVersion->setGeometry(8, 299, 233, 24);
  LVersion->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
  QFont font = LVersion->font();
  font.setBold(true);
  font.setPixelSize(16);
  LVersion->setFont(font);
  QPalette palette = LVersion->palette();
  palette.setColor(QPalette::WindowText, Qt::white);
  LVersion->setPalette(palette);
  LVersion->raise();
}

}  // namespace kalvex
