#include "copied_code.h"

#include <algorithm>
#include <limits>

#include <QByteArray>
#include <QClipboard>
#include <QMimeData>

namespace {

const QString secret_hint = QStringLiteral("x-kde-passwordManagerHint");
const QByteArray secret = QByteArrayLiteral("secret");
constexpr auto never = std::numeric_limits<uint64_t>::max();

// The clipboard data of a copied code. Its type tells it apart from what
// the platform offers for another program's clipboard, without asking it.
class secret_code_data : public QMimeData {};

// Platforms whose clipboard says whether this process owns it.
bool tells_clipboard_owner(const QString& platform) {
  return platform == QLatin1String("xcb");
}

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
  auto data = new secret_code_data;
  data->setText(code);
  data->setData(secret_hint, secret);
  return data;
}

bool holds_copied_code(const QMimeData* data, const QString& code) {
  auto ours = dynamic_cast<const secret_code_data*>(data);
  return ours && ours->hasText() && ours->text() == code && ours->data(secret_hint) == secret;
}

bool clipboard_holds_copied_code(const QClipboard& clipboard, const QString& platform,
                                 const QString& code) {
  if (tells_clipboard_owner(platform) && !clipboard.ownsClipboard())
    return false;
  return holds_copied_code(clipboard.mimeData(QClipboard::Clipboard), code);
}
