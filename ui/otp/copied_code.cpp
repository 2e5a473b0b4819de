#include "copied_code.h"

#include <limits>

#include <QByteArray>
#include <QMimeData>

namespace {

const QString secret_hint = QStringLiteral("x-kde-passwordManagerHint");
const QByteArray secret = QByteArrayLiteral("secret");

} // namespace

uint64_t end_of_step(uint64_t step, uint32_t period) {
  constexpr auto never = std::numeric_limits<uint64_t>::max();
  if (period == 0 || step > never / period - 1)
    return never;
  return (step + 1) * period;
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
