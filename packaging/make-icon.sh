#!/bin/sh
# Renders the 128 x 128 PNG icon from packaging/mazecar.svg (rsvg-convert, Debian
# package librsvg2-bin). The PNG is committed; run this after changing the SVG.
set -eu
cd "$(dirname "$0")"
rsvg-convert --width 128 --height 128 --format png --output mazecar.png mazecar.svg
echo "wrote packaging/mazecar.png"
