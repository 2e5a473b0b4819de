// Renders the main window with each of its pages, and the About box, into
// PNG files: the real widgets against the simulated service, on whatever
// display Qt is given (the screenshot script runs it under Xvfb). On a
// high-DPI screen the files are named NAME@2x.png and hold device pixels.
//
// Usage: screenshots FIDO_OTP_SIM OUTPUT_DIR

#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <string>

#include "caf/all.hpp"

#include <QAction>
#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QLabel>
#include <QLineEdit>
#include <QPixmap>
#include <QPushButton>

#include "about_diag.h"
#include "app_system.h"
#include "high_dpi.h"
#include "qt_wait.h"
#include "free_port.h"
#include "main_window/main_window.h"
#include "otp/otp_widget.h"
#include "pin/login_page.h"
#include "pin/set_pin_widget.h"
#include "quill_common_config.h"
#include "sim_process.h"
#include "vocabulary.h"

using testing_support::SimProcess;

using testing_support::wait_for;

namespace {

QString out_dir;
QString suffix; // "@2x" on a screen with a device pixel ratio of 2

void settle(int ms = 300) {
  wait_for([] { return false; }, ms);
}

void save(QWidget& w, const char* name) {
  settle();
  auto path = out_dir + "/" + name + suffix + ".png";
  if (!w.grab().save(path))
    std::cerr << "cannot write " << path.toStdString() << std::endl;
  else
    std::cout << "wrote " << path.toStdString() << std::endl;
}

void require(bool ok, const char* what) {
  if (!ok) {
    std::cerr << "screenshots: " << what << std::endl;
    std::fflush(nullptr);
    std::_Exit(1);
  }
}

bool shows_code(MainWindow& w) {
  auto page = w.findChild<OtpWidget*>();
  return page && !page->displayed_code().isEmpty();
}

} // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::cerr << "usage: screenshots FIDO_OTP_SIM OUTPUT_DIR" << std::endl;
    return 2;
  }
  std::string sim = argv[1];
  out_dir = argv[2];
  QDir().mkpath(out_dir);

  static quill_common_config config;
  init_global_meta_objects(config);
  app_system = new caf::actor_system(config);
  int qt_argc = 0;
  enable_high_dpi_scaling();
  QApplication app(qt_argc, nullptr);
  if (app.devicePixelRatio() > 1)
    suffix = QString("@%1x").arg(app.devicePixelRatio());

  {
    MainWindow w{testing_support::unused_port()};
    w.show();
    save(w, "no-service");
  }
  {
    SimProcess key(sim, R"({"pin": "1234", "policy_enabled": true,
                            "pin_policy": {"min_length": 6, "max_length": 8, "digits_only": true}})");
    MainWindow w{key.port()};
    w.show();
    save(w, "login");
    auto login = w.findChild<LoginPage*>();
    require(login != nullptr, "no login page");
    login->findChild<QLineEdit*>("le_pin")->setText("1234");
    login->findChild<QPushButton*>("bt_go")->click();
    require(wait_for([&] { return shows_code(w); }, 8000), "no code after login");
    settle(1200);
    save(w, "otp-codes");
    w.findChild<QAction*>("actionChange_PIN")->trigger();
    auto page = w.findChild<SetPinWidget*>();
    require(page != nullptr, "no change PIN page");
    page->findChild<QLineEdit*>("le_old_pin")->setText("1234");
    page->findChild<QLineEdit*>("le_new_pin")->setText("12ab");
    page->findChild<QLineEdit*>("le_new_pin1")->setText("12ab");
    page->findChild<QPushButton*>("bt_set_pin")->click();
    require(wait_for([&] { return !page->findChild<QLabel*>("lb_msg")->text().isEmpty(); }),
            "no policy verdict");
    save(w, "change-pin");
  }
  {
    SimProcess key(sim, R"({"policy_enabled": true})");
    MainWindow w{key.port()};
    w.show();
    require(wait_for([&] { return w.findChild<OtpWidget*>() != nullptr; }), "no OTP page");
    require(wait_for([&] {
              return !w.findChild<OtpWidget*>()->findChild<QLabel*>("lb_msg")->text().isEmpty();
            }),
            "no policy message");
    save(w, "otp-pin-required");
    w.findChild<QAction*>("actionChange_PIN")->trigger();
    require(w.findChild<SetPinWidget*>() != nullptr, "no set PIN page");
    save(w, "set-pin");
  }
  {
    AboutDiag about(nullptr);
    about.show();
    save(about, "about");
  }
  std::cout.flush();
  std::fflush(nullptr);
  std::_Exit(0);
}
