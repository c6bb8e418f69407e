#!/bin/sh
# SPDX-License-Identifier: GPL-3.0-or-later
# Installs the Debian packages the build, the tests and the fuzz smoke need,
# when any of them is missing. Sourced by tools/run and tools/test.
PACKAGES="g++ cmake ninja-build pkg-config qt6-base-dev libjpeg62-turbo-dev libtiff-dev
zlib1g-dev libdeflate-dev liblcms2-dev libexiv2-dev libcairo2-dev libfontconfig1-dev libfreetype-dev fonts-dejavu-core
fonts-liberation2 libwebp-dev libheif-dev libjxl-dev libgtest-dev libgmock-dev libpng-dev libgif-dev libuemf-dev pngcheck clang-14 libclang-rt-14-dev clang-format-14
xauth xvfb"

trevasco_install_deps() {
    missing=""
    for p in $PACKAGES; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing="$missing $p"
    done
    [ -z "$missing" ] && return 0
    echo "Installing:$missing"
    SUDO=""
    [ "$(id -u)" -ne 0 ] && SUDO="sudo"
    $SUDO apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends $missing
}
