#!/usr/bin/env bash
# Generates the application's artwork in resources/ from the SVG sources below.
# Run once after changing a drawing; the generated files are committed.
# Needs ImageMagick with an SVG reader (rsvg-convert from librsvg2-bin).
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
pic="$root/resources/pic"
win="$root/resources/windows"
mkdir -p "$pic/Tovrin Authenticator" "$win"

im="$(command -v convert-im6.q16 || command -v magick || command -v convert || true)"
if [ -z "$im" ]; then
  echo "ImageMagick's convert is missing (apt-get install imagemagick)" >&2
  exit 1
fi
if ! command -v rsvg-convert >/dev/null; then
  echo "rsvg-convert is missing (apt-get install librsvg2-bin)" >&2
  exit 1
fi

tmp="$(mktemp -d)"
trap 'rm -rf "$tmp"' EXIT

# render SVG PNG: 8-bit RGBA at the SVG's own width and height, without time stamps.
render() {
  "$im" -background none "$1" -strip -define png:exclude-chunks=date,time "PNG32:$2"
}

# render_art SVG PNG: PNG as render() makes it, and beside it PNG@2x at twice
# the size, which Qt picks on screens with a device pixel ratio of 2.
# (ImageMagick's SVG delegate ignores -density, so rsvg-convert zooms.)
render_art() {
  render "$1" "$2"
  rsvg-convert -z 2 "$1" -o "$tmp/zoomed.png"
  "$im" -background none "$tmp/zoomed.png" -strip -define png:exclude-chunks=date,time \
    "PNG32:${2%.png}@2x.png"
}

# --- GO button -------------------------------------------------------------
cat >"$tmp/go.svg" <<'EOF'
<svg xmlns="http://www.w3.org/2000/svg" width="51" height="51" viewBox="0 0 51 51">
  <defs>
    <linearGradient id="face" x1="0" y1="0" x2="0" y2="1">
      <stop offset="0" stop-color="#3dbb67"/>
      <stop offset="1" stop-color="#24994c"/>
    </linearGradient>
  </defs>
  <circle cx="25.5" cy="25.5" r="24.5" fill="#1d7f3e"/>
  <circle cx="25.5" cy="25.5" r="23" fill="url(#face)"/>
  <text x="25.5" y="31.6" text-anchor="middle" fill="#ffffff"
        font-family="DejaVu Sans" font-weight="bold" font-size="16.5">GO</text>
</svg>
EOF
render_art "$tmp/go.svg" "$pic/GoBTN.png"

# --- copy-to-clipboard button ------------------------------------------------
cat >"$tmp/c2c.svg" <<'EOF'
<svg xmlns="http://www.w3.org/2000/svg" width="51" height="51" viewBox="0 0 51 51">
  <defs>
    <linearGradient id="face" x1="0" y1="0" x2="0" y2="1">
      <stop offset="0" stop-color="#9aa0a8"/>
      <stop offset="1" stop-color="#7b818a"/>
    </linearGradient>
  </defs>
  <circle cx="25.5" cy="25.5" r="24.5" fill="#666c74"/>
  <circle cx="25.5" cy="25.5" r="23" fill="url(#face)"/>
  <rect x="16.5" y="14.5" width="18" height="23" rx="2.5" fill="none"
        stroke="#ffffff" stroke-width="2.2"/>
  <rect x="20.5" y="11.5" width="10" height="5.5" rx="1.6" fill="#ffffff"/>
  <g stroke="#ffffff" stroke-width="1.9" stroke-linecap="round">
    <line x1="20.5" y1="22.5" x2="30.5" y2="22.5"/>
    <line x1="20.5" y1="27" x2="30.5" y2="27"/>
    <line x1="20.5" y1="31.5" x2="26.5" y2="31.5"/>
  </g>
</svg>
EOF
render_art "$tmp/c2c.svg" "$pic/C2cBTN.png"

