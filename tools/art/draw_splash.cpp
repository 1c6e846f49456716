// Draws the splash picture (600 x 320): run once, the PNG is committed.
//   draw_splash OUT.png
#include <QFont>
#include <QGuiApplication>
#include <QImage>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <cstdio>

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: draw_splash OUT.png\n");
    return 2;
  }
  qputenv("QT_QPA_PLATFORM", "offscreen");
  QGuiApplication app(argc, argv);
  QImage image(600, 320, QImage::Format_RGB888);
  QPainter p(&image);
  p.setRenderHint(QPainter::Antialiasing);
  QLinearGradient sky(0, 0, 0, 320);
  sky.setColorAt(0, QColor("#2f4f86"));
  sky.setColorAt(1, QColor("#101a2e"));
  p.fillRect(image.rect(), sky);
  // Columns of hex bytes, fading into the background.
  QFont mono("DejaVu Sans Mono");
  mono.setPixelSize(13);
  p.setFont(mono);
  const char* rows[] = {"F0 43 10 4C 00 00 7E 00 F7", "F0 41 10 42 12 40 00 7F 41 F7",
                        "F0 7E 7F 06 01 F7", "90 3C 7F", "F0 00 20 33 01 10 F7", "B0 07 64",
                        "F0 43 00 09 20 00 3C 54 F7", "F0 7F 7F 04 01 00 7F F7"};
  for (int i = 0; i < 4; ++i) {
    p.setPen(QColor(232, 238, 252, 70 + 25 * i));
    p.drawText(330, 40 + i * 30, rows[i]);
  }
  // A MIDI socket.
  p.setPen(QPen(QColor("#e8eefc"), 6));
  p.setBrush(QColor("#1d2b4a"));
  p.drawEllipse(QPointF(150, 140), 90, 90);
  p.setPen(Qt::NoPen);
  p.setBrush(QColor("#e8eefc"));
  p.drawRoundedRect(QRectF(130, 52, 40, 20), 4, 4);
  p.setBrush(QColor("#ffcc33"));
  for (QPointF pin : {QPointF(90, 140), QPointF(210, 140), QPointF(108, 98), QPointF(192, 98), QPointF(150, 185)})
    p.drawEllipse(pin, 12, 12);
  // The name.
  QFont title("DejaVu Sans");
  title.setPixelSize(64);
  title.setBold(true);
  p.setFont(title);
  p.setPen(Qt::white);
  p.drawText(QRect(270, 150, 320, 80), Qt::AlignLeft | Qt::AlignVCenter, "Kalvex");
  QFont sub("DejaVu Sans");
  sub.setPixelSize(17);
  p.setFont(sub);
  p.setPen(QColor("#ffcc33"));
  p.drawText(QRect(274, 222, 320, 30), Qt::AlignLeft | Qt::AlignVCenter, "MIDI System Exclusive, exactly");
  // A darker band for the version label at the bottom left.
  p.fillRect(QRect(0, 290, 600, 30), QColor(0, 0, 0, 90));
  p.end();
  return image.save(argv[1]) ? 0 : 1;
}
