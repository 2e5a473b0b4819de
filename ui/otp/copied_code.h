#pragma once

#include <cstdint>
#include <vector>

#include <QString>

#include "records.h"

class QMimeData;

// A code the OTP page put on the clipboard, and the UNIX time at which it
// stops being valid.
struct copied_code {
  QString text;
  uint64_t valid_until;
};

// The first second after time step `step` of a token with `period` seconds;
// never (the largest time) for a period of 0 or past the range of the clock.
uint64_t end_of_step(uint64_t step, uint32_t period);

// When a code of time step `step`, copied at `now`, leaves the clipboard. The
// step is judged by the tokens' periods: it ends with the step of a token
// whose period puts `now` in it (the earliest end when several do); a step
// that is over for every token has ended already (`now`). It never lasts
// longer than one `selected_period` after the copy. Without a fitting token
// and with a selected period of 0 there is no end (the largest time).
uint64_t copied_code_expiry(uint64_t step, uint64_t now, const std::vector<OtpTokenInfo>& tokens,
                            uint32_t selected_period);

// `code` as the clipboard gets it: the text, and the hint that asks clipboard
// managers not to record it (x-kde-passwordManagerHint: secret).
QMimeData* secret_mime_data(const QString& code);

// Whether `data` is still exactly what secret_mime_data(code) made: the same
// text with the same hint. Anything copied since, even the same digits from
// elsewhere, is not.
bool holds_copied_code(const QMimeData* data, const QString& code);