# --- maker's logo --------------------------------------------------------------
cat >"$tmp/halvard.svg" <<'EOF'
<svg xmlns="http://www.w3.org/2000/svg" width="1024" height="356" viewBox="0 0 1024 356">
  <g transform="translate(44 0)">
    <rect x="40" y="58" width="240" height="240" rx="52" fill="#1f6f8b"/>
    <path d="M82 242 L140 132 L172 186 L194 152 L238 242 Z" fill="#ffffff"/>
    <circle cx="218" cy="112" r="17" fill="#f2b84b"/>
    <text x="318" y="238" fill="#22313f" font-family="DejaVu Sans" font-weight="bold"
          font-size="142" letter-spacing="-3">halvard</text>
  </g>
</svg>
EOF
render_art "$tmp/halvard.svg" "$pic/halvard.png"

# --- product crest (shield with keyhole) -------------------------------------------
# Drawn on a 55 x 64 grid; the Windows icon is the same drawing at a larger size.
crest() {
  cat <<EOF
<svg xmlns="http://www.w3.org/2000/svg" width="$1" height="$2" viewBox="0 0 55 64">
  <defs>
    <linearGradient id="face" x1="0" y1="0" x2="0" y2="1">
      <stop offset="0" stop-color="#2f63b5"/>
      <stop offset="1" stop-color="#1a3f80"/>
    </linearGradient>
  </defs>
  <path d="M27.5 1 L54 9.5 V29.5 C54 46 42.5 57 27.5 63 C12.5 57 1 46 1 29.5 V9.5 Z"
        fill="#15336a"/>
  <path d="M27.5 3.6 L51.5 11.3 V29.6 C51.5 44.6 41 54.6 27.5 60.3 C14 54.6 3.5 44.6 3.5 29.6 V11.3 Z"
        fill="url(#face)"/>
  <path d="M27.5 7.2 L48 13.8 V29.7 C48 42.6 39.2 51.4 27.5 56.5 C15.8 51.4 7 42.6 7 29.7 V13.8 Z"
        fill="none" stroke="#e9c25b" stroke-width="1.4"/>
  <circle cx="27.5" cy="25.5" r="7" fill="#ffffff"/>
  <path d="M24.2 29 L30.8 29 L33 43.5 L22 43.5 Z" fill="#ffffff"/>
</svg>
EOF
}
crest 55 64 >"$tmp/crest.svg"
render_art "$tmp/crest.svg" "$pic/Tovrin Authenticator/Tovrin Crest 64 x 64.png"

# --- one-time password glyph -------------------------------------------------------
cat >"$tmp/otp.svg" <<'EOF'
<svg xmlns="http://www.w3.org/2000/svg" width="64" height="64" viewBox="0 0 64 64">
  <g fill="none" stroke="#2b2f36" stroke-width="5" stroke-linecap="round">
    <path d="M32 6 A26 26 0 1 1 9.5 19"/>
  </g>
  <path d="M2.5 16 L14 13 L11.5 25 Z" fill="#2b2f36" stroke="#2b2f36" stroke-width="1.5"
        stroke-linejoin="round"/>
  <g fill="#2b2f36">
    <circle cx="20.5" cy="33" r="4"/>
    <circle cx="32" cy="33" r="4"/>
    <circle cx="43.5" cy="33" r="4"/>
  </g>
</svg>
EOF
render_art "$tmp/otp.svg" "$pic/otp.png"

# --- vector icons, carried as SVG ----------------------------------------------------
# Only plain shapes, strokes and transforms: Qt's SVG renderer knows no masks or filters.
cat >"$pic/eye-on.svg" <<'EOF'
<svg xmlns="http://www.w3.org/2000/svg" width="24" height="24" viewBox="0 0 24 24">
  <g fill="none" stroke="#5f6368" stroke-width="2" stroke-linecap="round" stroke-linejoin="round">
    <path d="M2 12 C4.8 7.2 8.2 5 12 5 C15.8 5 19.2 7.2 22 12 C19.2 16.8 15.8 19 12 19 C8.2 19 4.8 16.8 2 12 Z"/>
    <circle cx="12" cy="12" r="3.2"/>
  </g>
