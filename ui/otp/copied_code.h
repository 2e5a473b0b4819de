#pragma once

#include <cstdint>
#include <vector>

#include <QString>

#include "records.h"

class QClipboard;
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

// Whether `data` is still what secret_mime_data(code) made, with the same
// text and hint. Anything copied since, even the same digits from elsewhere,
// is not. Reads nothing from data that secret_mime_data did not make.
bool holds_copied_code(const QMimeData* data, const QString& code);

// Whether the clipboard still holds `code` as this process put it there, on
// the Qt platform `platform` (QGuiApplication::platformName()). Where the
// platform tells who owns the clipboard (X11), another owner is never asked:
// each question would be a round trip to that program, which may take
// seconds. Elsewhere (offscreen, ...) the clipboard's content decides.
bool clipboard_holds_copied_code(const QClipboard& clipboard, const QString& platform,
                                 const QString& code);
