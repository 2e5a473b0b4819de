#include "copied_code.h"

#include <algorithm>
#include <limits>

#include <QByteArray>
#include <QMimeData>

namespace {

const QString secret_hint = QStringLiteral("x-kde-passwordManagerHint");
const QByteArray secret = QByteArrayLiteral("secret");
constexpr auto never = std::numeric_limits<uint64_t>::max();

} // namespace

uint64_t end_of_step(uint64_t step, uint32_t period) {
  if (period == 0 || step > never / period - 1)
    return never;
  return (step + 1) * period;
}

uint64_t copied_code_expiry(uint64_t step, uint64_t now, const std::vector<OtpTokenInfo>& tokens,
                            uint32_t selected_period) {
  uint64_t fitting_end = never;
  bool fits = false;
  bool known = false; // a period other than 0
  bool over_for_all = true;
  auto judge = [&](uint32_t period) {
    if (period == 0)
      return;
    known = true;
    if (now / period == step) {
      fits = true;
      fitting_end = std::min(fitting_end, end_of_step(step, period));
    } else if (now / period < step) {
      over_for_all = false; // a step still to come for this token
    }
  };
  judge(selected_period);
  for (const auto& token : tokens)
    judge(token.period);

  const uint64_t latest =
    selected_period == 0 || now > never - selected_period ? never : now + selected_period;
  if (fits)
    return std::min(fitting_end, latest);
  if (known && over_for_all)
    return now;
  return latest;
}

QMimeData* secret_mime_data(const QString& code) {
  auto data = new QMimeData;
  data->setText(code);
  data->setData(secret_hint, secret);
  return data;
}

bool holds_copied_code(const QMimeData* data, const QString& code) {
  return data && data->hasText() && data->text() == code &&
         data->data(secret_hint) == secret;
}
