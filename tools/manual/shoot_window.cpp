// Screenshots of the real window for the manual, drawn offscreen:
//   shoot_window OUTDIR
// window-received.png: a dump sent through the loopback cable and received;
// settings.png: the settings dialog.
#include <QApplication>
#include <QDir>
#include <QTemporaryDir>
#include <QTest>
#include <cstdio>

#include "app/app_services.h"
#include "editor/zelk_memo.h"
#include "workbench/kvx_form.h"
#include "workbench/settings_form.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: shoot_window OUTDIR\n");
    return 2;
  }
  qputenv("QT_QPA_PLATFORM", "offscreen");
  qputenv("JACK_DEFAULT_SERVER", "kalvex_no_server");
  qputenv("JACK_NO_START_SERVER", "1");
  QTemporaryDir config;  // never the user's settings
  qputenv("XDG_CONFIG_HOME", config.path().toUtf8());
  QApplication app(argc, argv);
  QApplication::setFont(QFont("DejaVu Sans", 9));
  const QString out = QString::fromLocal8Bit(argv[1]);
  QDir().mkpath(out);

  kalvex::TAppServices services(nullptr);
  kalvex::TKVXForm form({}, nullptr, [&](kalvex::TKVXForm& f) { services.Attach(f); });
  form.resize(900, 520);
  QFont mono("DejaVu Sans Mono", 9);
  form.SXOutput->SetFont(mono);
  form.SXInput->SetFont(mono);
  form.LogOut->SetFont(mono);
  form.LogIn->SetFont(mono);
  form.show();
  if (!QTest::qWaitForWindowExposed(&form)) return 1;
  QApplication::processEvents();
  form.SelectOutput("Kalvex Loopback 1");
  form.SelectInput("Kalvex Loopback 1");
  form.SendSettings().SendSpeed = 1000;
  form.SXOutput->Lines().SetText(
      "// Yamaha DX7: one voice, and a request for all 32\r\n"
      "F0 43 00 00 01 1B 63 63 63 63 63 63 63 00 00 00 00 00 00 00 00 00 00 00 F7\r\n"
      "F0 43 20 09 F7          ; bulk dump request\r\n"
      "90 3C 64                ; note on, middle C\r\n"
      "80 3C 00                ; note off\r\n");
  form.BSendClick();
  for (int i = 0; i < 50; ++i) {
    QApplication::processEvents();
    QTest::qWait(10);
  }
  if (!form.grab().save(out + "/window-received.png")) return 1;

  form.SendSettings().SendSpeed = -500;
  form.SettingsForm->ShowSettings();
  QApplication::processEvents();
  QTest::qWait(50);
  if (!form.SettingsForm->grab().save(out + "/settings.png")) return 1;
  form.SettingsForm->close();
  return 0;
}
