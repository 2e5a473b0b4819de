// The OTP page against the scriptable service reached over TCP, as the main
// window reaches the real one, with production pacing and the system clock.

#include "caf/all.hpp"
#include "caf/io/middleman.hpp"

#include <QComboBox>
#include <QElapsedTimer>
#include <QLabel>
#include <QProgressBar>

#include <gtest/gtest.h>

#include "app_system.h"
#include "fake_fido_service.h"
#include "otp/name_codec.h"
#include "otp/otp_widget.h"
#include "otp_test_support.h"
#include "request.h"

using namespace otp_testing;

namespace {

// Six digits from the name and the time step, leading zeros kept.
std::string six_digits(const fake::otp_request& r) {
  auto n = (std::hash<std::string>{}(r.name) + r.time / 30) % 1000000;
  auto digits = std::to_string(n);
  return std::string(6 - digits.size(), '0') + digits;
}

} // namespace

TEST(OtpEndToEnd, ShowsTheServiceCodeOverTcpWithinSeconds) {
  fake::FidoService service{*app_system};
  const std::string name = "mail \xff\xfe"; // not UTF-8: must come back unchanged
  service.set_tokens({{name, 30}, {"other", 60}});
  service.set_code(six_digits);
  auto port = service.publish();

  auto remote = app_system->middleman().remote_actor("127.0.0.1", port);
  ASSERT_TRUE(remote) << app_system->render(remote.error());
  auto fido = request_blocking<caf::actor>(*app_system, *remote, ::get_atom{},
                                           ::actor_fido_otp{});
  ASSERT_TRUE(fido) << fido.error_text();

  QElapsedTimer timer;
  timer.start();
  OtpWidget page{nullptr, caf::actor_cast<fido_otp_actor>(*fido), ""};
  ASSERT_TRUE(wait_until([&] { return !page.displayed_code().isEmpty(); }, 5000ms))
    << page.findChild<QLabel*>("lb_msg")->text().toStdString();
  std::cerr << "[ timing ] first code shown after " << timer.elapsed() << " ms\n";

  auto asked = service.otp_requests();
  ASSERT_EQ(asked.size(), 1u);
  EXPECT_EQ(asked[0].name, name);
  EXPECT_EQ(asked[0].pin, "");
  EXPECT_TRUE(asked[0].hw_access);
  auto now = std::chrono::duration_cast<std::chrono::seconds>(
               std::chrono::system_clock::now().time_since_epoch())
               .count();
  EXPECT_NEAR(double(asked[0].time), double(now), 5.0) << "UNIX time in seconds";
  EXPECT_EQ(page.displayed_code().toStdString(), six_digits(asked[0]));
  EXPECT_EQ(name_from_qstring(page.findChild<QComboBox*>("comboBox")->currentText()), name);
  EXPECT_EQ(page.findChild<QLabel*>("lb_msg")->text(), "");

  // The countdown runs on its own once a second.
  auto bar = page.findChild<QProgressBar*>("progressBar");
  ASSERT_TRUE(wait_until([&] { return bar->maximum() == 30; }, 2000ms));
  EXPECT_LT(bar->value(), 30);
}
