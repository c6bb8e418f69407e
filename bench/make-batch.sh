#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Builds the benchmark batch: 16 photographs (76.05 MP) shipped in three Debian
# bookworm wallpaper packages, as shipped (jpeg/), and the same pixels as
# 24-bit PNG, 24-bit BMP, 256-colour GIF and LZW TIFF made with ImageMagick
# (png/ bmp/ gif/ tiff/), the inputs of compare.sh and parallel.sh. It is the
# batch the peers' published figures were measured on; the photos are checked
# against their SHA-256 so that a package update cannot change it silently.
#
#   BENCH_DATA=/work/bench-data bash bench/make-batch.sh
#
# Needs apt-get (root, the first time: dpkg and imagemagick are installed when
# missing) and Debian's package mirror.
set -euo pipefail
DATA="${BENCH_DATA:?set BENCH_DATA to the folder to fill}"

# name | package | path in the package | SHA-256 of the shipped file
PHOTOS=(
"Blinds|mate-backgrounds|usr/share/backgrounds/mate/nature/Blinds.jpg|f7aac0dcc2e06d0491643e84df3da1d9db7c4610f58806a880d56e074799f600"
"Bridge|lomiri-wallpapers-16.04|usr/share/backgrounds/Bridge_by_Sander_Klootwijk.jpg|bd86b081f9975e2b83527f71e49b9271a8ab40885428395969d9f7d834d7f050"
"BytheWater|plasma-workspace-wallpapers|usr/share/wallpapers/BytheWater/contents/images/2560x1600.jpg|c272434ef39f2abf1ed48a15a8910088020f3165329a5092f3940ec9464bc05f"
"ColorfulCups|plasma-workspace-wallpapers|usr/share/wallpapers/ColorfulCups/contents/images/2560x1600.jpg|6e0f3a72feb5a4a9fec191b77e34874c3c69e2d93040deb3f07773e73385023d"
"EveningGlow|plasma-workspace-wallpapers|usr/share/wallpapers/EveningGlow/contents/images/2560x1600.jpg|586682dcb362b9f620068f10138f87d0d3649939aef238adc5807cb951976a7a"
"FallenLeaf|plasma-workspace-wallpapers|usr/share/wallpapers/FallenLeaf/contents/images/2560x1600.jpg|95603a6560c7e8d50e0e03b3f4adbe39c5258c72528e74e4ecaea1daf4e499de"
"Fig|lomiri-wallpapers-16.04|usr/share/backgrounds/Picture_0B_by_freespace.jpg|c8c0ab18e48d9e0419fe42881112137f3afafc27dfddc29ec3a6d54c56d225ad"
"Garden|mate-backgrounds|usr/share/backgrounds/mate/nature/Garden.jpg|d3095ee09d425ef23d27155412136cf14fc3c9af76ca58b452f55e23da324e78"
"Kite|plasma-workspace-wallpapers|usr/share/wallpapers/Kite/contents/images/2560x1600.jpg|bdca288ce296a981e80659c021cf707caddc702c0c8d4247e60bd618476d47f8"
"LadyBird|mate-backgrounds|usr/share/backgrounds/mate/nature/LadyBird.jpg|e35a9a4126ef969c90b29c038058c5a575a20eadd84106a37bf1fa9931e7b61d"
"Life|lomiri-wallpapers-16.04|usr/share/backgrounds/life_by_Aitzol_Berasategi.jpg|4c119350ead80201fe256850c3d316309ddfb4bdf10b235ce982dcde0c667c05"
"Path|plasma-workspace-wallpapers|usr/share/wallpapers/Path/contents/images/2560x1600.jpg|7477457d7f17b736259f1b021864778ad4ba802cf3214e6728181ff29126bba8"
"RainDrops|mate-backgrounds|usr/share/backgrounds/mate/nature/RainDrops.jpg|3e4ea9671c28c90a86cf67b3db9daf18c4741587c596333a7529ca589aaa0c16"
"Storm|mate-backgrounds|usr/share/backgrounds/mate/nature/Storm.jpg|77ca53077831d3237f73393a91fc879158abc046d852941c26e90de336356957"
"Wine|lomiri-wallpapers-16.04|usr/share/backgrounds/Wine_by_Jakkub_Mede.jpg|d2e96e6d4da40dd804b3d0ce295e94de04a2d7d9b6785d42cd9d92ba58bced74"
"Wood|mate-backgrounds|usr/share/backgrounds/mate/nature/Wood.jpg|19c78500ac00a622e19907ab9cc7d06d46fe08c4a6142759a84195696150ec07"
)

for tool in dpkg-deb convert; do
    if ! command -v "$tool" >/dev/null; then
        apt-get update -qq
        DEBIAN_FRONTEND=noninteractive apt-get install -y -qq dpkg imagemagick
        break
    fi
done

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/debs" "$work/root"
chmod 777 "$work/debs" # apt-get download runs as _apt
packages=$(printf '%s\n' "${PHOTOS[@]}" | cut -d'|' -f2 | sort -u)
# shellcheck disable=SC2086 # one word per package
(cd "$work/debs" && { apt-get download $packages 2>/dev/null ||
    { apt-get update -qq && apt-get download $packages; }; })
for deb in "$work"/debs/*.deb; do
    dpkg-deb -x "$deb" "$work/root"
done

mkdir -p "$DATA"/{jpeg,png,bmp,gif,tiff}
for row in "${PHOTOS[@]}"; do
    IFS='|' read -r name _ path sum <<<"$row"
    photo="$DATA/jpeg/$name.jpg"
    cp "$work/root/$path" "$photo"
    echo "$sum  $photo" | sha256sum --quiet -c - ||
        { echo "$name: not the photo the figures were measured on (package updated?)" >&2; exit 1; }
    # The same pixels in the other source formats: metadata stripped, 8 bits a channel.
    convert "$photo" -strip -type TrueColor -quality 65 -define png:color-type=2 PNG24:"$DATA/png/$name.png"
    convert "$photo" -strip -type TrueColor BMP3:"$DATA/bmp/$name.bmp"
    convert "$photo" -strip -dither FloydSteinberg -colors 256 GIF:"$DATA/gif/$name.gif"
    convert "$photo" -strip -type TrueColor -compress LZW TIFF:"$DATA/tiff/$name.tif"
done
echo "batch of ${#PHOTOS[@]} photos in $DATA"