</svg>
EOF

cat >"$pic/eye-off.svg" <<'EOF'
<svg xmlns="http://www.w3.org/2000/svg" width="24" height="24" viewBox="0 0 24 24">
  <g fill="none" stroke="#5f6368" stroke-width="2" stroke-linecap="round" stroke-linejoin="round">
    <path d="M2 12 C4.8 7.2 8.2 5 12 5 C15.8 5 19.2 7.2 22 12 C19.2 16.8 15.8 19 12 19 C8.2 19 4.8 16.8 2 12 Z"/>
    <circle cx="12" cy="12" r="3.2"/>
    <line x1="3.5" y1="3.5" x2="20.5" y2="20.5"/>
  </g>
</svg>
EOF

cat >"$pic/mark.svg" <<'EOF'
<svg xmlns="http://www.w3.org/2000/svg" width="24" height="24" viewBox="0 0 24 24">
  <path d="M4.5 12.5 L9.8 17.8 L19.5 6.5" fill="none" stroke="#2fa85a" stroke-width="2.6"
        stroke-linecap="round" stroke-linejoin="round"/>
</svg>
EOF

cat >"$pic/settings.svg" <<'EOF'
<svg xmlns="http://www.w3.org/2000/svg" width="48" height="48" viewBox="0 0 48 48">
  <g fill="#5f6368">
    <rect x="20.5" y="3.5" width="7" height="9" rx="1.6"/>
    <rect x="20.5" y="3.5" width="7" height="9" rx="1.6" transform="rotate(45 24 24)"/>
    <rect x="20.5" y="3.5" width="7" height="9" rx="1.6" transform="rotate(90 24 24)"/>
    <rect x="20.5" y="3.5" width="7" height="9" rx="1.6" transform="rotate(135 24 24)"/>
    <rect x="20.5" y="3.5" width="7" height="9" rx="1.6" transform="rotate(180 24 24)"/>
    <rect x="20.5" y="3.5" width="7" height="9" rx="1.6" transform="rotate(225 24 24)"/>
    <rect x="20.5" y="3.5" width="7" height="9" rx="1.6" transform="rotate(270 24 24)"/>
    <rect x="20.5" y="3.5" width="7" height="9" rx="1.6" transform="rotate(315 24 24)"/>
  </g>
  <circle cx="24" cy="24" r="11.5" fill="none" stroke="#5f6368" stroke-width="8"/>
</svg>
EOF

# --- desktop icons: the crest centred on a square, scalable and in the hicolor sizes ------
# The SVG is also the window icon in the Qt bundle (resources.qrc).
hicolor="$root/resources/desktop/icons/hicolor"
icon_name=com.halvard.TovrinAuthenticator
square_crest() {
  crest "$1" "$1" | sed 's/viewBox="0 0 55 64"/viewBox="-4.5 0 64 64"/'
}
mkdir -p "$hicolor/scalable/apps"
square_crest 64 >"$hicolor/scalable/apps/$icon_name.svg"
for size in 16 32 48 64 128 256; do
  mkdir -p "$hicolor/${size}x${size}/apps"
  square_crest "$size" >"$tmp/crest-$size.svg"
  render "$tmp/crest-$size.svg" "$hicolor/${size}x${size}/apps/$icon_name.png"
done

# --- Windows icon: the crest as one 32-bit 199 x 231 image -------------------------------
crest 199 231 >"$tmp/crest-large.svg"
render "$tmp/crest-large.svg" "$tmp/crest-large.png"
"$im" "$tmp/crest-large.png" "ICO:$win/app.ico"

identify -format '%d/%f: %m %wx%h %[channels] depth %z\n' \
  "$pic"/*.png "$pic/Tovrin Authenticator"/*.png "$hicolor"/*/apps/*.png "$win/app.ico"
